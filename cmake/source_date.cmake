# The one time every date in the release's files comes from (the manual
# pages, the members of the .deb and the zip), so that the same sources give
# the same files wherever, whenever and by whom they are built.
#
#   plivex_source_date_epoch(<out> <source dir> <changelog>)
#       Seconds since 1970-01-01 00:00 UTC:
#       1. SOURCE_DATE_EPOCH from the environment, when it is set (the
#          convention of reproducible-builds.org, which Debian's tools honour);
#       2. otherwise the time of the last commit, when <source dir> is the top
#          of a git work tree of its own;
#       3. otherwise (a source tarball) the date of the latest entry of
#          <changelog>, a Debian changelog.
#
#   plivex_manual_date(<out> <epoch>)
#       The date of a manual page's .TH line, "December 2026", in UTC and in
#       English whatever the locale and time zone of the build.
#
# Both work in a project and in a script (cmake -P).

function(plivex_source_date_epoch out source_dir changelog)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(epoch "$ENV{SOURCE_DATE_EPOCH}")
    if(NOT epoch MATCHES "^[0-9]+$")
      message(FATAL_ERROR "SOURCE_DATE_EPOCH is \"${epoch}\", not a number of seconds since 1970")
    endif()
    set(${out} ${epoch} PARENT_SCOPE)
    return()
  endif()

  find_program(PLIVEX_GIT git)
  if(PLIVEX_GIT)
    # Only the sources' own repository counts: a tarball unpacked inside some
    # other work tree must not take that tree's last commit.
    execute_process(COMMAND ${PLIVEX_GIT} -C ${source_dir} rev-parse --show-toplevel
      RESULT_VARIABLE failed OUTPUT_VARIABLE top ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT failed)
      file(REAL_PATH "${top}" top)
      file(REAL_PATH "${source_dir}" source)
      if(top STREQUAL source)
        execute_process(COMMAND ${PLIVEX_GIT} -C ${source_dir} log -1 --format=%ct
          RESULT_VARIABLE failed OUTPUT_VARIABLE epoch ERROR_VARIABLE error
          OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(failed OR NOT epoch MATCHES "^[0-9]+$")
          message(FATAL_ERROR "git log -1 in ${source_dir} gave no commit time: ${error}")
        endif()
        set(${out} ${epoch} PARENT_SCOPE)
        return()
      endif()
    endif()
  endif()

  _plivex_changelog_epoch(epoch "${changelog}")
  set(${out} ${epoch} PARENT_SCOPE)
endfunction()

# The trailer of the first (latest) entry of a Debian changelog:
#  -- Name <address>  Tue, 08 Dec 2026 10:33:29 +0000
function(_plivex_changelog_epoch out changelog)
  file(STRINGS "${changelog}" trailer REGEX "^ -- " LIMIT_COUNT 1)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  if(NOT trailer MATCHES
     "  [A-Z][a-z][a-z], ([0-9][0-9]?) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ([0-9][0-9]):([0-9][0-9]):([0-9][0-9]) ([-+])([0-9][0-9])([0-9][0-9])$")
    message(FATAL_ERROR "${changelog}: no date in the latest entry's trailer line \"${trailer}\"")
  endif()
  # Kept before any other regular expression overwrites CMAKE_MATCH_<n>;
  # leading zeros go, or math(EXPR) would read octal.
  set(fields day month_name year hour minute second sign offset_hours offset_minutes)
  set(n 0)
  foreach(field IN LISTS fields)
    math(EXPR n "${n} + 1")
    set(${field} "${CMAKE_MATCH_${n}}")
  endforeach()
  foreach(field day hour minute second offset_hours offset_minutes)
    string(REGEX REPLACE "^0+([0-9])" "\\1" ${field} "${${field}}")
  endforeach()
  list(FIND months ${month_name} month)
  if(month LESS 0)
    message(FATAL_ERROR "${changelog}: no month \"${month_name}\" in \"${trailer}\"")
  endif()
  # Days from 1970-01-01 to the date (the proleptic Gregorian calendar, with
  # the year starting in March so that the leap day comes last).
  if(month LESS 2)
    math(EXPR year "${year} - 1")
    math(EXPR month "${month} + 10")
  else()
    math(EXPR month "${month} - 2")
  endif()
  math(EXPR days "${year} * 365 + ${year} / 4 - ${year} / 100 + ${year} / 400 \
                  + (153 * ${month} + 2) / 5 + ${day} - 1 - 719468")
  # The time is local to the offset: UTC is that time minus the offset.
  math(EXPR epoch "${days} * 86400 + ${hour} * 3600 + ${minute} * 60 + ${second} \
                   - (${sign}1) * (${offset_hours} * 3600 + ${offset_minutes} * 60)")
  set(${out} ${epoch} PARENT_SCOPE)
endfunction()

function(plivex_manual_date out epoch)
  # string(TIMESTAMP) formats SOURCE_DATE_EPOCH when it is set; the month's
  # name is looked up here, so that no locale can translate it.
  set(saved "$ENV{SOURCE_DATE_EPOCH}")
  set(had_saved FALSE)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(had_saved TRUE)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
  string(TIMESTAMP month "%m" UTC)
  string(TIMESTAMP year "%Y" UTC)
  if(had_saved)
    set(ENV{SOURCE_DATE_EPOCH} "${saved}")
  else()
    unset(ENV{SOURCE_DATE_EPOCH})
  endif()
  set(names January February March April May June July August September October November December)
  string(REGEX REPLACE "^0+([0-9])" "\\1" month "${month}")
  math(EXPR month "${month} - 1")
  list(GET names ${month} name)
  set(${out} "${name} ${year}" PARENT_SCOPE)
endfunction()
