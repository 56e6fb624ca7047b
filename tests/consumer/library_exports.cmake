# cmake -P script run by CTest: the shared library's dynamic symbol table
# defines the five functions of octafold.h and nothing else (no C++ symbol
# of the implementation leaks), under the version node OCTAFOLD_1, and its
# SONAME carries the major version.
#   -DLIBRARY=  the built liboctafold.so   -DSONAME=  the expected SONAME
#   -DSANITIZED=ON when the sanitizer runtimes are linked in too
cmake_minimum_required(VERSION 3.25)
include("${CMAKE_CURRENT_LIST_DIR}/run_step.cmake")

find_program(NM nm)
find_program(READELF readelf)
if(NOT NM OR NOT READELF)
  message("SKIPPED: nm or readelf (binutils) is not installed")
  return()
endif()

run("nm -D" "${NM}" -D --defined-only "${LIBRARY}")
string(REGEX REPLACE "\n$" "" lines "${run_output}")
string(REPLACE "\n" ";" lines "${lines}")
set(names "")
foreach(line IN LISTS lines)
  # "address type name[@@version]"
  if(NOT line MATCHES "^[0-9a-f]+ ([A-Za-z]) ([^ ]+)$")
    message(FATAL_ERROR "unexpected nm line: ${line}")
  endif()
  list(APPEND names "${CMAKE_MATCH_2}")
endforeach()
list(SORT names)
set(expected OCTAFOLD_1 PendingBoundary@@OCTAFOLD_1 from64@@OCTAFOLD_1 fromqp@@OCTAFOLD_1
  to64@@OCTAFOLD_1 toqp@@OCTAFOLD_1)
list(SORT expected)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exported: ${names}\nexpected: ${expected}")
endif()

run("readelf -d" "${READELF}" -d "${LIBRARY}")
if(NOT run_output MATCHES "Library soname: \\[${SONAME}\\]")
  message(FATAL_ERROR "SONAME is not ${SONAME}:\n${run_output}")
endif()
# The codec needs the C library alone (a sanitized build needs the
# sanitizer runtimes as well).
if(SANITIZED)
  message("${LIBRARY}: exports ${names}; SONAME ${SONAME}")
  return()
endif()
string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${run_output}")
if(NOT needed STREQUAL "Shared library: [libc.so.6]")
  message(FATAL_ERROR "NEEDED entries other than libc: ${needed}")
endif()
message("${LIBRARY}: exports ${names}; SONAME ${SONAME}; needs libc only")
