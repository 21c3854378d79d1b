#!/bin/sh
# The Wine side of the Windows test suite, which CTest runs before and after
# the tests (all of them share the prefix named by WINEPREFIX):
#
#   wine_session.sh start   creates the prefix if it is new, starts its server
#   wine_session.sh stop    ends the server and every Wine process of the prefix
#
# Why a server is started first: the first Wine program of a session starts
# the server and Wine's own background processes, and these keep the
# program's standard output and error open. A test that reads a program's
# output to its end would then wait seconds for them to exit, on every run.
# Started here, with their output going to a log, they serve every test.
# They end by themselves a minute after the last Wine program, should the
# stop never come (an interrupted run).
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
log="$WINEPREFIX.log"

case "${1:-}" in
  start)
    mkdir -p "$WINEPREFIX"
    : >"$log"
    wineserver --persistent=60 </dev/null >>"$log" 2>&1
    # The first program creates the prefix when it is new (several seconds)
    # and starts Wine's background processes. (Not `wineboot --init`: on a
    # running prefix it starts a second set of them, which never go idle.)
    if ! wine cmd.exe /c exit </dev/null >>"$log" 2>&1; then
      cat "$log" >&2
      exit 1
    fi
    ;;
  stop)
    wineserver --kill </dev/null >>"$log" 2>&1 || true  # no server left: done
    wineserver --wait </dev/null >>"$log" 2>&1 || true
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
