# Binary packages: `cpack -G DEB` in the build tree makes one Debian package
# with everything cmake --install puts down (programs, man pages, and the
# library in a -dev style layout: header, static library, CMake package,
# pkg-config file), installed under /usr.
set(CPACK_PACKAGE_NAME "octafold")
set(CPACK_PACKAGE_VENDOR "octafold developers")
set(CPACK_PACKAGE_CONTACT "octafold developers <octafold@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
  "octafold encodes and decodes message bodies as base64 or quoted-printable\n(RFC 2045), and its library lets mail programs decode one part of a\nmultipart body (RFC 2046). idlewatch runs a command and interrupts it once\nits standard output has been idle for a given time.")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "octafold")
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
# Source packages come from the repository, not from cpack.
set(CPACK_SOURCE_GENERATOR "")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "mail")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# The programs link the C and C++ runtimes dynamically. Named here rather
# than found by dpkg-shlibdeps, which a build machine need not have.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")

include(CPack)
