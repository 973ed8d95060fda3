#!/usr/bin/env bash
# demo.sh - from a fresh checkout to the report of a real mail check in one
# command: installs what the build needs (as root on Debian), builds
# everything, copies the example mails into a scratch folder and runs
# "mailward check" on them, with the real virus engine and the example rules.
#
#   scripts/demo.sh [more options for mailward check ...]
#   e.g. scripts/demo.sh --json        scripts/demo.sh -v
#
# BUILD_DIR  build folder (default: build, below the source tree)
# JOBS       parallel build jobs (default: 2)
# DEMO_DIR   where the copies go (default: a new folder below TMPDIR); the
#            checked mails, their backups (state/mailward/origmail) and the
#            data folder stay there for a look afterwards.
# Exit status: that of the build, or 0 when the check ran (the example mails
# are meant to be found and changed: mailward itself exits 1 for them).
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-2}

# The packages a Linux build needs: the group build of scripts/packages.txt,
# the list .ci/run installs (no cross-build, no fuzz, no Postfix).
mapfile -t PACKAGES < <(scripts/packages.sh build)
if [ ${#PACKAGES[@]} -eq 0 ]; then
    echo "no packages read from scripts/packages.txt" >&2
    exit 2
fi

if command -v dpkg >/dev/null 2>&1; then
    missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        if [ "$(id -u)" -eq 0 ]; then
            export DEBIAN_FRONTEND=noninteractive
            apt-get update
            apt-get install -y "${missing[@]}"
        else
            echo "missing packages: ${missing[*]}" >&2
            echo "install them (sudo apt-get install -y ${missing[*]}) or run this as root" >&2
            exit 2
        fi
    fi
fi

cmake -S . -B "$BUILD_DIR" -G Ninja
cmake --build "$BUILD_DIR" -j"$JOBS"
MAILWARD=$(cd "$BUILD_DIR" && pwd)/mailward

DEMO_DIR=${DEMO_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/mailward-demo.XXXXXX")}
mkdir -p "$DEMO_DIR"
rm -rf "$DEMO_DIR/mails" "$DEMO_DIR/state"
cp -R "$ROOT/share/examples/mails" "$DEMO_DIR/mails"
cd "$DEMO_DIR"

echo
echo "== mailward check mails   (in $DEMO_DIR)"
echo
status=0
XDG_STATE_HOME=$DEMO_DIR/state "$MAILWARD" check mails "$@" || status=$?
echo
echo "The checked mails are in $DEMO_DIR/mails, the originals in"
echo "$DEMO_DIR/state/mailward/origmail. Compare them, e.g.:"
echo "  diff $ROOT/share/examples/mails/03-exe-attachment.eml $DEMO_DIR/mails/03-exe-attachment.eml"
if [ "$status" -eq 0 ] || [ "$status" -eq 1 ]; then
    exit 0
fi
exit "$status"
