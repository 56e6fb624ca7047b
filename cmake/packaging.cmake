# Debian packages, one per install component (cmake/install.cmake):
#   octafold          the two programs and their man pages
#   liboctafold1      the shared library liboctafold.so.1
#   liboctafold-dev   header, static library, .so link, CMake package, .pc files
# `cpack -G DEB` in a build tree configured with CMAKE_INSTALL_PREFIX=/usr.
# Binaries are stripped, dependencies come from dpkg-shlibdeps (the programs
# link libc alone), and each package carries LICENSE as its copyright file
# and a changelog.
set(OCTAFOLD_PACKAGE_MAINTAINER "the octafold authors <maintainers@octafold.example.org>"
    CACHE STRING "Maintainer field of the Debian packages: \"Name <address>\"")

set(CPACK_PACKAGE_NAME "octafold")
set(CPACK_PACKAGE_VENDOR "the octafold authors")
set(CPACK_PACKAGE_CONTACT "${OCTAFOLD_PACKAGE_MAINTAINER}")
# Each package's description below starts with its own synopsis; CPack
# would put the project-wide summary (taken from project()) before it, so the
# summary is dropped when cpack runs.
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_BINARY_DIR}/debian/cpack_project.cmake")
file(WRITE "${CPACK_PROJECT_CONFIG_FILE}" "unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)\n")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "octafold")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
# Directories as Debian expects them whatever the packager's umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Source packages come from the repository, not from cpack.
set(CPACK_SOURCE_GENERATOR "")

set(CPACK_COMPONENTS_ALL programs runtime development)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${OCTAFOLD_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# Descriptions: the synopsis, then plain lines; CPack indents them and turns
# an empty line into the " ." of a paragraph break.
set(octafold_about
  "octafold encodes and decodes message bodies as base64 or quoted-printable\n(RFC 2045); its library lets mail programs decode one part of a multipart\nbody (RFC 2046).")

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME "octafold")
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION "mail")
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION
  "MIME body codec (base64, quoted-printable) and an idle watchdog\n${octafold_about}\n\nidlewatch runs a command and interrupts it once its standard output has\nbeen idle for a given time.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "liboctafold${PROJECT_VERSION_MAJOR}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "MIME body codec library (base64, quoted-printable)\n${octafold_about}\n\nThis package holds the shared library.")
# A shlibs file for packages that link the library, and the ldconfig trigger.
# (CPack knows no per-package switch; only this package has a library.)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(octafold_triggers "${PROJECT_BINARY_DIR}/debian/runtime/triggers")
file(WRITE "${octafold_triggers}" "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${octafold_triggers}")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME "liboctafold-dev")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION "libdevel")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "MIME body codec library (base64, quoted-printable): development files\n${octafold_about}\n\nThis package holds the header, the static library, the CMake package and\nthe pkg-config files.")

# /usr/share/doc/<package>/copyright in the machine-readable Debian format,
# made from LICENSE, and a gzipped changelog (Debian policy 12.5, 12.7).
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" octafold_license)
string(REGEX REPLACE "^.*\nCopyright \\(c\\) ([^\n]*)\n\n" "" octafold_license_terms "${octafold_license}")
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${octafold_license}")
set(octafold_copyright_holder "${CMAKE_MATCH_1}")
string(REGEX REPLACE "\n+$" "" octafold_license_terms "${octafold_license_terms}")
string(REGEX REPLACE "\n\n" "\n.\n" octafold_license_terms "${octafold_license_terms}")
string(REGEX REPLACE "\n" "\n " octafold_license_terms " ${octafold_license_terms}")
set(octafold_copyright "${PROJECT_BINARY_DIR}/debian/copyright")
file(WRITE "${octafold_copyright}"
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: octafold\n"
  "\n"
  "Files: *\n"
  "Copyright: ${octafold_copyright_holder}\n"
  "License: Expat\n"
  "${octafold_license_terms}\n")

# string(TIMESTAMP) honours SOURCE_DATE_EPOCH for reproducible packages.
string(TIMESTAMP octafold_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(component IN ITEMS programs runtime development)
  string(TOUPPER "${component}" upper)
  set(package "${CPACK_DEBIAN_${upper}_PACKAGE_NAME}")
  set(changelog "${PROJECT_BINARY_DIR}/debian/${package}/changelog")
  file(WRITE "${changelog}"
    "${package} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}.\n\n"
    " -- ${OCTAFOLD_PACKAGE_MAINTAINER}  ${octafold_changelog_date}\n")
  install(FILES "${octafold_copyright}"
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}" COMPONENT ${component})
  if(OCTAFOLD_GZIP)
    add_custom_command(OUTPUT "${changelog}.gz"
      COMMAND "${OCTAFOLD_GZIP}" -9nc "${changelog}" > "${changelog}.gz"
      DEPENDS "${changelog}" VERBATIM)
    list(APPEND octafold_changelogs "${changelog}.gz")
    install(FILES "${changelog}.gz"
      DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}" COMPONENT ${component})
  endif()
endforeach()
add_custom_target(octafold_changelogs ALL DEPENDS ${octafold_changelogs})

include(CPack)
