# cmake -P script run by CTest: builds the Debian packages of the build tree
# with cpack into a scratch directory, checks with dpkg-deb what each holds
# and depends on, and runs the packaged octafold. deb_lintian.cmake then
# checks the same packages against Debian policy.
#   -DBUILD_DIR= -DWORK_DIR= -DCPACK= -DSANITIZED=
#   -DPROGRAMS= -DRUNTIME= -DDEVELOPMENT=  paths under the package root that
#   each package must hold, comma-separated
cmake_minimum_required(VERSION 3.25)

# cpack's DEB generator needs dpkg-shlibdeps (dpkg-dev) for the dependencies
# and file(1) to find the binaries.
set(missing "")
foreach(tool dpkg-deb dpkg-shlibdeps file)
  string(REPLACE "-" "_" var "${tool}")
  find_program(${var} ${tool})
  if(NOT ${var})
    list(APPEND missing ${tool})
  endif()
endforeach()
if(missing)
  list(JOIN missing ", " missing)
  message("SKIPPED: building Debian packages needs dpkg-deb, dpkg-shlibdeps (package dpkg-dev) and file; missing: ${missing}")
  return()
endif()
set(DPKG_DEB "${dpkg_deb}")

include("${CMAKE_CURRENT_LIST_DIR}/run_step.cmake")

file(REMOVE_RECURSE "${WORK_DIR}")
run("cpack" "${CPACK}" -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}")

# package name, its expected paths, what its Depends must and must not name
set(packages octafold liboctafold1 liboctafold-dev)
set(octafold_paths "${PROGRAMS}")
set(liboctafold1_paths "${RUNTIME}")
set(liboctafold-dev_paths "${DEVELOPMENT}")
# The programs and the library need libc alone, except in a sanitized build
# (-DSANITIZED=ON), which needs the sanitizer runtimes as well.
if(SANITIZED)
  set(octafold_depends "(^|, )libc6 \\(>= [0-9.]+\\)(,|$)")
else()
  set(octafold_depends "^libc6 \\(>= [0-9.]+\\)$")
endif()
set(liboctafold1_depends "${octafold_depends}")
set(liboctafold-dev_depends "^liboctafold1 \\(= [0-9.]+\\)$")

set(problems "")
set(debs "")
foreach(package IN LISTS packages)
  file(GLOB deb "${WORK_DIR}/${package}_*.deb")
  list(LENGTH deb count)
  if(NOT count EQUAL 1)
    string(APPEND problems "expected one ${package}_*.deb in ${WORK_DIR}, found: ${deb}\n")
    continue()
  endif()
  list(APPEND debs "${deb}")
  string(REPLACE "," ";" paths "${${package}_paths}")
  list(APPEND paths "usr/share/doc/${package}/copyright" "usr/share/doc/${package}/changelog.gz")
  run("dpkg-deb -c" "${DPKG_DEB}" -c "${deb}")
  set(listing "${run_output}")
  foreach(path IN LISTS paths)
    # dpkg-deb -c prints "perms owner size date time ./path[ -> target]"
    string(REGEX REPLACE "([][+.*?^$()|\\\\])" "\\\\\\1" quoted "${path}")
    if(NOT listing MATCHES " \\./${quoted}( -> [^\n]*)?(\n|$)")
      string(APPEND problems "${package} lacks ${path}\n")
    endif()
  endforeach()
  if(listing MATCHES " \\./(opt|home|tmp|usr/local)/")
    string(APPEND problems "${package} installs outside /usr:\n${listing}\n")
  endif()
  run("dpkg-deb -f" "${DPKG_DEB}" -f "${deb}" Depends)
  string(STRIP "${run_output}" depends)
  string(REGEX REPLACE "^Depends: " "" depends "${depends}")
  if(NOT depends MATCHES "${${package}_depends}")
    string(APPEND problems "${package}: Depends is '${depends}'\n")
  endif()
endforeach()
if(problems)
  message(FATAL_ERROR "${problems}")
endif()

# The packaged program runs and decodes, with the man page gzipped.
list(GET debs 0 programs_deb)
run("dpkg-deb -x" "${DPKG_DEB}" -x "${programs_deb}" "${WORK_DIR}/root")
file(WRITE "${WORK_DIR}/in.b64" "QUJD\n")
run("packaged octafold" "${WORK_DIR}/root/usr/bin/octafold" -u "${WORK_DIR}/in.b64")
if(NOT run_output STREQUAL "ABC")
  message(FATAL_ERROR "packaged octafold -u gave '${run_output}', not 'ABC'")
endif()
message("packages ${debs} hold every expected path")

