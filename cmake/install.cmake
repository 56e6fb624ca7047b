# Installation: both programs with their man pages, the codec as a shared
# library (liboctafold.so.1) and as a static one, the header, a CMake package
# (find_package(octafold) -> octafold::codec, octafold::codec_static) and two
# pkg-config files (octafold, octafold-static). Every destination comes from
# GNUInstallDirs, so a packager's CMAKE_INSTALL_PREFIX / CMAKE_INSTALL_LIBDIR
# and DESTDIR apply.
#
# Components, one Debian package each (cmake/packaging.cmake):
#   programs     octafold, idlewatch, their man pages
#   runtime      liboctafold.so.1
#   development  header, liboctafold.a, the liboctafold.so link, CMake package, .pc files
include(CMakePackageConfigHelpers)

set(OCTAFOLD_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/octafold"
    CACHE STRING "Where the CMake package files are installed, relative to the prefix")

set_target_properties(octafold_codec_shared PROPERTIES EXPORT_NAME codec)
set_target_properties(octafold_codec PROPERTIES EXPORT_NAME codec_static)

install(TARGETS octafold idlewatch
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT programs)
# The header list is relative to codec/; make it absolute for install().
get_target_property(octafold_headers octafold_codec PUBLIC_HEADER)
get_target_property(octafold_codec_dir octafold_codec SOURCE_DIR)
list(TRANSFORM octafold_headers PREPEND "${octafold_codec_dir}/" REGEX "^[^/]")
set_target_properties(octafold_codec PROPERTIES PUBLIC_HEADER "${octafold_headers}")
install(TARGETS octafold_codec_shared EXPORT octafoldTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT runtime
    NAMELINK_COMPONENT development
    # Debian wants shared libraries not executable.
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
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

# The .pc files carry the absolute prefix of the install being made, taken
# when it runs (cmake --install --prefix, cpack's /usr), not when the tree
# was configured: pkg-config does not normalise "${pcfiledir}/../..", and
# compilers treat an -I/usr/lib/x86_64-linux-gnu/pkgconfig/../../../include
# as an ordinary directory rather than the system one it is.
foreach(dir IN ITEMS INCLUDEDIR LIBDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(OCTAFOLD_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(OCTAFOLD_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(prefix "@prefix@")  # left for the install step to fill in
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(octafold_pc_dir "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
else()
  set(octafold_pc_dir "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig")
endif()
foreach(pc IN ITEMS octafold octafold-static)
  configure_file("${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in" "${PROJECT_BINARY_DIR}/pc/${pc}.pc.in" @ONLY)
  # One directory per destination, so that installs into different places
  # that run at the same time (the tests do) never share a file.
  install(CODE "
    set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
    string(SHA1 where \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(pc_file \"${PROJECT_BINARY_DIR}/pc/\${where}/${pc}.pc\")
    configure_file(\"${PROJECT_BINARY_DIR}/pc/${pc}.pc.in\" \"\${pc_file}\" @ONLY)
    file(INSTALL DESTINATION \"${octafold_pc_dir}\" TYPE FILE FILES \"\${pc_file}\")"
    COMPONENT development)
endforeach()
unset(prefix)

# Man pages go in gzipped (Debian policy), made reproducibly (-n: no name or
# time stamp in the header).
find_program(OCTAFOLD_GZIP gzip)
set(octafold_man_pages octafold.1 idlewatch.1)
set(octafold_man_files "")
foreach(page IN LISTS octafold_man_pages)
  set(src "${PROJECT_SOURCE_DIR}/man/${page}")
  if(OCTAFOLD_GZIP)
    set(gz "${PROJECT_BINARY_DIR}/man/${page}.gz")
    add_custom_command(OUTPUT "${gz}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${PROJECT_BINARY_DIR}/man"
      COMMAND "${OCTAFOLD_GZIP}" -9nc "${src}" > "${gz}"
      DEPENDS "${src}" VERBATIM)
    list(APPEND octafold_man_files "${gz}")
  else()
    list(APPEND octafold_man_files "${src}")
  endif()
endforeach()
add_custom_target(octafold_man_pages ALL DEPENDS ${octafold_man_files})
install(FILES ${octafold_man_files}
  DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
  COMPONENT programs)
