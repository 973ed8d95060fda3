#!/usr/bin/env bash
# milter_throughput.sh - mails per second through a real Postfix on
# loopback: without a milter, with mailward-milter and the engine off, and
# with the engine on (one and two checking processes), all in one run; then
# the milter alone, driven over its socket as an MTA would.
#
# usage: sudo bench/milter_throughput.sh MILTER [MAILS] [SESSIONS]
#   MILTER    the mailward-milter program (build/mailward-milter)
#   MAILS     small mails per measurement (default 400; a quarter as many
#             big ones)
#   SESSIONS  parallel SMTP sessions (default 20)
#
# Two series through Postfix: small generated text mails, where Postfix's
# own work dominates (one measurement also with Milter.WorkerPark = off,
# to show what the park saves), and mails with a 1 MiB base64 attachment of
# random bytes, each mail a different one (the engine keeps what it found
# clean, so the same mail sent again would cost it almost nothing). Each
# measurement sends its mails over SESSIONS sessions and times from the
# first connection to the last mail in the Maildir, so the rate covers
# smtpd, the milter, cleanup, qmgr and local delivery. The third series
# drives the milter alone with bench/milter_drive.py (the big mails, engine
# on, one and two checking processes): on a machine of two cores Postfix
# needs much of the CPU itself, which hides the second process's gain.
# Uses the Postfix instance of the milter's end-to-end test (root; Postfix
# installed when missing) and removes it at the end.
set -euo pipefail

MILTER=$(readlink -f "$1")
MAILS=${2:-400}
SESSIONS=${3:-20}
BIG_BYTES=1048576
ROOT=$(cd "$(dirname "$0")/.." && pwd)
CLIENT="python3 $ROOT/tests/milter/smtp_client.py"
PF_PURPOSE=bench
export MW_E2E_PORT=${MW_E2E_PORT:-24626}
# shellcheck source=tests/milter/postfix_instance.sh
. "$ROOT/tests/milter/postfix_instance.sh"

# The big mails: a text part and BIG_BYTES of random data (a seed per mail)
# as a base64 attachment, one file each.
mkdir -p "$S/big"
python3 - "$S/big" "$BIG_BYTES" $((MAILS / 4)) <<'PY'
import base64, random, sys
folder, size, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for n in range(count):
    data = random.Random(n).randbytes(size)
    b64 = base64.encodebytes(data).decode().replace("\n", "\r\n")
    with open("%s/big-%04d.eml" % (folder, n), "w", newline="") as f:
        f.write("From: <a@client.test>\r\nTo: <b@client.test>\r\nSubject: big %d\r\n" % n
                + "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
                "--b1\r\nContent-Type: text/plain\r\n\r\nsee the attachment\r\n--b1\r\n"
                "Content-Type: application/octet-stream; name=\"data.bin\"\r\n"
                "Content-Transfer-Encoding: base64\r\n"
                "Content-Disposition: attachment; filename=\"data.bin\"\r\n\r\n"
                + b64 + "--b1--\r\n")
PY

# measure LABEL COUNT [MAIL]: sends COUNT mails (MAIL's, a folder's, or
# small generated ones), prints the rate. One small mail per session goes
# first, untimed, so that every measurement starts with Postfix's smtpd
# processes and their milter connections up (the first configuration
# measured would pay for it alone).
measure() {
    local label=$1 count=$2 mail=${3:-} before t0 t1 per
    per=$((count / SESSIONS))
    count=$((per * SESSIONS))
    before=$(delivered_count)
    $CLIENT bulk "$PORT" sender@client.test "$TEST_USER@$HOST" "$SESSIONS" 1 >/dev/null ||
        fail "$label: SMTP errors while warming up"
    wait_for_mails $((before + SESSIONS))
    before=$(delivered_count)
    t0=$(date +%s.%N)
    # shellcheck disable=SC2086 # mail is one path or nothing
    $CLIENT bulk "$PORT" sender@client.test "$TEST_USER@$HOST" "$SESSIONS" "$per" $mail >/dev/null ||
        fail "$label: SMTP errors"
    wait_for_mails $((before + count))
    t1=$(date +%s.%N)
    awk -v l="$label" -v n="$count" -v a="$t0" -v b="$t1" \
        'BEGIN { printf "%-44s %6d mails %7.2f s %8.1f mails/s\n", l, n, b - a, n / (b - a) }'
}

# series KIND COUNT [MAIL]: the five measurements.
series() {
    local kind=$1 count=$2 mail=${3:-}
    postconf -c "$PF/etc" -e "smtpd_milters ="
    postfix -c "$PF/etc" reload >/dev/null
    sleep 1
    measure "$kind: Postfix, no milter" "$count" "$mail"
    postconf -c "$PF/etc" -e "smtpd_milters = unix:$SOCK"
    postfix -c "$PF/etc" reload >/dev/null
    sleep 1
    MW_PROCESSES=1 start_milter -O Milter.Engine=off
    measure "$kind: milter, engine off, 1 process" "$count" "$mail"
    stop_milter
    if [ -z "$mail" ]; then
        MW_PROCESSES=1 start_milter -O Milter.Engine=off -O Milter.WorkerPark=off
        measure "$kind: milter, engine off, 1 process, no park" "$count" "$mail"
        stop_milter
    fi
    MW_PROCESSES=2 start_milter -O Milter.Engine=off
    measure "$kind: milter, engine off, 2 processes" "$count" "$mail"
    stop_milter
    MW_PROCESSES=1 start_milter
    measure "$kind: milter, engine on, 1 process" "$count" "$mail"
    stop_milter
    MW_PROCESSES=2 start_milter
    measure "$kind: milter, engine on, 2 processes" "$count" "$mail"
    stop_milter
}

# drive LABEL PROCESSES: the big mails straight into the milter, engine on,
# after one small mail per connection.
printf 'From: <a@client.test>\r\nSubject: warm\r\n\r\nwarm up\r\n' >"$S/warm.eml"
drive() {
    local label=$1
    MW_PROCESSES=$2 start_milter
    python3 "$ROOT/bench/milter_drive.py" "unix:$SOCK" "$SESSIONS" "$SESSIONS" "$S/warm.eml" \
        >/dev/null || fail "$label: milter errors while warming up"
    printf '%-44s ' "$label"
    python3 "$ROOT/bench/milter_drive.py" "unix:$SOCK" "$SESSIONS" $((MAILS / 4)) "$S/big" |
        sed -n 1p || fail "$label: milter errors"
    stop_milter
}

start_postfix
series small "$MAILS"
series "1 MiB attachment" $((MAILS / 4)) "$S/big"
drive "1 MiB attachment: milter alone, 1 process" 1
drive "1 MiB attachment: milter alone, 2 processes" 2

[ "$FAILURES" = 0 ] || exit 1
