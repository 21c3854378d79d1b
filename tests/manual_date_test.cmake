# The date on the manual page is the source date, never the day of the
# build: SOURCE_DATE_EPOCH when it is set (in UTC and in English, whatever
# the time zone and locale of the build), else the last commit's time in a
# git work tree, else the latest changelog entry's date in sources without
# git. Configures the project alone (no tests) into scratch folders, as a
# user would, and reads the .TH line of the page it makes.
#
#   cmake -DSOURCE=<sources> -DSCRATCH=<folder> -DCOMPILER=<c++> -P manual_date_test.cmake

cmake_minimum_required(VERSION 3.21)

function(fail message)
  message(SEND_ERROR "${message}")
endfunction()

# page_date(<out> <sources> <build> <env>...): configures, then the date of
# the .TH line, or "failed: <error>" when the configuration fails.
function(page_date out sources build)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env ${ARGN}
            ${CMAKE_COMMAND} -S ${sources} -B ${build} -DBUILD_TESTING=OFF
            -DCMAKE_CXX_COMPILER=${COMPILER}
    RESULT_VARIABLE failed OUTPUT_QUIET ERROR_VARIABLE error)
  if(failed)
    set(${out} "failed: ${error}" PARENT_SCOPE)
    return()
  endif()
  file(STRINGS ${build}/plivex.1 th REGEX "^\\.TH ")
  if(NOT th MATCHES "^\\.TH PLIVEX 1 \"([^\"]*)\" ")
    fail("no .TH line with a date in ${build}/plivex.1: ${th}")
  endif()
  set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${SCRATCH})
set(build ${SCRATCH}/build)

# SOURCE_DATE_EPOCH, at the turn of a month: 2024-02-29 23:59:59 UTC is
# already March 1st at UTC+14.
foreach(case
    "0|UTC|January 1970"
    "1709251199|Pacific/Kiritimati|February 2024"
    "1709251200|Etc/GMT+12|March 2024"
    "1796726009|UTC|December 2026")
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 epoch)
  list(GET case 1 zone)
  list(GET case 2 expected)
  page_date(found ${SOURCE} ${build} SOURCE_DATE_EPOCH=${epoch} TZ=${zone} LC_ALL=fr_FR.UTF-8)
  if(NOT found STREQUAL expected)
    fail("SOURCE_DATE_EPOCH=${epoch} TZ=${zone}: the page is dated \"${found}\", not \"${expected}\"")
  endif()
endforeach()

page_date(found ${SOURCE} ${build} SOURCE_DATE_EPOCH=yesterday)
if(NOT found MATCHES "^failed: .*SOURCE_DATE_EPOCH")
  fail("SOURCE_DATE_EPOCH=yesterday was not refused: \"${found}\"")
endif()

# Unset, in the git work tree: the last commit's month, as git tells it.
find_program(GIT git)
if(GIT AND EXISTS ${SOURCE}/.git)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env TZ=UTC LC_ALL=C ${GIT} -C ${SOURCE} log -1 --format=%cd
            "--date=format-local:%B %Y"
    OUTPUT_VARIABLE expected OUTPUT_STRIP_TRAILING_WHITESPACE)
  page_date(found ${SOURCE} ${build} --unset=SOURCE_DATE_EPOCH)
  if(NOT found STREQUAL expected)
    fail("In the git work tree the page is dated \"${found}\", not \"${expected}\" (the last commit)")
  endif()
else()
  message(STATUS "Skipped the case of the git work tree: ${SOURCE} is not one")
endif()

# Unset, in a copy without git (as from a tarball) that lies inside the git
# work tree of the build folder: the changelog's date, not that tree's
# commit. The copy's latest entry is dated 2001-03-31 23:30 at UTC-1, which
# is April 1st in UTC.
set(copy ${SCRATCH}/sources)
file(COPY ${SOURCE}/ DESTINATION ${copy} PATTERN .git EXCLUDE REGEX "/build[^/]*$" EXCLUDE)
file(READ ${copy}/doc/changelog changelog)
string(REGEX REPLACE "\n -- ([^\n]*>)  [^\n]*" "\n -- \\1  Sat, 31 Mar 2001 23:30:00 -0100"
       changelog "${changelog}")
file(WRITE ${copy}/doc/changelog "${changelog}")
page_date(found ${copy} ${SCRATCH}/copy-build --unset=SOURCE_DATE_EPOCH)
if(NOT found STREQUAL "April 2001")
  fail("In sources without git the page is dated \"${found}\", not \"April 2001\" (the changelog's)")
endif()

# The same copy made a git work tree of its own: its commit's time.
if(GIT)
  foreach(step "init --quiet" "add --all" "commit --quiet --message=sources")
    separate_arguments(step)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env GIT_COMMITTER_DATE=2011-07-15T12:00:00Z
              ${GIT} -C ${copy} -c user.name=Tester -c user.email=tester@plivex.test ${step}
      COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
  endforeach()
  page_date(found ${copy} ${SCRATCH}/copy-build --unset=SOURCE_DATE_EPOCH)
  if(NOT found STREQUAL "July 2011")
    fail("In a work tree whose last commit is of July 2011 the page is dated \"${found}\"")
  endif()
endif()
