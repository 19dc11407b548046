# Fails when a file under SOURCE_DIR includes a header of a folder above its own. The folders are
# floors in the order a request travels down, api first and util last; a file may include its own
# floor and any floor below it. Run as: cmake -DSOURCE_DIR=<src/nfc> -P check_includes.cmake
# What may still run upward: the P2P exports sit on the API, and the tag handlers and LLCP share
# the manager's message records.
set(allowed
  "^p2p/.* -> (api|core)/"
  "^(th|llcp)/.* -> core/nfacemsg\\.h$")

if(NOT SOURCE_DIR OR NOT IS_DIRECTORY "${SOURCE_DIR}")
  message(FATAL_ERROR "check_includes: SOURCE_DIR '${SOURCE_DIR}' is not a folder")
endif()

set(index 0)
# Folders on one floor share a string.
foreach(group "api" "core" "th llcp p2p" "L1" "transport" "hw mm os ndef" "util")
  separate_arguments(members UNIX_COMMAND "${group}")
  foreach(folder IN LISTS members)
    set(floor_of_${folder} ${index})
  endforeach()
  math(EXPR index "${index} + 1")
endforeach()

file(GLOB_RECURSE sources RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/*.h" "${SOURCE_DIR}/*.cpp")
set(upward "")
foreach(source IN LISTS sources)
  string(REGEX MATCH "^[^/]+" from "${source}")
  if(NOT DEFINED floor_of_${from})
    message(FATAL_ERROR "check_includes: ${source} is in a folder without a floor")
  endif()
  file(STRINGS "${SOURCE_DIR}/${source}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" header "${line}")
    string(REGEX MATCH "^[^/]+" to "${header}")
    if(header STREQUAL to OR NOT DEFINED floor_of_${to})
      continue()   # a header beside the sources (platform.h, corvane.h) or outside src/nfc
    endif()
    if(floor_of_${to} LESS floor_of_${from})
      set(edge "${source} -> ${header}")
      set(permitted FALSE)
      foreach(rule IN LISTS allowed)
        if(edge MATCHES "${rule}")
          set(permitted TRUE)
        endif()
      endforeach()
      if(NOT permitted)
        list(APPEND upward "${edge}")
      endif()
    endif()
  endforeach()
endforeach()

if(upward)
  list(JOIN upward "\n  " text)
  message(FATAL_ERROR "check_includes: these includes run up the layers:\n  ${text}")
endif()
message(STATUS "check_includes: no include runs up the layers")
