# Tests of what an installation delivers: the installed library used by an
# outside project (find_package and pkg-config), the man pages, and the
# Debian package. Included from tests/CMakeLists.txt.
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

set(deb_expected
  usr/${CMAKE_INSTALL_BINDIR}/octafold
  usr/${CMAKE_INSTALL_BINDIR}/idlewatch
  usr/${CMAKE_INSTALL_MANDIR}/man1/octafold.1
  usr/${CMAKE_INSTALL_MANDIR}/man1/idlewatch.1
  usr/${CMAKE_INSTALL_INCLUDEDIR}/octafold.h
  usr/${CMAKE_INSTALL_LIBDIR}/liboctafold.a
  usr/${CMAKE_INSTALL_LIBDIR}/cmake/octafold/octafoldConfig.cmake
  usr/${CMAKE_INSTALL_LIBDIR}/cmake/octafold/octafoldConfigVersion.cmake
  usr/${CMAKE_INSTALL_LIBDIR}/cmake/octafold/octafoldTargets.cmake
  usr/${CMAKE_INSTALL_LIBDIR}/pkgconfig/octafold.pc)
string(REPLACE ";" "," deb_expected "${deb_expected}")
add_test(NAME deb_package
  COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${PROJECT_BINARY_DIR}
    -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/deb-package
    -DCPACK=${CMAKE_CPACK_COMMAND}
    "-DEXPECTED=${deb_expected}"
    -P ${CMAKE_CURRENT_LIST_DIR}/deb_package.cmake)
set_tests_properties(deb_package PROPERTIES
  LABELS slow SKIP_REGULAR_EXPRESSION "SKIPPED:" TIMEOUT 300)
