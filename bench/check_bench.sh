#!/usr/bin/env bash
# check_bench.sh - speed of a whole mail check through the mailward program,
# on the mails of the test corpus and on a synthetic set of mails with
# attachments (bench/make_mails.py), beside the floor no filter can beat:
# the time to copy the same files (cp -R, and a copy that flushes each file
# as a filter must), and beside clamscan over the same files with the same
# signatures.
#
#   bench/check_bench.sh [BUILD_DIR]        (default: build)
#
# Needs the targets mailward-cli, mailward, vaveriz, bench_check_engine,
# bench_engine_time and bench_copy_flush built in BUILD_DIR (the script builds them when they are
# missing).
#
# Each of RUNS runs measures everything below once, in turn (medians are
# reported, so that a change of load on a shared machine falls on all
# figures alike):
#   copy         cp -R of the corpus mails into a fresh folder (no flush)
#   copy+flush   bench_copy_flush: each file copied and flushed to disk
#                (fdatasync) before the next: the floor of a check
#   clamscan     "clamscan -r -d share/signatures" over the mails (Debian
#                package clamav; process start and signature load included,
#                left out when clamscan is missing)
#   check        "mailward check -r --json" on a fresh copy, engine off
#                (--flags all,-av) and on (--flags all), once with the
#                embedded set-up (every mail backed up, BackupMode 2) and once
#                with BackupMode=0, and once more with the engine on,
#                BackupMode=0 and FlushMails=0 (rewritten mails not flushed
#                to disk: the cost of the flush alone); three times per run:
#                  process  the whole program run (library and engine load)
#                  queue    first MAILWARD_check_mail to last callback (the
#                           run summary of the JSON output)
#                  steady   first callback to last: the queue time without
#                           the worker's first poll (the library's worker
#                           looks at an empty queue every 100 ms)
#                  engine   the time spent inside the engine's AV_CheckFile
#                           during the steady time, taken in the same run
#                           (bench_engine_time, loaded with LD_PRELOAD)
#   engine       bench_check_engine: AV_CheckFile on every mail, and on
#                every mail plus every decoded part (all engine calls a
#                check of the corpus makes), the parts once from files
#                written beforehand and once each written to a new scan
#                file and removed after its scan (the engine scans files
#                only, so a check cannot scan a part for less), and once
#                from memory (AV_CheckBuffer, as a check scans parts now);
#                and one part of 1 KB and of 10 MB from a scan file and from
#                memory (time per part, from the last run)
# Goals: engine off, check <= 3 x copy; engine on, check <= engine scan
# time + 3 x copy: against the engine's time inside the same run, and
# against both figures of the engine alone.
#
# Settings: SETS (the mail sets measured, one after the other: "corpus"
# and/or "synthetic"; default both), RUNS (default 5), CORPUS (default
# tests/data/corpus of the source tree), SYNTHETIC_MAILS (mails of the
# synthetic set, default 1000), JOBS (build jobs, default 2), SCAN_TEMP (a folder for the
# temporary files of the scans: the checks' TempDir and the engine bench's
# part files; default: the checks' data folder and the system's). Scratch
# files go to a folder below TMPDIR that is removed at the end.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}

# Each set is measured by a run of its own of this script.
if [ -z "${CHECK_BENCH_SET:-}" ]; then
    for set in ${SETS:-corpus synthetic}; do
        CHECK_BENCH_SET=$set "$0" "$@"
        echo
    done
    exit 0
fi
RUNS=${RUNS:-5}
JOBS=${JOBS:-2}
CORPUS=${CORPUS:-$ROOT/tests/data/corpus}
MW=$BUILD/mailward
ENGINE_BENCH=$BUILD/bench/bench_check_engine
ENGINE_TIME=$BUILD/bench/libbench_engine_time.so
COPY_FLUSH=$BUILD/bench/bench_copy_flush

if [ ! -x "$MW" ] || [ ! -x "$ENGINE_BENCH" ] || [ ! -f "$ENGINE_TIME" ] || [ ! -x "$COPY_FLUSH" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja >/dev/null
    cmake --build "$BUILD" --target mailward-cli mailward vaveriz bench_check_engine \
        bench_engine_time bench_copy_flush -j"$JOBS"
fi

SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/mailward-check-bench.XXXXXX")
trap 'rm -rf "$SCRATCH"' EXIT
SRC=$SCRATCH/src
mkdir -p "$SRC"
case $CHECK_BENCH_SET in
corpus)
    SET_NAME="corpus $CORPUS"
    for d in "$CORPUS"/*/; do
        case $(basename "$d") in LICENSES) continue ;; esac
        cp -R "$d" "$SRC/"
    done
    ;;
synthetic)
    SET_NAME="synthetic set of ${SYNTHETIC_MAILS:=1000} mails with attachments (bench/make_mails.py)"
    python3 "$ROOT/bench/make_mails.py" "$SYNTHETIC_MAILS" "$SRC"
    ;;
*)
    echo "unknown set '$CHECK_BENCH_SET' (corpus or synthetic)" >&2
    exit 2
    ;;
esac
MAILS=$(find "$SRC" -type f | wc -l)
BYTES=$(find "$SRC" -type f -exec cat {} + | wc -c)

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
sub() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", a - b }'; }

copy_once() {
    rm -rf "$SCRATCH/dst"
    local t0 t1
    t0=$(now)
    cp -R "$SRC" "$SCRATCH/dst"
    t1=$(now)
    sub "$t1" "$t0"
}

flush_once() {
    rm -rf "$SCRATCH/dst"
    local t0 t1
    t0=$(now)
    "$COPY_FLUSH" "$SRC" "$SCRATCH/dst"
    t1=$(now)
    sub "$t1" "$t0"
}

clamscan_once() { # -> seconds, or 0 without clamscan
    if ! command -v clamscan >/dev/null; then
        echo 0
        return
    fi
    local t0 t1 rc=0
    t0=$(now)
    clamscan -r --quiet --no-summary -d "$ROOT/share/signatures" "$SRC" >/dev/null 2>&1 || rc=$?
    t1=$(now)
    if [ "$rc" -gt 1 ]; then
        echo "clamscan failed with status $rc" >&2
        exit 1
    fi
    sub "$t1" "$t0"
}

# The engine bench's scan of mails and parts in memory (of its last run).
engine_memory() {
    grep '^"BM_EngineScanMailsAndPartsInMemory[/"]' "$SCRATCH/engine.csv" | head -n 1 |
        cut -d, -f3 | awk '{ printf "%.6f", $1 / 1000 }'
}

# check_once FLAGS BACKUPMODE [FLUSHMAILS] -> "process queue steady engine"
check_once() {
    rm -rf "$SCRATCH/dst" "$SCRATCH/state" "$SCRATCH/engine-time"
    cp -R "$SRC" "$SCRATCH/dst"
    local t0 t1 out=$SCRATCH/check.json rc=0
    t0=$(now)
    LD_PRELOAD=$ENGINE_TIME MAILWARD_ENGINE_TIME_OUT=$SCRATCH/engine-time \
        XDG_STATE_HOME=$SCRATCH/state "$MW" check -r --json --flags "$1" -O "BackupMode=$2" \
        -O "FlushMails=${3:-1}" ${SCAN_TEMP:+-O "TempDir=$SCAN_TEMP"} \
        "$SCRATCH/dst" >"$out" 2>"$SCRATCH/check.err" || rc=$?
    t1=$(now)
    if [ "$rc" -ne 0 ] && [ "$rc" -ne 1 ] && [ "$rc" -ne 2 ]; then
        echo "mailward check failed with status $rc:" >&2
        tail -n 20 "$SCRATCH/check.err" >&2
        exit 1
    fi
    local queue steady
    queue=$(grep '"type":"summary"' "$out" | sed 's/.*"seconds":\([0-9.e+-]*\).*/\1/')
    steady=$(grep '"type":"mail"' "$out" | tail -n +2 |
        sed 's/.*"seconds":\([0-9.e+-]*\),*}$/\1/' | awk '{ s += $1 } END { printf "%.6f", s }')
    local engine=0
    [ -f "$SCRATCH/engine-time" ] && engine=$(cut -d' ' -f3 "$SCRATCH/engine-time")
    echo "$(sub "$t1" "$t0") $queue $steady $engine"
}

engine_once() { # -> "mails-seconds mails-and-parts-seconds mails-and-part-files-seconds"
    MAILWARD_BENCH_CORPUS=$SRC TMPDIR=${SCAN_TEMP:-${TMPDIR:-/tmp}} "$ENGINE_BENCH" \
        --benchmark_format=csv 2>/dev/null \
        >"$SCRATCH/engine.csv"
    # Rows start with the quoted name, which may carry "/iterations:N".
    local mails all files
    mails=$(grep '^"BM_EngineScanMails[/"]' "$SCRATCH/engine.csv" | head -n 1 | cut -d, -f3)
    all=$(grep '^"BM_EngineScanMailsAndParts[/"]' "$SCRATCH/engine.csv" | head -n 1 |
        cut -d, -f3)
    files=$(grep '^"BM_EngineScanMailsAndPartFiles[/"]' "$SCRATCH/engine.csv" | head -n 1 |
        cut -d, -f3)
    awk -v a="$mails" -v b="$all" -v c="$files" \
        'BEGIN { printf "%.6f %.6f %.6f", a / 1000, b / 1000, c / 1000 }'
}

# Every run measures everything once, in turn (see the top of the file);
# medians are reported.
: >"$SCRATCH/runs"
for run in $(seq "$RUNS"); do
    line="$(copy_once) $(engine_once)"
    for bm in 2 0; do
        line="$line $(check_once all,-av "$bm") $(check_once all "$bm")"
    done
    line="$line $(check_once all 0 0) $(flush_once) $(clamscan_once) $(engine_memory)"
    echo "$line" >>"$SCRATCH/runs"
    echo "run $run of $RUNS done" >&2
done
col() { cut -d' ' -f"$1" "$SCRATCH/runs" | median; }

echo "$SET_NAME: $MAILS mails, $BYTES bytes; $RUNS runs, medians"
echo
COPY=$(col 1)
ENGINE_MAILS=$(col 2)
ENGINE_ALL=$(col 3)
ENGINE_FILES=$(col 4)

row() { # label seconds
    awk -v l="$1" -v s="$2" -v n="$MAILS" -v c="$COPY" \
        'BEGIN { printf "  %-44s %8.3f s  %8.0f mails/s  %6.1f x copy\n", l, s, n / s, s / c }'
}

FLUSH=$(col 25)
CLAMSCAN=$(col 26)
ENGINE_MEMORY=$(col 27)
echo "floors and peer"
row "copy (cp -R)" "$COPY"
row "copy and flush each file (bench_copy_flush)" "$FLUSH"
if [ "$CLAMSCAN" != 0 ]; then
    row "clamscan -r, same signatures (process)" "$CLAMSCAN"
fi
echo
echo "engine alone (bench_check_engine)"
row "whole mails" "$ENGINE_MAILS"
row "whole mails and decoded parts" "$ENGINE_ALL"
row "the same, each part written to a scan file" "$ENGINE_FILES"
row "the same, each part scanned in memory" "$ENGINE_MEMORY"
echo
echo "engine time per part (random text, last run)"
grep '^"BM_EnginePart/' "$SCRATCH/engine.csv" |
    awk -F, '{ gsub(/"/, "", $1); split($1, a, "/");
               printf "  %8d bytes  %-6s  %10.1f us per part\n", a[2], (a[3] == 1 ? "memory" : "file"), $3 }'

declare -A RESULT
# One check's rows; sets RESULT[key] to "steady rest", where rest is the
# median over the runs of the steady time less the engine's time in it.
check_rows() { # key field title
    local steady rest
    steady=$(col $(($2 + 2)))
    rest=$(cut -d' ' -f$(($2 + 2)),$(($2 + 3)) "$SCRATCH/runs" |
        awk '{ printf "%.6f\n", $1 - $2 }' | median)
    RESULT[$1]="$steady $rest"
    echo
    echo "$3"
    row "process (library and engine load included)" "$(col "$2")"
    row "queue (first check_mail to last callback)" "$(col $(($2 + 1)))"
    row "steady (first callback to last)" "$steady"
    if [ "${1#on}" != "$1" ] || [ "$1" = noflush ]; then
        row "  of it in the engine (AV_Check*)" "$(col $(($2 + 3)))"
        row "  of it outside the engine" "$rest"
    fi
}
field=5
for bm in 2 0; do
    for mode in off on; do
        check_rows "$mode$bm" "$field" "mailward check, engine $mode, BackupMode $bm"
        field=$((field + 4))
    done
done
check_rows noflush "$field" \
    "mailward check, engine on, BackupMode 0, FlushMails 0 (rewrites not flushed)"

goal() { # label measured limit
    awk -v l="$1" -v m="$2" -v lim="$3" \
        'BEGIN { printf "  %-56s %7.3f s <= %7.3f s  %s\n", l, m, lim, (m <= lim ? "met" : "MISSED") }'
}
COPY3=$(awk -v c="$COPY" 'BEGIN { printf "%.6f", 3 * c }')
LIM_PREPARED=$(awk -v c="$COPY3" -v e="$ENGINE_ALL" 'BEGIN { printf "%.6f", e + c }')
LIM_FILES=$(awk -v c="$COPY3" -v e="$ENGINE_FILES" 'BEGIN { printf "%.6f", e + c }')
echo
echo "goals (steady time: first callback to last; the queue time adds the"
echo "worker's first 100 ms poll)"
for bm in 2 0; do
    read -r s rest <<<"${RESULT[off$bm]}"
    goal "engine off, BackupMode $bm: <= 3 x copy" "$s" "$COPY3"
done
ratio() { # label measured base limit
    awk -v l="$1" -v m="$2" -v b="$3" -v lim="$4" \
        'BEGIN { r = m / b; printf "  %-56s %7.2f x <= %4.2f x  %s\n", l, r, lim, (r <= lim ? "met" : "MISSED") }'
}
ratio "engine off, no backups (process): <= 2 x copy+flush" "$(col 13)" "$FLUSH" 2
ratio "engine off, backups (process): <= 3 x copy+flush" "$(col 5)" "$FLUSH" 3
if [ "$CLAMSCAN" != 0 ]; then
    ratio "engine on, no backups (process): <= 1.5 x clamscan" "$(col 17)" "$CLAMSCAN" 1.5
    ratio "engine on, backups (process): <= 1.5 x clamscan" "$(col 9)" "$CLAMSCAN" 1.5
fi
for key in on2 on0 noflush; do
    case $key in
    on2) label="engine on, backups" ;;
    on0) label="engine on, no backups" ;;
    noflush) label="engine on, no backups, no flush" ;;
    esac
    read -r s rest <<<"${RESULT[$key]}"
    goal "$label: outside the engine <= 3 x copy" "$rest" "$COPY3"
    goal "$label: <= engine + 3 x copy" "$s" "$LIM_PREPARED"
    goal "$label: <= engine (part files) + 3 x copy" "$s" "$LIM_FILES"
done
