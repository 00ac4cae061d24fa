# cmake -DFILES=a|b|... -DSTAMP=file -P linux_paths.cmake: fails when a file
# names a path only Linux has; otherwise touches STAMP.
string(REPLACE "|" ";" files "${FILES}")
set(offending)
foreach(file IN LISTS files)
  file(READ ${file} text)
  if(text MATCHES "\"/(proc|sys|dev/input)/")
    list(APPEND offending ${file})
  endif()
endforeach()
if(offending)
  list(JOIN offending "\n  " named)
  message(FATAL_ERROR "These name a path only Linux has:\n  ${named}")
endif()
# Make, unlike Ninja, does not make the folders of a command's outputs.
get_filename_component(stamp_dir ${STAMP} DIRECTORY)
file(MAKE_DIRECTORY ${stamp_dir})
file(TOUCH ${STAMP})
