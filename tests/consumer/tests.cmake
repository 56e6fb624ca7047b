# Tests of what an installation delivers: the installed libraries used by an
# outside project (find_package and pkg-config), the shared library's
# symbols, the man pages, and the Debian packages with lintian's verdict.
# Included from tests/CMakeLists.txt.
set(consumer_common
  -DBUILD_DIR=${PROJECT_BINARY_DIR}
  -DSOURCE_DIR=${CMAKE_CURRENT_LIST_DIR}
  -DGENERATOR=${CMAKE_GENERATOR}
  -DC_COMPILER=${CMAKE_C_COMPILER}
  -DCXX_COMPILER=${CMAKE_CXX_COMPILER}
  -DBUILD_TYPE=$<CONFIG>)
# The sanitized library needs the sanitizer runtimes in the consumer's link;
# the consumer is then sanitized as well.
if(OCTAFOLD_SANITIZE)
  list(APPEND consumer_common "-DEXTRA_FLAGS=-fsanitize=address,undefined -fno-omit-frame-pointer")
endif()
foreach(mode find_package pkg-config)
  add_test(NAME install_consumer_${mode}
    COMMAND ${CMAKE_COMMAND} ${consumer_common} -DMODE=${mode}
      -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/consumer-${mode}
      -P ${CMAKE_CURRENT_LIST_DIR}/install_and_consume.cmake)
  set_tests_properties(install_consumer_${mode} PROPERTIES
    LABELS e2e SKIP_REGULAR_EXPRESSION "SKIPPED:" TIMEOUT 300)
endforeach()

add_test(NAME man_pages_lint
  COMMAND ${CMAKE_COMMAND}
    "-DPAGES=${PROJECT_SOURCE_DIR}/man/octafold.1,${PROJECT_SOURCE_DIR}/man/idlewatch.1"
    -P ${CMAKE_CURRENT_LIST_DIR}/man_lint.cmake)
set_tests_properties(man_pages_lint PROPERTIES LABELS cli SKIP_REGULAR_EXPRESSION "SKIPPED:")

add_test(NAME shared_library_exports
  COMMAND ${CMAKE_COMMAND}
    -DLIBRARY=$<TARGET_FILE:octafold_codec_shared>
    -DSONAME=$<TARGET_SONAME_FILE_NAME:octafold_codec_shared>
    -DSANITIZED=${OCTAFOLD_SANITIZE}
    -P ${CMAKE_CURRENT_LIST_DIR}/library_exports.cmake)
set_tests_properties(shared_library_exports PROPERTIES LABELS unit SKIP_REGULAR_EXPRESSION "SKIPPED:")

# What each Debian package must hold (the copyright file and changelog are
# checked for all three).
set(deb_programs
  usr/${CMAKE_INSTALL_BINDIR}/octafold
  usr/${CMAKE_INSTALL_BINDIR}/idlewatch
  usr/${CMAKE_INSTALL_MANDIR}/man1/octafold.1.gz
  usr/${CMAKE_INSTALL_MANDIR}/man1/idlewatch.1.gz)
set(deb_runtime
  usr/${CMAKE_INSTALL_LIBDIR}/liboctafold.so.${PROJECT_VERSION_MAJOR}
  usr/${CMAKE_INSTALL_LIBDIR}/liboctafold.so.${PROJECT_VERSION})
set(deb_development
  usr/${CMAKE_INSTALL_INCLUDEDIR}/octafold.h
  usr/${CMAKE_INSTALL_LIBDIR}/liboctafold.a
  usr/${CMAKE_INSTALL_LIBDIR}/liboctafold.so
  usr/${CMAKE_INSTALL_LIBDIR}/cmake/octafold/octafoldConfig.cmake
  usr/${CMAKE_INSTALL_LIBDIR}/cmake/octafold/octafoldConfigVersion.cmake
  usr/${CMAKE_INSTALL_LIBDIR}/cmake/octafold/octafoldTargets.cmake
  usr/${CMAKE_INSTALL_LIBDIR}/pkgconfig/octafold.pc
  usr/${CMAKE_INSTALL_LIBDIR}/pkgconfig/octafold-static.pc)
foreach(part programs runtime development)
  string(REPLACE ";" "," deb_${part} "${deb_${part}}")
endforeach()
set(deb_work ${CMAKE_CURRENT_BINARY_DIR}/deb-package)
add_test(NAME deb_package
  COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${PROJECT_BINARY_DIR}
    -DWORK_DIR=${deb_work}
    -DCPACK=${CMAKE_CPACK_COMMAND}
    -DSANITIZED=${OCTAFOLD_SANITIZE}
    "-DPROGRAMS=${deb_programs}" "-DRUNTIME=${deb_runtime}" "-DDEVELOPMENT=${deb_development}"
    -P ${CMAKE_CURRENT_LIST_DIR}/deb_package.cmake)
set_tests_properties(deb_package PROPERTIES
  LABELS slow SKIP_REGULAR_EXPRESSION "SKIPPED:" TIMEOUT 300 FIXTURES_SETUP debs)
add_test(NAME deb_lintian
  COMMAND ${CMAKE_COMMAND} -DWORK_DIR=${deb_work} -P ${CMAKE_CURRENT_LIST_DIR}/deb_lintian.cmake)
set_tests_properties(deb_lintian PROPERTIES
  LABELS slow SKIP_REGULAR_EXPRESSION "SKIPPED:" TIMEOUT 300 FIXTURES_REQUIRED debs)
