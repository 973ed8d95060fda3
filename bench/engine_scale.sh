#!/usr/bin/env bash
# engine_scale.sh - the engine at production size: load time, check time and
# memory of mailward with a signature database of production size
# (bench/make_sigdb.py), side by side with clamscan on the same database and
# the same mails, in one run.
#
#   bench/engine_scale.sh [BUILD_DIR]        (default: build)
#
# Measured, each RUNS times in turn (medians reported):
#   load      the process time of one check of a one-line mail: mailward
#             check (engine on) and clamscan over a one-line file; nearly
#             all of it is loading and compiling the signatures
#   check     the process time over every mail of a set: "mailward check -r"
#             (engine on, BackupMode=0) on a fresh copy, and "clamscan -r"
#             over the same mails; the figure reported is the process time
#             less the load time of the same program (the scan alone)
#   memory    the largest resident set of each program during the check
# Sets (SETS, default "corpus synthetic"): the test corpus
# (tests/data/corpus), and the synthetic office set of bench/make_mails.py
# (SYNTHETIC_MAILS, default 1000).
#
# The database is made once into SIGDB (default: a folder below TMPDIR kept
# between runs, named after its counts); HASHES, BODIES, LOGICAL set the
# counts (defaults of make_sigdb.py: 3,000,000 / 150,000 / 20,000). mailward
# gets it as SystemSignatureDir beside its own signatures; clamscan gets both
# folders too.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
RUNS=${RUNS:-3}
JOBS=${JOBS:-2}
MW=$BUILD/mailward
HASHES=${HASHES:-3000000}
BODIES=${BODIES:-150000}
LOGICAL=${LOGICAL:-20000}
SIGDB=${SIGDB:-${TMPDIR:-/tmp}/mailward-sigdb-$HASHES-$BODIES-$LOGICAL}

command -v clamscan >/dev/null || {
    echo "clamscan is missing (Debian package clamav)" >&2
    exit 2
}
if [ ! -x "$MW" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja >/dev/null
    cmake --build "$BUILD" --target mailward-cli mailward vaveriz -j"$JOBS"
fi
if [ ! -f "$SIGDB/bench.hdb" ]; then
    python3 "$ROOT/bench/make_sigdb.py" "$SIGDB" --hashes "$HASHES" --bodies "$BODIES" \
        --logical "$LOGICAL"
fi

SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/mailward-engine-scale.XXXXXX")
trap 'rm -rf "$SCRATCH"' EXIT

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
sub() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a - b }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

# timed OUT PROG DIR: runs PROG (mailward or clamscan) over DIR, writes
# "seconds max-rss-kB" to OUT (both exit non-zero for what they find).
timed() {
    local out=$1 prog=$2 dir=$3
    local cmd
    if [ "$prog" = mailward ]; then
        cmd=("$MW" check -r -O "SystemSignatureDir=$SIGDB" -O "DataDir=$SCRATCH/data"
            -O BackupMode=0 -O "TempDir=$SCRATCH/tmp" "$dir")
    else
        cmd=(clamscan -r --quiet --no-summary -d "$ROOT/share/signatures" -d "$SIGDB" "$dir")
    fi
    /usr/bin/time -f '%e %M' -o "$out.raw" "${cmd[@]}" >/dev/null 2>&1 || true
    tail -n 1 "$out.raw" >"$out"
}

mkdir -p "$SCRATCH/data" "$SCRATCH/tmp" "$SCRATCH/one"
printf 'From: a@example.org\r\nSubject: one line\r\n\r\nhello\r\n' >"$SCRATCH/one/one.eml"

declare -A LOAD_T LOAD_M
for prog in mailward clamscan; do
    : >"$SCRATCH/load-$prog"
    for _ in $(seq "$RUNS"); do
        timed "$SCRATCH/t" "$prog" "$SCRATCH/one"
        cat "$SCRATCH/t" >>"$SCRATCH/load-$prog"
    done
    LOAD_T[$prog]=$(cut -d' ' -f1 "$SCRATCH/load-$prog" | median)
    LOAD_M[$prog]=$(cut -d' ' -f2 "$SCRATCH/load-$prog" | median)
done

echo "signature database: $SIGDB ($HASHES hash, $BODIES body, $LOGICAL logical signatures)"
echo "runs: $RUNS, medians"
echo
printf '| %-34s | %-14s | %-14s | %-6s |\n' "what" "mailward" "clamscan" "ratio"
printf '|%s|%s|%s|%s|\n' "------------------------------------" "----------------" \
    "----------------" "--------"
printf '| %-34s | %12s s | %12s s | %6s |\n' "load (one one-line mail)" "${LOAD_T[mailward]}" \
    "${LOAD_T[clamscan]}" "$(ratio "${LOAD_T[mailward]}" "${LOAD_T[clamscan]}")"
printf '| %-34s | %11s MB | %11s MB | %6s |\n' "memory after load" \
    "$((LOAD_M[mailward] / 1024))" "$((LOAD_M[clamscan] / 1024))" \
    "$(ratio "${LOAD_M[mailward]}" "${LOAD_M[clamscan]}")"

for set in ${SETS:-corpus synthetic}; do
    SRC=$SCRATCH/src-$set
    mkdir -p "$SRC"
    case $set in
    corpus)
        for d in "$ROOT"/tests/data/corpus/*/; do
            case $(basename "$d") in LICENSES) continue ;; esac
            cp -R "$d" "$SRC/"
        done
        ;;
    synthetic) python3 "$ROOT/bench/make_mails.py" "${SYNTHETIC_MAILS:-1000}" "$SRC" ;;
    *)
        echo "unknown set '$set'" >&2
        exit 2
        ;;
    esac
    mails=$(find "$SRC" -type f | wc -l)
    : >"$SCRATCH/check-mailward"
    : >"$SCRATCH/check-clamscan"
    for _ in $(seq "$RUNS"); do
        rm -rf "$SCRATCH/work"
        cp -R "$SRC" "$SCRATCH/work"
        timed "$SCRATCH/t" mailward "$SCRATCH/work"
        cat "$SCRATCH/t" >>"$SCRATCH/check-mailward"
        timed "$SCRATCH/t" clamscan "$SRC"
        cat "$SCRATCH/t" >>"$SCRATCH/check-clamscan"
    done
    mt=$(cut -d' ' -f1 "$SCRATCH/check-mailward" | median)
    ct=$(cut -d' ' -f1 "$SCRATCH/check-clamscan" | median)
    mm=$(cut -d' ' -f2 "$SCRATCH/check-mailward" | median)
    cm=$(cut -d' ' -f2 "$SCRATCH/check-clamscan" | median)
    ms=$(sub "$mt" "${LOAD_T[mailward]}")
    cs=$(sub "$ct" "${LOAD_T[clamscan]}")
    printf '| %-34s | %12s s | %12s s | %6s |\n' "check, $set ($mails mails), load excl." \
        "$ms" "$cs" "$(ratio "$ms" "$cs")"
    printf '| %-34s | %11s MB | %11s MB | %6s |\n' "memory, $set" "$((mm / 1024))" \
        "$((cm / 1024))" "$(ratio "$mm" "$cm")"
done
