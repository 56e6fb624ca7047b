# cmake -P script run by CTest: builds the Debian package of the build tree
# with cpack into a scratch directory, checks with dpkg-deb that it holds the
# programs, man pages and -dev layout, and runs the packaged octafold.
#   -DBUILD_DIR= -DWORK_DIR= -DCPACK=  -DEXPECTED=  (paths under the
#   package root, comma-separated)
cmake_minimum_required(VERSION 3.25)
string(REPLACE "," ";" EXPECTED "${EXPECTED}")

find_program(DPKG_DEB dpkg-deb)
if(NOT DPKG_DEB)
  message("SKIPPED: dpkg-deb is not installed")
  return()
endif()

include("${CMAKE_CURRENT_LIST_DIR}/run_step.cmake")

file(REMOVE_RECURSE "${WORK_DIR}")
run("cpack" "${CPACK}" -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}")
file(GLOB debs "${WORK_DIR}/*.deb")
list(LENGTH debs deb_count)
if(NOT deb_count EQUAL 1)
  message(FATAL_ERROR "expected one .deb in ${WORK_DIR}, found: ${debs}")
endif()

run("dpkg-deb -c" "${DPKG_DEB}" -c "${debs}")
set(listing "${run_output}")
set(missing "")
foreach(path IN LISTS EXPECTED)
  # dpkg-deb -c prints "perms owner size date time ./path"
  string(REGEX REPLACE "([][+.*?^$()|\\\\])" "\\\\\\1" quoted "${path}")
  if(NOT listing MATCHES " \\./${quoted}(\n|$)")
    list(APPEND missing "${path}")
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "missing from the package: ${missing}\nlisting:\n${listing}")
endif()
if(listing MATCHES " \\./(opt|home|tmp|usr/local)/")
  message(FATAL_ERROR "the package installs outside /usr:\n${listing}")
endif()

run("dpkg-deb -f" "${DPKG_DEB}" -f "${debs}" Package Depends)
if(NOT run_output MATCHES "Package: octafold\n")
  message(FATAL_ERROR "unexpected control fields:\n${run_output}")
endif()

# The packaged program runs and decodes.
run("dpkg-deb -x" "${DPKG_DEB}" -x "${debs}" "${WORK_DIR}/root")
file(WRITE "${WORK_DIR}/in.b64" "QUJD\n")
run("packaged octafold" "${WORK_DIR}/root/usr/bin/octafold" -u "${WORK_DIR}/in.b64")
if(NOT run_output STREQUAL "ABC")
  message(FATAL_ERROR "packaged octafold -u gave '${run_output}', not 'ABC'")
endif()
message("package ${debs} holds every expected path")
