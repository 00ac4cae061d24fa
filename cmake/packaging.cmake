# Install rules and the Debian package.
#
# The helpers are not commands a user types: the host starts them from a
# fixed place, <prefix>/libexec/pushtalk_helpers/. Only the programs, their
# manual pages, the README and keywatch's system files are installed; tests,
# benchmarks and examples stay in the build tree.
include(GNUInstallDirs)

set(PTT_HELPER_DIR ${CMAKE_INSTALL_LIBEXECDIR}/pushtalk_helpers)
set(PTT_PACKAGE_NAME pushtalk-helpers)
set(PTT_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PTT_PACKAGE_NAME})

# Debian wants manual pages compressed (gzip -9n: no name or time stamp, so
# the bytes depend only on the page). Without gzip they are installed as
# they are.
find_program(PTT_GZIP gzip)

function(ptt_install_man_page page)
  set(source ${PROJECT_SOURCE_DIR}/doc/${page})
  if(NOT PTT_GZIP)
    install(FILES ${source} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    return()
  endif()
  set(compressed ${PROJECT_BINARY_DIR}/doc/${page}.gz)
  add_custom_command(
    OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
    COMMAND ${PTT_GZIP} -9nc ${source} > ${compressed}
    DEPENDS ${source}
    COMMENT "Compressing ${page}"
    VERBATIM)
  add_custom_target(man_${page} ALL DEPENDS ${compressed})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

if(TARGET soundrelay)
  install(TARGETS soundrelay RUNTIME DESTINATION ${PTT_HELPER_DIR})
  ptt_install_man_page(soundrelay.1)
endif()

if(TARGET keywatch)
  install(TARGETS keywatch RUNTIME DESTINATION ${PTT_HELPER_DIR})
  ptt_install_man_page(keywatch.1)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    # The virtual keyboard of the active tap: /dev/uinput for the "input"
    # group, and the module loaded at boot so the node is there to open.
    install(FILES ${PROJECT_SOURCE_DIR}/keywatch/linux/60-keywatch-uinput.rules
            DESTINATION lib/udev/rules.d)
    install(FILES ${PROJECT_SOURCE_DIR}/keywatch/linux/keywatch-uinput.conf
            DESTINATION lib/modules-load.d)
  endif()
endif()

if(TARGET soundrelay OR TARGET keywatch)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${PTT_DOC_DIR})
endif()

# The Debian package: one package, no components, laid out under /usr.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

set(PTT_PACKAGE_MAINTAINER "pushtalk-helpers maintainers <maintainers@pushtalk-helpers.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PTT_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME ${PTT_PACKAGE_NAME})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PTT_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The first line is the synopsis; the rest is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "push-to-talk helper programs: audio recorder and keyboard watcher
Two helpers that a push-to-talk voice application starts as child
processes and drives over pipes. soundrelay records the default
microphone (PulseAudio or PipeWire's pulse server) or plays an audio
file in its place, and streams 16-bit samples to the host. keywatch
watches the keyboard through the kernel's input devices or the X display
and reports push-to-talk key transitions as JSON lines.
The programs are installed in /usr/libexec/pushtalk_helpers/, not on
the search path.")
# Dependencies come from the libraries the installed programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
