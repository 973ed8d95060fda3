#!/bin/sh
# wine-run.sh PREFIX PROGRAM [ARGS...] - run a Windows program of the
# cross-build under wine, in the wine prefix PREFIX (made on first use).
#
# Used as CMAKE_CROSSCOMPILING_EMULATOR by cmake/toolchain-mingw64.cmake. The
# prefix is private to the build directory, so a build never touches the
# user's ~/.wine and two build directories do not share a wine server.
# WINEDEBUG=-all keeps wine's own messages out of the test output; Mono and
# Gecko are switched off so that making the prefix never asks to download
# them. The exit code is the program's. Stop the server that stays behind with
# `WINEPREFIX=PREFIX wineserver -k`.
set -eu
if [ $# -lt 2 ]; then
    echo "usage: $0 PREFIX PROGRAM [ARGS...]" >&2
    exit 2
fi
WINEPREFIX=$1
shift
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Under a lock, as several tests may start at once (ctest -j): make the prefix
# on first use, and start a wine server that outlives each program by
# WINE_SERVER_LINGER seconds (one per test program would cost seconds each).
# A fresh server is warmed up by a program whose output goes nowhere: the
# first program of a server starts wine's background processes (services.exe
# and its kin), which inherit its standard error and live as long as the
# server. Started by a test, they would hold ctest's output pipe open. (Nothing
# started here may keep the lock's descriptor 9, or the lock would live on.)
mkdir -p "$WINEPREFIX"
(
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot --init </dev/null >/dev/null 2>&1 9>&- || true
        wineserver --wait 9>&- || true
    fi
    if wineserver -p"${WINE_SERVER_LINGER:-60}" </dev/null >/dev/null 2>&1 9>&-; then
        wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
    fi
) 9>"$WINEPREFIX.lock"
exec wine "$@"
