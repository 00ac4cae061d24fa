# The oldest macOS each folder's programs run on. The helpers keep 10.14
# (the macos presets' CMAKE_OSX_DEPLOYMENT_TARGET; Apple silicon starts at
# 11.0 whatever is asked). What never ships, the tests and the example host,
# may ask for more with ptt_macos_minimum(): it sets the folder's deployment
# target on a Mac and, on every system, PTT_MACOS_MINIMUM, which the
# portability check reads to know what a folder may use.
include_guard(GLOBAL)

set(PTT_MACOS_MINIMUM 10.14)

macro(ptt_macos_minimum version)
  set(PTT_MACOS_MINIMUM ${version})
  if(APPLE)
    set(CMAKE_OSX_DEPLOYMENT_TARGET ${version})
  endif()
endmacro()
