#!/bin/sh
# check_install.sh BUILD_DIR - installs the build into a scratch prefix and
# uses it as an embedding host and an operator would:
#   1. every file of the layout is where cmake/install.cmake says;
#   2. a tiny host (host.c) builds with pkg-config alone and runs;
#   3. the same host builds through find_package(mailward) and runs;
#   4. both report a signature folder inside the installed tree (the host
#      library found its installed files by itself);
#   5. the whole prefix moved elsewhere still works (relative run paths);
#   6. the installed mailward program checks the installed example mails:
#      the EICAR mail is found infected, the .exe attachment removed.
# The scratch prefix is removed at the end.
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/mailward-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" || fail "cmake --install"

# 1. The layout.
pc=$(find "$prefix" -name mailward.pc | head -n 1)
config=$(find "$prefix" -name mailwardConfig.cmake | head -n 1)
lib=$(find "$prefix" -name 'libmailward.so*' | head -n 1)
[ -n "$pc" ] || fail "no mailward.pc"
[ -n "$config" ] || fail "no mailwardConfig.cmake"
[ -n "$lib" ] || fail "no libmailward.so"
libdir=$(dirname "$lib")
for f in bin/mailward include/mailward.h share/mailward/templates/virremovedinfo.txt \
    share/mailward/signatures/mailward.ndb share/mailward/examples/rules.conf \
    share/mailward/examples/mailward.conf; do
    [ -e "$prefix/$f" ] || fail "missing $f"
done
for l in qorcsock miralib vaveriz; do
    [ -e "$libdir/lib$l.so" ] || fail "missing lib$l.so beside libmailward"
done

# 2. pkg-config.
flags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs mailward) ||
    fail "pkg-config"
# shellcheck disable=SC2086
cc -o "$scratch/host_pc" "$here/host.c" $flags -L"$libdir" -lmiralib || fail "cc with pkg-config"
out=$("$scratch/host_pc") || fail "pkg-config host: $out"
case $out in
*"SignatureDir=$prefix/share/mailward/signatures"*) ;;
*) fail "pkg-config host chose another signature folder: $out" ;;
esac

# 3. find_package.
cmake -S "$here/host" -B "$scratch/host-build" -DCMAKE_PREFIX_PATH="$prefix" \
    >"$scratch/host-cmake.log" 2>&1 || { cat "$scratch/host-cmake.log"; fail "find_package"; }
cmake --build "$scratch/host-build" >"$scratch/host-build.log" 2>&1 ||
    { cat "$scratch/host-build.log"; fail "host build"; }
out=$("$scratch/host-build/host") || fail "find_package host: $out"
case $out in
*"SignatureDir=$prefix/share/mailward/signatures"*) ;;
*) fail "find_package host chose another signature folder: $out" ;;
esac

# 5. A moved tree.
mv "$prefix" "$scratch/moved"
prefix=$scratch/moved

# 6. The installed program on the installed examples.
cp -R "$prefix/share/mailward/examples/mails" "$scratch/mails"
status=0
XDG_STATE_HOME=$scratch/state "$prefix/bin/mailward" check --json "$scratch/mails" \
    >"$scratch/report.json" 2>"$scratch/check.err" || status=$?
[ "$status" -le 1 ] || { cat "$scratch/check.err"; fail "mailward check exited $status"; }
grep '02-eicar-attachment' "$scratch/report.json" | grep -qi 'eicar.*FOUND' ||
    fail "EICAR not reported: $(cat "$scratch/report.json")"
if grep -q 'VGhpcyBpcyBub3QgcmVhbGx5' "$scratch/mails/03-exe-attachment.eml"; then
    fail "the .exe attachment is still in 03-exe-attachment.eml"
fi
echo "install layout, pkg-config host, find_package host, moved tree and installed check: ok"
