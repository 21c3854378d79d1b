# Windows resources for a program: the application manifest
# (cmake/windows_app.manifest) and a VERSIONINFO that Explorer's Properties
# show, compiled with the toolchain's windres and linked into the .exe.
#
#   plivex_add_windows_resources(<target>
#     ORIGINAL_FILENAME <name.exe>
#     FILE_DESCRIPTION <what the program does, in a few words>)
#
# The versions are project(VERSION)'s. Does nothing when the target is not
# built for Windows.

set(PLIVEX_WINDOWS_RESOURCES_DIR ${CMAKE_CURRENT_LIST_DIR})

function(plivex_add_windows_resources target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "ORIGINAL_FILENAME;FILE_DESCRIPTION" "")
  if(NOT arg_ORIGINAL_FILENAME OR NOT arg_FILE_DESCRIPTION OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "plivex_add_windows_resources(${target} ORIGINAL_FILENAME <name> "
                        "FILE_DESCRIPTION <text>)")
  endif()
  if(NOT WIN32)
    return()
  endif()

  # windres comes with the compiler (the toolchain file names it).
  if(CMAKE_RC_COMPILER)
    set(windres ${CMAKE_RC_COMPILER})
  else()
    find_program(PLIVEX_WINDRES NAMES windres REQUIRED)
    set(windres ${PLIVEX_WINDRES})
  endif()

  # Four numbers, as VERSIONINFO takes them: 1.1.0 is 1,1,0,0.
  set(numbers "")
  foreach(part MAJOR MINOR PATCH TWEAK)
    if(PROJECT_VERSION_${part} STREQUAL "")
      list(APPEND numbers 0)
    else()
      list(APPEND numbers ${PROJECT_VERSION_${part}})
    endif()
  endforeach()
  list(JOIN numbers "," PLIVEX_RC_VERSION_COMMAS)

  # A double quote inside a resource text is written twice.
  string(REPLACE "\"" "\"\"" PLIVEX_RC_FILE_DESCRIPTION "${arg_FILE_DESCRIPTION}")
  set(PLIVEX_RC_ORIGINAL_FILENAME ${arg_ORIGINAL_FILENAME})
  get_filename_component(PLIVEX_RC_INTERNAL_NAME ${arg_ORIGINAL_FILENAME} NAME_WE)
  set(PLIVEX_RC_MANIFEST ${PLIVEX_WINDOWS_RESOURCES_DIR}/windows_app.manifest)

  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.rc)
  set(object ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.o)
  configure_file(${PLIVEX_WINDOWS_RESOURCES_DIR}/windows_resources.rc.in ${rc} @ONLY)
  add_custom_command(OUTPUT ${object}
    COMMAND ${windres} --input-format=rc --output-format=coff -i ${rc} -o ${object}
    DEPENDS ${rc} ${PLIVEX_RC_MANIFEST}
    COMMENT "Compiling the Windows resources of ${arg_ORIGINAL_FILENAME}"
    VERBATIM)
  # An object file among the sources is linked as it is.
  set_source_files_properties(${object} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  target_sources(${target} PRIVATE ${object})
endfunction()
