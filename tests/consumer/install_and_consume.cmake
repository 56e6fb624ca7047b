# cmake -P script run by CTest: installs the build tree into a fresh prefix,
# then configures, builds and runs the consumer project against that prefix:
# a program on the shared library, one on the static library, and one through
# a shared object that links the static library.
#   -DBUILD_DIR=  the octafold build tree      -DWORK_DIR=  scratch directory
#   -DSOURCE_DIR= tests/consumer               -DMODE=      find_package | pkg-config
#   -DGENERATOR= -DC_COMPILER= -DCXX_COMPILER= -DBUILD_TYPE= -DEXTRA_FLAGS=
cmake_minimum_required(VERSION 3.25)

include("${CMAKE_CURRENT_LIST_DIR}/run_step.cmake")

if(MODE STREQUAL "pkg-config")
  find_program(PKG_CONFIG_EXECUTABLE NAMES pkg-config pkgconf)
  if(NOT PKG_CONFIG_EXECUTABLE)
    message("SKIPPED: no pkg-config on this machine")
    return()
  endif()
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
set(config_args)
if(BUILD_TYPE)
  set(config_args --config "${BUILD_TYPE}")
endif()
run("cmake --install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" ${config_args})

set(configure_args
  -S "${SOURCE_DIR}" -B "${WORK_DIR}/build" -G "${GENERATOR}"
  "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
  "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}"
  # A sanitized static library needs its runtime in the final link.
  "-DCMAKE_C_FLAGS=${EXTRA_FLAGS}" "-DCMAKE_CXX_FLAGS=${EXTRA_FLAGS}"
  "-DCMAKE_EXE_LINKER_FLAGS=${EXTRA_FLAGS}" "-DCMAKE_SHARED_LINKER_FLAGS=${EXTRA_FLAGS}")
if(MODE STREQUAL "pkg-config")
  file(GLOB_RECURSE pc_files "${prefix}/*/octafold.pc")
  list(LENGTH pc_files pc_count)
  if(NOT pc_count EQUAL 1)
    message(FATAL_ERROR "expected one installed octafold.pc, found: ${pc_files}")
  endif()
  get_filename_component(pc_dir "${pc_files}" DIRECTORY)
  # Only the fresh prefix is searched, never the machine's own .pc files.
  set(ENV{PKG_CONFIG_LIBDIR} "${pc_dir}")
  set(ENV{PKG_CONFIG_PATH} "")
  list(APPEND configure_args -DOCTAFOLD_CONSUMER_PKGCONFIG=ON
    "-DPKG_CONFIG_EXECUTABLE=${PKG_CONFIG_EXECUTABLE}"
    -DPKG_CONFIG_USE_CMAKE_PREFIX_PATH=OFF)
  foreach(pc octafold octafold-static)
    run("pkg-config ${pc}" "${PKG_CONFIG_EXECUTABLE}" --cflags --libs ${pc})
    string(STRIP "${run_output}" flags)
    if(NOT flags MATCHES "-I${prefix}/[^ ]*include" OR NOT flags MATCHES " [^ ]*${prefix}/[^ ]*lib")
      message(FATAL_ERROR "pkg-config ${pc} does not point into the prefix: ${flags}")
    endif()
    # Compilers match system directories by their text: the paths must be
    # plain, with no "." or ".." step.
    if(flags MATCHES "/\\.\\.?(/| |$)")
      message(FATAL_ERROR "pkg-config ${pc} gives paths that are not normalised: ${flags}")
    endif()
  endforeach()
else()
  list(APPEND configure_args "-DCMAKE_PREFIX_PATH=${prefix}" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
    -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_PACKAGE_PREFER_CONFIG=ON)
endif()
run("configuring the consumer" "${CMAKE_COMMAND}" ${configure_args})
if(MODE STREQUAL "find_package")
  file(STRINGS "${WORK_DIR}/build/CMakeCache.txt" found_dir REGEX "^octafold_DIR:")
  if(NOT found_dir MATCHES "${prefix}/")
    message(FATAL_ERROR "find_package found octafold outside the fresh prefix: ${found_dir}")
  endif()
endif()
run("building the consumer" "${CMAKE_COMMAND}" --build "${WORK_DIR}/build" ${config_args})

# The shared library is found through the fresh prefix alone.
file(GLOB_RECURSE so_files "${prefix}/*/liboctafold.so.1")
get_filename_component(so_dir "${so_files}" DIRECTORY)
set(ENV{LD_LIBRARY_PATH} "${so_dir}")
find_program(READELF readelf)
foreach(program consumer_shared consumer_static consumer_via_plugin)
  run("running ${program}" "${WORK_DIR}/build/${program}")
  if(NOT run_output MATCHES "consumer: all checks passed")
    message(FATAL_ERROR "${program} did not report success:\n${run_output}")
  endif()
endforeach()
# Each was linked with the library it was meant to use.
if(READELF)
  foreach(file_and_want "consumer_shared;1" "consumer_static;0" "libconsumer_plugin.so;0")
    list(GET file_and_want 0 file)
    list(GET file_and_want 1 want)
    run("readelf -d ${file}" "${READELF}" -d "${WORK_DIR}/build/${file}")
    string(FIND "${run_output}" "[liboctafold.so.1]" at)
    if((want AND at EQUAL -1) OR (NOT want AND NOT at EQUAL -1))
      message(FATAL_ERROR "${file}: NEEDED liboctafold.so.1 should be ${want}:\n${run_output}")
    endif()
  endforeach()
endif()
message("consumer_shared, consumer_static and consumer_via_plugin: all checks passed")
