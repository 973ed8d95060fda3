#!/bin/sh
# check_man_pages.sh - the manual pages the build made (BUILD/man/*.gz)
# render without a warning of man or groff, as lintian checks them, and
# each holds the sections a reader looks for.
#
#   sh check_man_pages.sh BUILD
#
# Exit status 0 good, 1 a page is missing or warns, 77 (skipped) without
# man-db.
set -eu
BUILD=$1
command -v man >/dev/null || { echo "SKIPPED: man (man-db) is not installed"; exit 77; }

rc=0
for page in mailward.1 mailward.conf.5 mailward-milter.8; do
    file=$BUILD/man/$page.gz
    if [ ! -f "$file" ]; then
        # The milter is built only where libmilter is installed.
        if [ "$page" = mailward-milter.8 ] && [ ! -x "$BUILD/mailward-milter" ]; then
            continue
        fi
        echo "FAIL: $file was not made"
        rc=1
        continue
    fi
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$file" 2>&1 >/dev/null) || true
    if [ -n "$warnings" ]; then
        echo "FAIL: $page warns:"
        echo "$warnings"
        rc=1
    fi
    text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$file" 2>/dev/null | col -b)
    for section in NAME SYNOPSIS DESCRIPTION "SEE ALSO"; do
        if ! printf '%s\n' "$text" | grep -q "^$section\$"; then
            echo "FAIL: $page has no section $section"
            rc=1
        fi
    done
    # whatis reads the NAME line: "name - text".
    if ! printf '%s\n' "$text" | grep -A1 '^NAME$' | grep -Eq "^ *${page%.*}[[:space:]]+-[[:space:]]"; then
        echo "FAIL: $page: the NAME line is not \"${page%.*} - ...\""
        rc=1
    fi
done
[ "$rc" -eq 0 ] && echo "the manual pages render without warnings"
exit "$rc"
