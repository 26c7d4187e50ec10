# Run by `cmake --install`: installs the headers a host program compiles
# against under <prefix>/include/tavrin, keeping their paths from the
# repository root. These are every header of the engine's components and of
# the host class library (host/rtl, host/classes, host/db), the query
# component, the engine's error (what a host catches) and trace log, and every header of ours they include,
# followed to the end (the storage, expression and os headers they name). Test helpers (testing/ folders) are never installed; a
# public header that includes one stops the install.
#
# Expects SRC (the source root) and DEST (the include folder below the prefix).

# An install script runs under the oldest policies unless told otherwise.
cmake_policy(PUSH)
cmake_policy(VERSION 3.25)

set(seeds engine/storage/base/tav_errors.h engine/storage/base/tav_logger.h
          engine/query/exec/tav_query.h)
foreach(dir engine/components host/rtl host/classes host/db)
  file(GLOB found RELATIVE ${SRC} ${SRC}/${dir}/*.h)
  list(APPEND seeds ${found})
endforeach()

set(todo ${seeds})
set(done)
while(todo)
  list(POP_FRONT todo h)
  if(h IN_LIST done)
    continue()
  endif()
  if(h MATCHES "(^|/)testing/")
    message(FATAL_ERROR "A public header includes the test helper ${h}")
  endif()
  if(NOT EXISTS ${SRC}/${h})
    message(FATAL_ERROR "An installed header includes ${h}, which does not exist")
  endif()
  list(APPEND done ${h})
  file(STRINGS ${SRC}/${h} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*$" "\\1" inc "${line}")
    if(NOT inc IN_LIST done)
      list(APPEND todo ${inc})
    endif()
  endforeach()
endwhile()

list(SORT done)
foreach(h IN LISTS done)
  get_filename_component(dir ${h} DIRECTORY)
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${DEST}/${dir}" TYPE FILE FILES ${SRC}/${h})
endforeach()

cmake_policy(POP)
