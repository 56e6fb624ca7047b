# cmake -P script run by CTest after deb_package.cmake: lintian on the
# packages it built. Any error fails the test; warnings are shown.
#   -DWORK_DIR=  where deb_package.cmake left the .deb files
cmake_minimum_required(VERSION 3.25)

find_program(LINTIAN lintian)
if(NOT LINTIAN)
  message("SKIPPED: lintian is not installed (apt-get install lintian), so the packages were not checked against Debian policy")
  return()
endif()
file(GLOB debs "${WORK_DIR}/*.deb")
list(LENGTH debs count)
if(count EQUAL 0)
  message("SKIPPED: deb_package built no packages here (it gives the reason)")
  return()
elseif(NOT count EQUAL 3)
  message(FATAL_ERROR "expected the three packages in ${WORK_DIR}, found: ${debs}")
endif()
# lintian exits 1 when it finds errors and 2 when it fails itself.
execute_process(COMMAND "${LINTIAN}" --no-tag-display-limit ${debs}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("lintian (status ${rc}):\n${out}${err}")
if(NOT rc EQUAL 0 OR out MATCHES "(^|\n)E: ")
  message(FATAL_ERROR "lintian reports errors in the packages")
endif()
