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
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    # Several tests may start at once (ctest -j): one of them makes the prefix.
    (
        flock 9
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            wineboot --init >/dev/null 2>&1 || true
            wineserver --wait || true
        fi
    ) 9>"$WINEPREFIX.lock"
fi
# A wine server that outlives each program by WINE_SERVER_LINGER seconds:
# starting one per test program would cost seconds each. When one is already
# running for this prefix, this does nothing.
wineserver -p"${WINE_SERVER_LINGER:-60}" >/dev/null 2>&1 || true
exec wine "$@"
