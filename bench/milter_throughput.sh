#!/usr/bin/env bash
# milter_throughput.sh - mails per second through a real Postfix on
# loopback: without a milter, with mailward-milter and the engine off, and
# with the engine on (one and two checking processes), all in one run.
#
# usage: sudo bench/milter_throughput.sh MILTER [MAILS] [SESSIONS]
#   MILTER    the mailward-milter program (build/mailward-milter)
#   MAILS     mails per measurement (default 400)
#   SESSIONS  parallel SMTP sessions (default 20)
#
# Each measurement sends MAILS small text mails over SESSIONS sessions and
# times from the first connection to the last mail in the Maildir, so the
# rate covers smtpd, the milter, cleanup, qmgr and local delivery. Uses the
# Postfix instance of the milter's end-to-end test (root; Postfix installed
# when missing) and removes it at the end.
set -euo pipefail

MILTER=$(readlink -f "$1")
MAILS=${2:-400}
SESSIONS=${3:-20}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
CLIENT="python3 $ROOT/tests/milter/smtp_client.py"
PF_PURPOSE=bench
export MW_E2E_PORT=${MW_E2E_PORT:-24626}
# shellcheck source=../tests/milter/postfix_instance.sh
. "$ROOT/tests/milter/postfix_instance.sh"

PER_SESSION=$((MAILS / SESSIONS))
MAILS=$((PER_SESSION * SESSIONS))

# measure LABEL: sends the mails, prints the rate.
measure() {
    local label=$1 before t0 t1
    before=$(delivered_count)
    t0=$(date +%s.%N)
    $CLIENT bulk "$PORT" sender@client.test "$TEST_USER@$HOST" "$SESSIONS" "$PER_SESSION" >/dev/null ||
        fail "$label: SMTP errors"
    wait_for_mails $((before + MAILS))
    t1=$(date +%s.%N)
    awk -v l="$label" -v n="$MAILS" -v a="$t0" -v b="$t1" \
        'BEGIN { printf "%-34s %6d mails %7.2f s %8.1f mails/s\n", l, n, b - a, n / (b - a) }'
}

postconf -c "$PF/etc" -e "smtpd_milters ="
start_postfix
measure "Postfix, no milter"

postconf -c "$PF/etc" -e "smtpd_milters = unix:$SOCK"
postfix -c "$PF/etc" reload >/dev/null
start_milter -O Milter.Engine=off -p 2
measure "milter, engine off, 2 processes"
stop_milter

start_milter -p 1
measure "milter, engine on, 1 process"
stop_milter

start_milter -p 2
measure "milter, engine on, 2 processes"
stop_milter

[ "$FAILURES" = 0 ] || exit 1
