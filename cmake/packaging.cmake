# Installation and packages.
#
#   cmake --install build --prefix P
#       P/bin/plivex and P/share/man/man1/plivex.1
#   cmake --build build --target package
#       Linux:   build/plivex_<version>_amd64.deb
#       Windows: plivex-<version>-win64.zip with plivex.exe, README.md, LICENSE
#
# The version is the one in project(VERSION) of the top-level CMakeLists.txt;
# the banner (app/version.h.in) and the manual page take it from there too.

include(GNUInstallDirs)

# Folders made by the install are rwxr-xr-x, not group-writable under a
# umask of 002 (a stricter umask still takes away more; the .deb is made
# independent of it in deb_policy.cmake).
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE
  GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)

# The manual page, with the version filled in.
configure_file(${PROJECT_SOURCE_DIR}/doc/plivex.1.in ${PROJECT_BINARY_DIR}/plivex.1 @ONLY)

if(WIN32)
  # The zip unpacks into one folder: the program beside its documents.
  install(TARGETS plivex RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
else()
  install(TARGETS plivex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/plivex.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME plivex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the Plivex developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION [=[
Plivex turns PlayStation 2 background music into ordinary WAV files. Many
PS2 games keep their music as headerless, block-interleaved 16-bit stereo
files that no player or audio editor opens as they are. Plivex rewrites such
a file, byte for byte, as a 16-bit stereo PCM WAV file at a sample rate of
your choice (1000 to 48000 Hz, 48000 by default).

It does not decode, resample or filter anything: every sample comes out
exactly as it went in.]=])
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)

set(PLIVEX_PACKAGE_MAINTAINER "Plivex developers <plivex@example.org>"
  CACHE STRING "Maintainer field of the Debian package: name <e-mail>")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME plivex-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  # plivex_1.1.0_amd64.deb, as Debian names its packages.
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PLIVEX_PACKAGE_MAINTAINER}")
  # Depends comes from dpkg-shlibdeps (package dpkg-dev), which reads the
  # libraries the stripped program links against.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Compresses the manual page and adds the copyright file in the staged
  # tree, as Debian policy asks of a package (a plain install keeps both as
  # they are).
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_policy.cmake)
  set(CPACK_PLIVEX_LICENSE_FILE ${PROJECT_SOURCE_DIR}/LICENSE)
  set(CPACK_PLIVEX_MANDIR ${CMAKE_INSTALL_MANDIR})
endif()

include(CPack)
