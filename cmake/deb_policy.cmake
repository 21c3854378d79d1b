# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) on the files staged for the .deb,
# before they are packed. Debian policy wants manual pages compressed with
# gzip at the highest level (without a name or time stamp, so that the same
# sources give the same package), the licence in
# /usr/share/doc/<package>/copyright, and folders and files owned by root
# with modes 755 and 644 (755 for programs), whatever the umask of the one
# who builds the package. CPack records root as owner; the modes are set here.

set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
if(NOT IS_DIRECTORY "${root}")
  message(FATAL_ERROR "deb_policy: no staged files in ${root}")
endif()

find_program(GZIP gzip REQUIRED)
file(GLOB_RECURSE pages "${root}/${CPACK_PLIVEX_MANDIR}/man*/*.[1-9]")
if(NOT pages)
  message(FATAL_ERROR "deb_policy: no manual page under ${root}/${CPACK_PLIVEX_MANDIR}")
endif()
foreach(page IN LISTS pages)
  execute_process(COMMAND "${GZIP}" -9 -n -f "${page}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "deb_policy: gzip ${page}: ${failed}")
  endif()
endforeach()

set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")
file(COPY_FILE "${CPACK_PLIVEX_LICENSE_FILE}" "${doc}/copyright")

# Modes: the staged tree is a copy made by the install, so the umask of the
# build may have narrowed them.
set(rwxr_xr_x OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(rw_r__r__ OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(entry IN LISTS entries)
  if(IS_SYMLINK "${entry}")
    continue()
  elseif(IS_DIRECTORY "${entry}")
    file(CHMOD "${entry}" PERMISSIONS ${rwxr_xr_x})
  elseif(entry MATCHES "/bin/[^/]+$")
    file(CHMOD "${entry}" PERMISSIONS ${rwxr_xr_x})
  else()
    file(CHMOD "${entry}" PERMISSIONS ${rw_r__r__})
  endif()
endforeach()
