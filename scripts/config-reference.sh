#!/usr/bin/env bash
# config-reference.sh - writes docs/configuration.md anew from the key table
# of the host library (miraconf_key_info), with the program config_reference
# built from docs/reference/.
#
#   scripts/config-reference.sh           write docs/configuration.md
#   scripts/config-reference.sh --check   write nothing; exit 1 when the file
#                                         differs from the table
#
# BUILD_DIR  build directory (default: build; configured when it has no
#            build yet)
# JOBS       parallel build jobs (default: 2)
# Run it after changing a key of platform/miralib/config.cpp; the test
# MiraConf.ReferenceIsTheKeyTable fails until the file is written anew.
set -euo pipefail

cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-2}
DOC=docs/configuration.md

check=0
case ${1:-} in
"") ;;
--check) check=1 ;;
*)
    echo "usage: scripts/config-reference.sh [--check]" >&2
    exit 2
    ;;
esac

if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    cmake -S . -B "$BUILD_DIR" -G Ninja >/dev/null
fi
cmake --build "$BUILD_DIR" -j"$JOBS" --target config_reference >/dev/null
program=$BUILD_DIR/config_reference

scratch=$(mktemp "${TMPDIR:-/tmp}/mailward-reference.XXXXXX")
trap 'rm -f "$scratch"' EXIT
"$program" "$scratch"
if cmp -s "$scratch" "$DOC"; then
    echo "$DOC is the key table's reference"
    exit 0
fi
if [ "$check" -eq 1 ]; then
    echo "$DOC differs from the key table; scripts/config-reference.sh writes it anew"
    diff -u "$DOC" "$scratch" || true
    exit 1
fi
cp "$scratch" "$DOC"
echo "$DOC written from the key table"
