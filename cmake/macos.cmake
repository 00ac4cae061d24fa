# The Apple side of the build, included by the programs' folders on APPLE:
# the deployment target, the embedded Info.plist and the code signature of
# the helpers. Architectures come from CMAKE_OSX_ARCHITECTURES (the macos
# presets: the machine's own for everything, arm64 and x86_64 together for
# the two helpers alone, since the test libraries are single-architecture).
include_guard(GLOBAL)

# The target must be known before the first project() call; here it can
# only be checked against the helpers' minimum (macos_minimum.cmake).
if(NOT CMAKE_OSX_DEPLOYMENT_TARGET VERSION_EQUAL PTT_MACOS_MINIMUM)
  message(WARNING "The helpers are meant to run on macOS ${PTT_MACOS_MINIMUM} and later; "
                  "configure with -DCMAKE_OSX_DEPLOYMENT_TARGET=${PTT_MACOS_MINIMUM} "
                  "(the macos presets do), not '${CMAKE_OSX_DEPLOYMENT_TARGET}'.")
endif()

set(PTT_CODESIGN_IDENTITY "-" CACHE STRING
    "Identity the helpers are signed with after the build; - signs ad hoc")
find_program(PTT_CODESIGN codesign REQUIRED)

# A command-line program has no bundle: the system reads its Info.plist
# (its identifier and the words of the microphone prompt) from this section.
function(ptt_embed_info_plist target plist)
  target_link_options(${target} PRIVATE "LINKER:-sectcreate,__TEXT,__info_plist,${plist}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${plist})
endfunction()

# Signs the program after every link, with the hardened runtime and the
# entitlements given, if any. The system libraries it opens at run time
# need no entitlement of their own under the hardened runtime.
function(ptt_sign_helper target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "ENTITLEMENTS" "")
  set(entitlements)
  if(arg_ENTITLEMENTS)
    set(entitlements --entitlements ${arg_ENTITLEMENTS})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${arg_ENTITLEMENTS})
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${PTT_CODESIGN} --force --options runtime ${entitlements}
            --sign "${PTT_CODESIGN_IDENTITY}" $<TARGET_FILE:${target}>
    COMMENT "Signing ${target}"
    VERBATIM)
endfunction()
