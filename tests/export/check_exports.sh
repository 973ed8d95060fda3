#!/bin/sh
# check_exports.sh LIBRARY LIST - the product library exports exactly the
# functions of the public header: every name of LIST (one a line, generated
# from include/mailward.h into the build tree's generated/mailward_exports.txt)
# under its plain name, and no other symbol.
#
# LIBRARY is libmailward.so (dynamic symbols read with nm -D) or mailward.dll
# (the export name table read with objdump -p; the mingw objdump when there
# is one). Prints what is missing and what is exported besides; exit status
# 0 when the two sets are equal, 1 when they differ, 2 on a usage error.
set -eu
if [ $# -ne 2 ] || [ ! -f "$1" ] || [ ! -s "$2" ]; then
    echo "usage: check_exports.sh LIBRARY LIST (both must exist, LIST not empty)" >&2
    exit 2
fi
lib=$1
list=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/mailward-exports.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

case $lib in
*.dll)
    objdump=objdump
    if command -v x86_64-w64-mingw32-objdump >/dev/null 2>&1; then
        objdump=x86_64-w64-mingw32-objdump
    fi
    "$objdump" -p "$lib" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9][0-9]*\][[:space:]]*\([^[:space:]]*\)$/\1/p' >"$scratch/have"
    ;;
*)
    nm -D --defined-only "$lib" | awk 'NF >= 3 { print $3 }' >"$scratch/have"
    ;;
esac
sort -u "$scratch/have" -o "$scratch/have"
grep -v '^$' "$list" | sort -u >"$scratch/want"

status=0
missing=$(comm -13 "$scratch/have" "$scratch/want")
extra=$(comm -23 "$scratch/have" "$scratch/want")
if [ -n "$missing" ]; then
    echo "declared in the header but not exported:"
    printf '%s\n' "$missing" | sed 's/^/  /'
    status=1
fi
if [ -n "$extra" ]; then
    echo "exported but not declared in the header:"
    printf '%s\n' "$extra" | c++filt | sed 's/^/  /'
    status=1
fi
echo "$lib: $(wc -l <"$scratch/have") exports, $(wc -l <"$scratch/want") in the header"
exit $status
