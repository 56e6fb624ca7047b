# Installation: both programs, the codec as a static library with its header,
# a CMake package (find_package(octafold) -> octafold::codec) and a
# pkg-config file. Every destination comes from GNUInstallDirs, so a
# packager's CMAKE_INSTALL_PREFIX / CMAKE_INSTALL_LIBDIR and DESTDIR apply.
include(CMakePackageConfigHelpers)

set(OCTAFOLD_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/octafold"
    CACHE STRING "Where the CMake package files are installed, relative to the prefix")

# Inside the build the library is octafold_codec (alias octafold::codec);
# the installed package names it octafold::codec as well.
set_target_properties(octafold_codec PROPERTIES EXPORT_NAME codec)

install(TARGETS octafold idlewatch
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT programs)
# The header list is relative to codec/; make it absolute for install().
get_target_property(octafold_headers octafold_codec PUBLIC_HEADER)
get_target_property(octafold_codec_dir octafold_codec SOURCE_DIR)
list(TRANSFORM octafold_headers PREPEND "${octafold_codec_dir}/" REGEX "^[^/]")
set_target_properties(octafold_codec PROPERTIES PUBLIC_HEADER "${octafold_headers}")
install(TARGETS octafold_codec EXPORT octafoldTargets
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT development
  PUBLIC_HEADER DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT development)
install(EXPORT octafoldTargets
  NAMESPACE octafold::
  DESTINATION "${OCTAFOLD_CMAKE_DIR}"
  COMPONENT development)

configure_package_config_file(
  "${CMAKE_CURRENT_LIST_DIR}/octafoldConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/octafoldConfig.cmake"
  INSTALL_DESTINATION "${OCTAFOLD_CMAKE_DIR}")
# The C interface has been stable within a major version.
write_basic_package_version_file(
  "${PROJECT_BINARY_DIR}/octafoldConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/octafoldConfig.cmake"
  "${PROJECT_BINARY_DIR}/octafoldConfigVersion.cmake"
  DESTINATION "${OCTAFOLD_CMAKE_DIR}"
  COMPONENT development)

# The .pc file locates the prefix from its own directory, so the installed
# tree can be moved (DESTDIR staging, cpack, a temporary prefix) and still
# point at itself.
file(RELATIVE_PATH OCTAFOLD_PC_TO_PREFIX
  "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" OCTAFOLD_PC_TO_PREFIX "${OCTAFOLD_PC_TO_PREFIX}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/octafold.pc.in"
  "${PROJECT_BINARY_DIR}/octafold.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/octafold.pc"
  DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig"
  COMPONENT development)

install(FILES
  "${PROJECT_SOURCE_DIR}/man/octafold.1"
  "${PROJECT_SOURCE_DIR}/man/idlewatch.1"
  DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
  COMPONENT programs)
