# Makes the Debian package from a Linux build; run by the package-deb target
# (cmake/packaging.cmake), which passes -DSETTINGS=<its settings file>.
#
# The package holds what `cmake --install` puts under /usr, with the programs
# stripped of symbols and of the sections nobody needs, the manual pages
# compressed, and the copyright file and changelog that Debian policy asks
# for. Debian's own tools do what Debian defines: dpkg-shlibdeps works out
# Depends, dpkg-deb makes the archive. Everything that could tell two builds
# apart is fixed here: every member's time is the source date (and dpkg-deb
# dates the archive by SOURCE_DATE_EPOCH), owners are root, modes are 755
# and 644 whatever the umask, dpkg-deb adds the members in sorted order, and
# it compresses on one thread.

cmake_minimum_required(VERSION 3.21)
include(${SETTINGS})

set(name ${PROJECT_NAME})
set(deb ${PLIVEX_PACKAGE_DIR}/${name}_${PROJECT_VERSION}_${PLIVEX_DEB_ARCHITECTURE}.deb)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed)
  if(failed)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "make_deb: ${command}: ${failed}")
  endif()
endfunction()

# --- The documents must agree with the release -------------------------------

file(STRINGS ${PLIVEX_CHANGELOG} top LIMIT_COUNT 1)
if(NOT top MATCHES "^${name} \\(([^()]+)\\) ")
  message(FATAL_ERROR "make_deb: ${PLIVEX_CHANGELOG} does not start with an entry of ${name}: ${top}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "make_deb: the latest entry of ${PLIVEX_CHANGELOG} is for ${CMAKE_MATCH_1}, "
                      "the project is ${PROJECT_VERSION}: add an entry for it "
                      "(dch --changelog doc/changelog --newversion ${PROJECT_VERSION})")
endif()

# doc/copyright restates LICENSE in Debian's machine-readable format: the
# same holder, and the same licence text as an indented paragraph.
set(copyright ${PROJECT_SOURCE_DIR}/doc/copyright)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
file(READ ${copyright} machine_readable)
if(NOT licence MATCHES "\nCopyright \\(c\\) ([^\n]+)\n")
  message(FATAL_ERROR "make_deb: no copyright line in LICENSE")
endif()
set(holder "${CMAKE_MATCH_1}")
string(FIND "${licence}" "Permission is hereby granted" start)
string(SUBSTRING "${licence}" ${start} -1 terms)
string(STRIP "${terms}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms "${terms}")
string(FIND "${machine_readable}" "\nCopyright: ${holder}\n" has_holder)
string(FIND "${machine_readable}" "\nLicense: Expat\n ${terms}\n" has_terms)
if(has_holder LESS 0 OR has_terms LESS 0)
  message(FATAL_ERROR "make_deb: ${copyright} does not state LICENSE's holder and terms")
endif()

# --- The files, as dpkg will unpack them -------------------------------------

# dpkg-shlibdeps expects a source package's layout: debian/control, and the
# package's files under debian/<package>.
set(work ${PROJECT_BINARY_DIR}/deb)
set(root ${work}/debian/${name})
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work}/debian ${root}/DEBIAN)
file(WRITE ${work}/debian/control "Source: ${name}\n\nPackage: ${name}\nArchitecture: any\n")

run(${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --prefix ${root}/usr)

file(GLOB programs ${root}/usr/bin/*)
if(NOT programs)
  message(FATAL_ERROR "make_deb: the install put no program into ${root}/usr/bin")
endif()
foreach(program IN LISTS programs)
  # As dh_strip does: no symbols, no compiler identification (.comment), no
  # .note (the build ID, .note.gnu.build-id, stays).
  run(${CMAKE_STRIP} --remove-section=.comment --remove-section=.note ${program})
endforeach()

file(GLOB_RECURSE pages ${root}/usr/share/man/*)
if(NOT pages)
  message(FATAL_ERROR "make_deb: the install put no manual page into ${root}/usr/share/man")
endif()
set(doc ${root}/usr/share/doc/${name})
file(MAKE_DIRECTORY ${doc})
file(COPY_FILE ${copyright} ${doc}/copyright)
file(COPY_FILE ${PLIVEX_CHANGELOG} ${doc}/changelog)
# -n: no name or time stamp in the gzip header.
run(${PLIVEX_GZIP} -9 -n ${pages} ${doc}/changelog)

set(rwxr_xr_x OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(rw_r__r__ OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(GLOB_RECURSE entries LIST_DIRECTORIES true RELATIVE ${root} ${root}/*)
list(SORT entries)
set(installed_size 0)
set(md5sums "")
foreach(entry IN LISTS entries)
  set(path ${root}/${entry})
  if(IS_SYMLINK ${path})
    message(FATAL_ERROR "make_deb: unexpected symbolic link ${entry}")
  elseif(IS_DIRECTORY ${path})
    file(CHMOD ${path} PERMISSIONS ${rwxr_xr_x})
    set(kib 1)
  else()
    if(entry MATCHES "^usr/bin/")
      file(CHMOD ${path} PERMISSIONS ${rwxr_xr_x})
    else()
      file(CHMOD ${path} PERMISSIONS ${rw_r__r__})
    endif()
    file(SIZE ${path} size)
    math(EXPR kib "(${size} + 1023) / 1024")
    file(MD5 ${path} md5)
    string(APPEND md5sums "${md5}  ${entry}\n")
  endif()
  # As dpkg-gencontrol counts: KiB used by each file, and one per folder.
  if(NOT entry MATCHES "^DEBIAN(/|$)")
    math(EXPR installed_size "${installed_size} + ${kib}")
  endif()
endforeach()
file(CHMOD ${root} PERMISSIONS ${rwxr_xr_x})

# --- The control files -------------------------------------------------------

set(shlibdeps_arguments "")
foreach(program IN LISTS programs)
  list(APPEND shlibdeps_arguments -e${program})
endforeach()
execute_process(COMMAND ${PLIVEX_DPKG_SHLIBDEPS} -O ${shlibdeps_arguments}
  WORKING_DIRECTORY ${work} RESULT_VARIABLE failed OUTPUT_VARIABLE substvars ERROR_VARIABLE warnings)
if(failed OR NOT substvars MATCHES "shlibs:Depends=([^\n]+)")
  message(FATAL_ERROR "make_deb: dpkg-shlibdeps: ${failed}\n${warnings}")
endif()
set(depends "${CMAKE_MATCH_1}")
if(warnings)
  message(WARNING "make_deb: dpkg-shlibdeps: ${warnings}")
endif()

# The long description: continuation lines start with a blank, and an empty
# line is written as " .".
string(STRIP "${PLIVEX_DEB_DESCRIPTION}" description)
string(REPLACE "\n\n" "\n.\n" description "${description}")
string(REPLACE "\n" "\n " description "${description}")
file(WRITE ${root}/DEBIAN/control "Package: ${name}
Version: ${PROJECT_VERSION}
Architecture: ${PLIVEX_DEB_ARCHITECTURE}
Maintainer: ${PLIVEX_DEB_MAINTAINER}
Installed-Size: ${installed_size}
Depends: ${depends}
Section: sound
Priority: optional
Description: ${PLIVEX_DEB_SUMMARY}
 ${description}
")
file(WRITE ${root}/DEBIAN/md5sums "${md5sums}")
file(CHMOD ${root}/DEBIAN PERMISSIONS ${rwxr_xr_x})
file(CHMOD ${root}/DEBIAN/control ${root}/DEBIAN/md5sums PERMISSIONS ${rw_r__r__})

# --- The archive -------------------------------------------------------------

file(GLOB_RECURSE everything LIST_DIRECTORIES true ${root}/*)
run(${PLIVEX_TOUCH} --no-dereference --date=@${PLIVEX_SOURCE_DATE_EPOCH} ${root} ${everything})

file(MAKE_DIRECTORY ${PLIVEX_PACKAGE_DIR})
file(REMOVE ${deb})
set(ENV{SOURCE_DATE_EPOCH} ${PLIVEX_SOURCE_DATE_EPOCH})
set(ENV{DPKG_DEB_THREADS_MAX} 1)
run(${PLIVEX_DPKG_DEB} --root-owner-group -Zxz --build ${root} ${deb})
