#!/usr/bin/env bash
# milter_engine.sh - mailward-milter with a signature database of production
# size (bench/make_sigdb.py) beside clamd + clamav-milter on the same
# database and the same mails, in one run: load, memory with 1, 2 and 4
# checking processes, and a reload of the database while mail flows.
#
#   bench/milter_engine.sh [BUILD_DIR]        (default: build)
#
# Both milters are driven over their sockets as an MTA would
# (bench/milter_drive.py), with the synthetic office mails of
# bench/make_mails.py (MAILS, default 200), so that no mail server shares
# the two cores. The peer runs only where /usr/sbin/clamd and
# /usr/sbin/clamav-milter are installed (Debian: clamav-daemon,
# clamav-milter), in the foreground with configurations of the bench's own
# (clamd's defaults otherwise; clamav-milter with OnInfected Reject).
#
# Measured:
#   load     from the start of the program to its socket taking mail:
#            mailward-milter's "listening on" line; clamd's answer to PING
#            (then clamav-milter's socket)
#   memory   PSS (/proc/PID/smaps_rollup, the kernel's share of each page
#            among the processes that map it) summed over every process of
#            the milter (mailward: the milter, its engine loader and its
#            checking processes; the peer: clamd and clamav-milter), after
#            the mail set went through once; mailward with 1, 2 and 4
#            checking processes (the peer has one engine whatever its
#            threads)
#   reload   STREAM mails (default 600, other mails than the set's, so that
#            no engine answers them from what it found clean before) over
#            SESSIONS sessions (default 4);
#            RELOAD_AFTER seconds in (default 3), SIGHUP (mailward, two
#            checking processes) or clamd's RELOAD command; the answers by
#            kind, the slowest answer, and the summed PSS every SAMPLE
#            seconds (default 0.25): before the reload, the highest, and
#            at the end
# The database is made once into SIGDB (default: the folder engine_scale.sh
# uses, below TMPDIR, kept between runs).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
MILTER=$BUILD/mailward-milter
MAILS=${MAILS:-200}
STREAM=${STREAM:-600}
SESSIONS=${SESSIONS:-4}
RELOAD_AFTER=${RELOAD_AFTER:-3}
SAMPLE=${SAMPLE:-0.25}
HASHES=${HASHES:-3000000}
BODIES=${BODIES:-150000}
LOGICAL=${LOGICAL:-20000}
SIGDB=${SIGDB:-${TMPDIR:-/tmp}/mailward-sigdb-$HASHES-$BODIES-$LOGICAL}
DRIVE="python3 $ROOT/bench/milter_drive.py"
WAIT=600 # tenths of a second a program may take to start

[ -x "$MILTER" ] || {
    echo "$MILTER is missing: build it first" >&2
    exit 2
}
if [ ! -f "$SIGDB/bench.hdb" ]; then
    python3 "$ROOT/bench/make_sigdb.py" "$SIGDB" --hashes "$HASHES" --bodies "$BODIES" \
        --logical "$LOGICAL"
fi
PEER=1
for p in /usr/sbin/clamd /usr/sbin/clamav-milter; do
    [ -x "$p" ] || PEER=0
done

S=$(mktemp -d "${TMPDIR:-/tmp}/mailward-milter-engine.XXXXXX")
PIDS=()
cleanup() {
    local p
    for p in "${PIDS[@]}"; do
        kill -TERM "$p" 2>/dev/null || true
    done
    for p in "${PIDS[@]}"; do
        for _ in $(seq 50); do
            kill -0 "$p" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$p" 2>/dev/null || true
        { wait "$p"; } 2>/dev/null || true
    done
    rm -rf "$S"
}
trap cleanup EXIT
mkdir -p "$S/mails" "$S/stream"
python3 "$ROOT/bench/make_mails.py" "$MAILS" "$S/mails" >/dev/null
python3 "$ROOT/bench/make_mails.py" "$STREAM" "$S/stream" 2 >/dev/null

now() { date +%s.%N; }
sub() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a - b }'; }
later() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a > b) }'; }

# tree PID: PID and every process below it.
tree() {
    local p
    echo "$1"
    for p in $(pgrep -P "$1" || true); do
        tree "$p"
    done
}

# pss PID...: the summed PSS in MB of the processes and all below them. A
# process that starts or ends while the sum is taken changes the shares of
# the others (a page of five processes counts a fifth in each, of two a
# half), so a sum over a set of processes that changed meanwhile is taken
# again (up to PSS_TRIES times).
PSS_TRIES=5
pss() {
    local p total k list again try
    for try in $(seq "$PSS_TRIES"); do
        list=$(for r in "$@"; do tree "$r"; done)
        total=0
        for p in $list; do
            k=$(awk '/^Pss:/ { print $2 }' "/proc/$p/smaps_rollup" 2>/dev/null || true)
            total=$((total + ${k:-0}))
        done
        again=$(for r in "$@"; do tree "$r"; done)
        [ "$list" = "$again" ] && break
        [ "$try" -lt "$PSS_TRIES" ] && sleep 0.05
    done
    echo $((total / 1024))
}

# wait_for TEST...: waits until the command succeeds (false after WAIT).
wait_for() {
    local _
    for _ in $(seq "$WAIT"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# --- mailward-milter ------------------------------------------------------------
# start_mailward N: the milter with N checking processes; sets MW_PID, MW_SOCK.
start_mailward() {
    local n=$1 log=$S/mw-$1.log
    MW_SOCK=$S/mw-$n.sock
    rm -rf "$S/mw-state-$n"
    "$MILTER" -f -s "unix:$MW_SOCK" -p "$n" -O "SystemSignatureDir=$SIGDB" \
        -O "DataDir=$S/mw-data" -O "Milter.StateDir=$S/mw-state-$n" >"$log" 2>&1 &
    MW_PID=$!
    PIDS+=("$MW_PID")
    wait_for grep -q "listening on" "$log" || {
        echo "mailward-milter did not start:" >&2
        cat "$log" >&2
        exit 1
    }
}

stop() {
    kill -TERM "$@" 2>/dev/null || true
    for p in "$@"; do
        while kill -0 "$p" 2>/dev/null; do sleep 0.1; done
    done
}

# --- clamd + clamav-milter --------------------------------------------------------
start_peer() {
    mkdir -p "$S/clamd-db" "$S/clamd-tmp"
    ln -sf "$SIGDB"/* "$ROOT"/share/signatures/* "$S/clamd-db/"
    cat >"$S/clamd.conf" <<EOF
Foreground yes
LocalSocket $S/clamd.sock
DatabaseDirectory $S/clamd-db
TemporaryDirectory $S/clamd-tmp
LogFile $S/clamd.log
SelfCheck 3600
EOF
    cat >"$S/clamav-milter.conf" <<EOF
Foreground yes
MilterSocket unix:$S/cm.sock
ClamdSocket unix:$S/clamd.sock
OnInfected Reject
OnFail Defer
LogFile $S/cm.log
EOF
    /usr/sbin/clamd -c "$S/clamd.conf" >/dev/null 2>&1 &
    CLAMD_PID=$!
    PIDS+=("$CLAMD_PID")
    wait_for clamd_answers PING PONG || {
        echo "clamd did not start:" >&2
        cat "$S/clamd.log" >&2
        exit 1
    }
    /usr/sbin/clamav-milter -c "$S/clamav-milter.conf" >/dev/null 2>&1 &
    CM_PID=$!
    PIDS+=("$CM_PID")
    wait_for test -S "$S/cm.sock" || {
        echo "clamav-milter did not start:" >&2
        cat "$S/cm.log" >&2
        exit 1
    }
}

# clamd_answers COMMAND WANT: clamd's answer to COMMAND is WANT.
clamd_answers() {
    python3 - "$S/clamd.sock" "$1" "$2" <<'PY'
import socket, sys
try:
    s = socket.socket(socket.AF_UNIX)
    s.settimeout(5)
    s.connect(sys.argv[1])
    s.sendall(b"z" + sys.argv[2].encode() + b"\0")
    answer = s.recv(100).rstrip(b"\0\n").decode()
except OSError:
    sys.exit(1)
sys.exit(0 if answer == sys.argv[3] else 1)
PY
}

# reload_run LABEL SOCKET ROOT-PIDS... -- RELOAD-COMMAND...: the stream, the
# reload at RELOAD_AFTER and the memory samples; one table row.
reload_run() {
    local label=$1 sock=$2
    shift 2
    local roots=()
    while [ "$1" != "--" ]; do
        roots+=("$1")
        shift
    done
    shift
    local before high last t0 drive
    before=$(pss "${roots[@]}")
    $DRIVE "unix:$sock" "$SESSIONS" "$STREAM" "$S/stream" >"$S/stream.out" 2>&1 &
    drive=$!
    t0=$(now)
    high=$before
    : >"$S/samples"
    local reloaded=0
    while kill -0 "$drive" 2>/dev/null; do
        if [ "$reloaded" = 0 ] && later "$(sub "$(now)" "$t0")" "$RELOAD_AFTER"; then
            "$@"
            reloaded=1
        fi
        last=$(pss "${roots[@]}")
        echo "$(sub "$(now)" "$t0") $last" >>"$S/samples"
        [ "$last" -gt "$high" ] && high=$last
        sleep "$SAMPLE"
    done
    wait "$drive" || true
    sleep 2
    last=$(pss "${roots[@]}")
    local line answers
    line=$(sed -n 1p "$S/stream.out")
    answers=$(sed -n 2p "$S/stream.out")
    printf '| %-28s | %-40s | %-18s | %8s | %8s | %8s |\n' "$label" "$line" "$answers" \
        "$before" "$high" "$last"
    cp "$S/samples" "$S/samples-$label"
}

echo "signature database: $SIGDB ($HASHES hash, $BODIES body, $LOGICAL logical signatures)"
echo "mails: $MAILS synthetic (bench/make_mails.py); one run each"
echo
echo "| program | load | memory (PSS, MB) after the mail set | mail set |"
echo "|---|---|---|---|"
for n in 1 2 4; do
    t0=$(now)
    start_mailward "$n"
    t1=$(now)
    $DRIVE "unix:$MW_SOCK" "$SESSIONS" "$MAILS" "$S/mails" >"$S/set.out" 2>&1 || true
    set_out=$(sed -n 1p "$S/set.out")
    printf '| mailward-milter, %d checking process(es) | %s s | %s | %s |\n' "$n" \
        "$(sub "$t1" "$t0")" "$(pss "$MW_PID")" "$set_out"
    stop "$MW_PID"
done
if [ "$PEER" = 1 ]; then
    t0=$(now)
    start_peer
    t1=$(now)
    $DRIVE "unix:$S/cm.sock" "$SESSIONS" "$MAILS" "$S/mails" >"$S/set.out" 2>&1 || true
    set_out=$(sed -n 1p "$S/set.out")
    printf '| clamd + clamav-milter | %s s | %s | %s |\n' "$(sub "$t1" "$t0")" \
        "$(pss "$CLAMD_PID" "$CM_PID")" "$set_out"
else
    echo "| clamd + clamav-milter | not installed | | |"
fi

echo
echo "reload while $STREAM mails flow over $SESSIONS sessions (memory: summed PSS in MB)"
echo
printf '| %-28s | %-40s | %-18s | %8s | %8s | %8s |\n' "program" "stream" "answers" \
    "before" "highest" "after"
echo "|---|---|---|---|---|---|"
start_mailward 2
reload_run "mailward-milter, 2 processes" "$MW_SOCK" "$MW_PID" -- kill -HUP "$MW_PID"
grep -E "loading a new engine|in place after|refused" "$S/mw-2.log" | tail -2 | sed 's/^/    /' || true
stop "$MW_PID"
if [ "$PEER" = 1 ]; then
    reload_run "clamd + clamav-milter" "$S/cm.sock" "$CLAMD_PID" "$CM_PID" -- \
        clamd_answers RELOAD RELOADING
    grep -iE "reload|database" "$S/clamd.log" | tail -3 | sed 's/^/    /' || true
fi
echo
echo "memory over time (seconds from the stream's start, summed PSS in MB):"
for f in "$S"/samples-*; do
    echo "  ${f##*/samples-}: $(awk '{ printf "%s:%s ", $1, $2 }' "$f")"
done
