#!/usr/bin/env bash
# packages.sh - the Debian packages of scripts/packages.txt, one a line.
#
#   scripts/packages.sh              every group
#   scripts/packages.sh GROUP...     only these groups (build, fuzz, cross,
#                                    milter)
#   scripts/packages.sh --groups     the names of the groups
#
# Exits 2 for a group the list does not have.
set -euo pipefail

LIST=$(dirname "$0")/packages.txt

# Group and package of every name in the list, one pair a line.
pairs() {
    sed 's/#.*//' "$LIST" | awk '
        /^[[:space:]]*\[[^]]+\][[:space:]]*$/ { g = $0; gsub(/[][[:space:]]/, "", g); next }
        { for (i = 1; i <= NF; i++) print g, $i }'
}

if [ "${1:-}" = --groups ]; then
    sed -n 's/^[[:space:]]*\[\([^]]*\)\][[:space:]]*$/\1/p' "$LIST"
    exit 0
fi
if [ $# -eq 0 ]; then
    pairs | awk '{ print $2 }'
    exit 0
fi
for group in "$@"; do
    if ! grep -qx "[[:space:]]*\[$group\][[:space:]]*" "$LIST"; then
        echo "packages.sh: no group '$group' in $LIST" >&2
        exit 2
    fi
    pairs | awk -v g="$group" '$1 == g { print $2 }'
done
