# Installation, the manual pages and the release packages.
#
#   cmake --install build --prefix P
#       P/bin/<program> and P/share/man/man1/<program>.1 for every program
#   cmake --build build --target package-deb            (Linux; dpkg-dev)
#       <package dir>/plivex_<version>_<architecture>.deb
#   cmake --build build-windows --target package-zip    (MinGW-w64; Python 3)
#       <package dir>/plivex-<version>-win64.zip, one folder with the
#       programs beside README.md and LICENSE
#
# <package dir> is PLIVEX_PACKAGE_DIR (the build folder unless set; `make
# package` uses build-packages/). Each package target rewrites the
# SHA256SUMS there, over every .deb and .zip it holds.
#
# The packages are reproducible: every date in them is the one of
# cmake/source_date.cmake, and file order, owners and modes are fixed, so the
# same sources give the same bytes for anyone who builds them.
#
# The version is the one in project(VERSION) of the top-level CMakeLists.txt;
# the banner (app/version.h.in) and the manual pages take it from there too.

include(GNUInstallDirs)
include(${CMAKE_CURRENT_LIST_DIR}/source_date.cmake)

# What the packages ship, one line each: the programs (CMake targets), and
# the manual pages made from doc/<page>.in, installed by their section.
set(PLIVEX_PROGRAMS
  plivex
  plivex-pack
  plivex-batch)
set(PLIVEX_MANUAL_PAGES
  plivex.1
  plivex-pack.1
  plivex-batch.1)

set(PLIVEX_CHANGELOG ${PROJECT_SOURCE_DIR}/doc/changelog)
plivex_source_date_epoch(PLIVEX_SOURCE_DATE_EPOCH ${PROJECT_SOURCE_DIR} ${PLIVEX_CHANGELOG})
plivex_manual_date(PLIVEX_MANUAL_DATE ${PLIVEX_SOURCE_DATE_EPOCH})

set(PLIVEX_PACKAGE_DIR ${PROJECT_BINARY_DIR} CACHE PATH
  "Folder of the packages that package-deb and package-zip make, and of their SHA256SUMS")

# Folders made by the install are rwxr-xr-x, not group-writable under a
# umask of 002 (a stricter umask still takes away more; the packages set
# their modes themselves).
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE
  GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)

if(WIN32)
  # The zip unpacks into one folder: the programs beside their documents.
  install(TARGETS ${PLIVEX_PROGRAMS} RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
else()
  install(TARGETS ${PLIVEX_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The manual pages, with the version and the date filled in.
  foreach(page IN LISTS PLIVEX_MANUAL_PAGES)
    if(NOT page MATCHES "\\.([1-9])$")
      message(FATAL_ERROR "Manual page ${page}: no section after its last dot")
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/doc/${page}.in ${PROJECT_BINARY_DIR}/${page} @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${CMAKE_MATCH_1})
  endforeach()
  # The pages' date: see tests/manual_date_test.cmake.
  if(PLIVEX_TEST_SUITE)
    add_test(NAME manual_date
      COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR} -DSCRATCH=${PROJECT_BINARY_DIR}/manual_date_test
              -DCOMPILER=${CMAKE_CXX_COMPILER} -P ${PROJECT_SOURCE_DIR}/tests/manual_date_test.cmake)
    # About this machine's build of the pages: left out of cross builds.
    set_tests_properties(manual_date PROPERTIES TIMEOUT 300 LABELS host)
  endif()
endif()

# Rewrites <folder>/SHA256SUMS; run after each package is made.
set(sha256sums ${CMAKE_COMMAND} -DFOLDER=${PLIVEX_PACKAGE_DIR}
  -P ${PROJECT_SOURCE_DIR}/cmake/sha256sums.cmake)

if(WIN32)
  set(zip_folder plivex-${PROJECT_VERSION}-win64)
  set(zip_root ${PROJECT_BINARY_DIR}/zip-root)
  find_package(Python3 QUIET COMPONENTS Interpreter)
  if(Python3_Interpreter_FOUND)
    add_custom_target(package-zip
      COMMAND ${CMAKE_COMMAND} -E rm -rf ${zip_root}
      # Stripping rewrites the .exe, and its header gets a time stamp: the
      # source date's, not the clock's.
      COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${PLIVEX_SOURCE_DATE_EPOCH}
              ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --prefix ${zip_root}/${zip_folder} --strip
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PLIVEX_PACKAGE_DIR}
      COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/make_zip.py
              --epoch ${PLIVEX_SOURCE_DATE_EPOCH} ${zip_root} ${PLIVEX_PACKAGE_DIR}/${zip_folder}.zip
      COMMAND ${sha256sums}
      COMMENT "Making ${PLIVEX_PACKAGE_DIR}/${zip_folder}.zip"
      VERBATIM)
  else()
    add_custom_target(package-zip
      COMMAND ${CMAKE_COMMAND} -E echo "package-zip: the zip is written by a Python 3 script; install python3"
      COMMAND ${CMAKE_COMMAND} -E false
      VERBATIM)
  endif()
  add_dependencies(package-zip ${PLIVEX_PROGRAMS})
  return()
endif()

# --- The Debian package ------------------------------------------------------

set(PLIVEX_DEB_SUMMARY "${PROJECT_DESCRIPTION}")
set(PLIVEX_DEB_DESCRIPTION [=[
Plivex turns PlayStation 2 background music into ordinary WAV files. Many
PS2 games keep their music as headerless, block-interleaved 16-bit stereo
files that no player or audio editor opens as they are. Plivex rewrites such
a file, byte for byte, as a 16-bit stereo PCM WAV file at a sample rate of
your choice (1000 to 48000 Hz, 48000 by default).

plivex-pack is the way back: it puts a WAV file into the same block
layout, so that music that was edited or replaced can go back into a game.
It takes PCM of 8 to 32 bits and 32 or 64-bit floating point, mono or
stereo, in RIFF, RF64 or BW64 files or from a pipe, and can make the new
file exactly as large as the original it replaces.

plivex-batch does both for whole folders in one run: it converts every
file it judges to be this layout (telling it from other interleaves, mono,
big-endian and non-PCM data), puts edited WAV files back into their
originals and leaves the unedited ones untouched, or lists what each file
is, with an exit status that says whether any file failed.

None of them resamples or filters anything. 16-bit stereo samples go both ways
exactly as they are; plivex-pack brings other samples to 16-bit stereo by
one fixed rule, without dither.]=])

# The Maintainer field: the one who signed the changelog's latest entry,
# unless set here.
set(PLIVEX_PACKAGE_MAINTAINER "" CACHE STRING
  "Maintainer field of the Debian package, name <address> (default: the signer of doc/changelog's latest entry)")
set(PLIVEX_DEB_MAINTAINER "${PLIVEX_PACKAGE_MAINTAINER}")
if(NOT PLIVEX_DEB_MAINTAINER)
  file(STRINGS ${PLIVEX_CHANGELOG} trailer REGEX "^ -- " LIMIT_COUNT 1)
  if(NOT trailer MATCHES "^ -- ([^<>]+ <[^<>]+>)  ")
    message(FATAL_ERROR "${PLIVEX_CHANGELOG}: no name <address> in \"${trailer}\"")
  endif()
  set(PLIVEX_DEB_MAINTAINER "${CMAKE_MATCH_1}")
endif()

find_program(PLIVEX_DPKG dpkg)
find_program(PLIVEX_DPKG_DEB dpkg-deb)
find_program(PLIVEX_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(PLIVEX_GZIP gzip)
find_program(PLIVEX_TOUCH touch)
set(missing "")
foreach(tool dpkg dpkg-deb dpkg-shlibdeps gzip touch)
  string(TOUPPER "PLIVEX_${tool}" variable)
  string(REPLACE "-" "_" variable "${variable}")
  if(NOT ${variable})
    list(APPEND missing ${tool})
  endif()
endforeach()

if(missing)
  list(JOIN missing ", " missing)
  add_custom_target(package-deb
    COMMAND ${CMAKE_COMMAND} -E echo "package-deb: ${missing} not found; the .deb needs dpkg-dev and gzip"
    COMMAND ${CMAKE_COMMAND} -E false
    VERBATIM)
  return()
endif()

execute_process(COMMAND ${PLIVEX_DPKG} --print-architecture
  RESULT_VARIABLE failed OUTPUT_VARIABLE PLIVEX_DEB_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
if(failed OR NOT PLIVEX_DEB_ARCHITECTURE MATCHES "^[a-z0-9-]+$")
  message(FATAL_ERROR "dpkg --print-architecture failed: ${failed}")
endif()

# What make_deb.cmake needs, written only when it changes.
set(settings "# Written by cmake/packaging.cmake for cmake/make_deb.cmake.\n")
foreach(name PROJECT_SOURCE_DIR PROJECT_BINARY_DIR PROJECT_NAME PROJECT_VERSION
             PLIVEX_PACKAGE_DIR PLIVEX_SOURCE_DATE_EPOCH PLIVEX_CHANGELOG
             PLIVEX_DEB_ARCHITECTURE PLIVEX_DEB_MAINTAINER PLIVEX_DEB_SUMMARY
             PLIVEX_DEB_DESCRIPTION CMAKE_COMMAND CMAKE_STRIP PLIVEX_DPKG_DEB
             PLIVEX_DPKG_SHLIBDEPS PLIVEX_GZIP PLIVEX_TOUCH)
  string(APPEND settings "set(${name} [==[${${name}}]==])\n")
endforeach()
set(deb_settings ${PROJECT_BINARY_DIR}/package-deb-settings.cmake)
set(old_settings "")
if(EXISTS ${deb_settings})
  file(READ ${deb_settings} old_settings)
endif()
if(NOT old_settings STREQUAL settings)
  file(WRITE ${deb_settings} "${settings}")
endif()

set(deb_file ${PROJECT_NAME}_${PROJECT_VERSION}_${PLIVEX_DEB_ARCHITECTURE}.deb)
add_custom_target(package-deb
  COMMAND ${CMAKE_COMMAND} -DSETTINGS=${deb_settings} -P ${PROJECT_SOURCE_DIR}/cmake/make_deb.cmake
  COMMAND ${sha256sums}
  COMMENT "Making ${PLIVEX_PACKAGE_DIR}/${deb_file}"
  VERBATIM)
add_dependencies(package-deb ${PLIVEX_PROGRAMS})
