#!/usr/bin/env bash
# postfix_e2e.sh - mailward-milter behind a real Postfix on loopback.
#
# usage: postfix_e2e.sh MILTER MAILWARD SOURCE_DIR
#   MILTER      the mailward-milter program
#   MAILWARD    the mailward program (its "check" gives the expected mails)
#   SOURCE_DIR  the source tree (share/examples/mails, share/examples/rules.conf)
#
# Writes a Postfix instance of its own into a scratch folder (its own
# main.cf and master.cf, smtpd on 127.0.0.1:PORT, no chroot, local delivery
# into the Maildir/ of a test user made for the run), starts it with the
# milter on a unix socket and checks:
#   1. every example mail arrives exactly as "mailward check" rewrites it,
#      with the example rules and spam list (the fields Postfix adds and the
#      verdict field left out); DKIM-signed multi-hop mails, a header of
#      25,000 fields and a field of 70 KB arrive with every field as sent
#      and in place, and the signatures verify (signed_mails.py);
#   1b. the defaults against what a sender shapes: a sender's own verdict
#      field is gone and the milter's is the only one; a mail the library
#      cannot parse and one whose attachments mail readers would read
#      otherwise (ST_MIME_DISAGREEMENT) get 550; a clean mail with several
#      Received fields (one folded) and a header value with a NUL byte
#      arrives with every sent field in place (compared field by field; the
#      value as far as the NUL, where Postfix cuts it);
#   1d. the hostile classes of tests/cli/hostile_mails.py (one mail each): no
#      payload a reader would open is delivered, the harmless mails are;
#   2. Milter.OnVirus = reject: the EICAR mail gets 550 with the text of
#      Milter.ReplyVirus (%{virus}, %{queueid}, "%%"); OnFiltered =
#      quarantine: the .exe mail lands in mailward's quarantine, not in
#      Postfix's hold queue nor the Maildir; a mail over
#      Milter.MaxSize arrives untouched, tagged (OnTooBig = accept); mail to
#      a domain with a rule set of its own is checked with it, and in a
#      transaction with a recipient of the default set that recipient gets
#      451; a checking process killed is restarted and mail keeps flowing;
#      --ping answers PONG, and the metrics endpoint (Milter.MetricsAddress)
#      counted each of these messages by verdict and action;
#   3. 200 mails over 20 parallel sessions arrive once each;
#   4. the milter killed inside a session: 451, and the retry is delivered
#      once after a restart; the restart removes the dead run's spool files;
#   5. Milter.OnVirus = quarantine: the EICAR mail is held, listed by
#      "mailward quarantine list", released through Postfix's sendmail and
#      delivered with the bytes after Postfix's trace fields equal to the
#      mail as sent;
#      SIGHUP: a changed policy in the configuration file and a sender added
#      to the spam list take effect; a broken rules file is refused with its
#      line, the old rules stay, mail keeps flowing;
#   6. limits: with Milter.MaxInFlight = 1 and the checking processes
#      hung (SIGSTOP), a second message gets 451 at once; the hung one gets
#      451 after Milter.Timeout, its checking process is killed and
#      restarted, and the next mail is delivered;
#   7. a DNS block list (a name server of the test's own on loopback):
#      mail from a listed sender domain is "filtered (spam list)";
#   7b. the engine: a mail it stops in at a limit gets 550 (Milter.OnLimit's
#      default), never 451; a signature database put into the watched
#      folder while 2000 mails flow: each arrives once, none is tempfailed,
#      and the new signature finds its mail;
#   4b. Milter.Mode = monitor: a virus mail arrives as sent but for the trace
#      fields and the verdict field; the log and the administrator's notice
#      say it would have been rejected, the hook runs with the facts in its
#      environment (Milter.ReplyVirus is checked in 2);
#   8. SIGTERM: the milter and its checking processes end, the spool is empty.
# Everything is stopped and removed at the end, also on failure.
#
# Runs only with MAILWARD_POSTFIX_E2E=1 in the environment. Needs root and
# Postfix (installed by the CI's setup, never here); exits 77 (skipped) with
# the reason where the machine cannot run it.
set -euo pipefail

MILTER=$(readlink -f "$1")
MAILWARD=$(readlink -f "$2")
SRC=$(readlink -f "$3")
HERE=$(cd "$(dirname "$0")" && pwd)
CLIENT="python3 $HERE/smtp_client.py"

BULK_SESSIONS=20
BULK_PER_SESSION=10
RELOAD_PER_SESSION=100 # mails per session that flow while a new engine comes
PF_PURPOSE=e2e
if [ "${MAILWARD_POSTFIX_E2E:-0}" != 1 ]; then
    echo "SKIPPED: set MAILWARD_POSTFIX_E2E=1 to run it (it starts Postfix; CI: section milter)"
    exit 77
fi
# shellcheck source=tests/milter/postfix_instance.sh
. "$HERE/postfix_instance.sh"
mkdir -p "$S/expected"
start_milter --rules "$SRC/share/examples/rules.conf" --spam-list "$SRC/share/examples/spam-list.txt"
start_postfix

# The metrics endpoint's port and its text (the series' labels sorted, as
# prometheus-cpp writes them: action before verdict).
METRICS_PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
scrape() {
    python3 -c 'import sys, urllib.request
sys.stdout.write(urllib.request.urlopen(sys.argv[1], timeout=10).read().decode())' \
        "http://127.0.0.1:$METRICS_PORT/metrics"
}
# metric FILE SERIES: the value of SERIES in a scrape's FILE, 0 when absent.
metric() {
    local value
    value=$(awk -v s="$2" '$1 == s { print $2 }' "$1")
    echo "${value:-0}"
}

# deliver TAG MAIL WHAT: sends MAIL to $TEST_USER+TAG, expects 250 (else a
# failure about WHAT), waits for it and sets `got` to the delivered file,
# or "" when nothing arrived.
deliver() {
    local code
    code=$($CLIENT send "$PORT" sender@client.test "$TEST_USER+$1@$HOST" "$2" || true)
    [ "$code" = 250 ] || fail "$3: reply $code"
    total=$((total + 1))
    wait_for_mails "$total" || true
    got=$(delivered_for "$1")
}

# --- 1. the example mails ---------------------------------------------------
# "mailward check" rewrites the copies in place.
cp "$SRC"/share/examples/mails/*.eml "$S/expected/"
"$MAILWARD" check -O "DataDir=$S/check-data" --rules "$SRC/share/examples/rules.conf" \
    --spam-list "$SRC/share/examples/spam-list.txt" "$S"/expected/*.eml >/dev/null || true
sent=0
for mail in "$SRC"/share/examples/mails/*.eml; do
    name=$(basename "$mail" .eml)
    code=$($CLIENT send "$PORT" sender@client.test "$TEST_USER+$name@$HOST" "$mail" || true)
    [ "$code" = 250 ] || fail "$name: SMTP reply $code"
    sent=$((sent + 1))
done
wait_for_mails "$sent"
for mail in "$SRC"/share/examples/mails/*.eml; do
    name=$(basename "$mail" .eml)
    got=$(delivered_for "$name")
    if [ -z "$got" ]; then
        fail "$name: not delivered"
        continue
    fi
    if ! diff -u <($CLIENT strip "$S/expected/$name.eml") <($CLIENT strip "$got") >"$S/diff"; then
        fail "$name: delivered mail differs from mailward check's:"
        head -40 "$S/diff"
    fi
    grep -q -i "^X-Mailward-Verdict: " "$got" || fail "$name: no verdict field"
    echo "$name: $(grep -i '^X-Mailward-Verdict: ' "$got" | head -1)"
done
total=$sent

# --- 1b. the defaults against what a sender shapes ---------------------------
{ printf 'X-Mailward-Verdict: clean\r\n'; cat "$SRC/share/examples/mails/03-exe-attachment.eml"; } >"$S/forged.eml"
deliver forged "$S/forged.eml" "a mail with a forged verdict field"
verdicts=$(grep -c -i "^X-Mailward-Verdict:" "$got" || true)
if [ "$verdicts" != 1 ] || ! grep -q "^X-Mailward-Verdict: filtered (removed)" "$got"; then
    fail "forged verdict: $verdicts verdict fields delivered: $(grep -i '^X-Mailward-Verdict:' "$got" | tr '\n' '|')"
fi
echo "forged verdict: $(grep -i '^X-Mailward-Verdict:' "$got")"

# More parts than the parser takes: the mail does not load.
python3 - "$S/unparsed.eml" <<'PY'
import sys
mail = "From: a@client.test\r\nSubject: parts\r\nMIME-Version: 1.0\r\n"
mail += 'Content-Type: multipart/mixed; boundary="b"\r\n\r\n'
mail += "".join("--b\r\nContent-Type: text/plain\r\n\r\npart %d\r\n" % i for i in range(600))
open(sys.argv[1], "w", newline="").write(mail + "--b--\r\n")
PY
code=$($CLIENT send "$PORT" sender@client.test "$TEST_USER+unparsed@$HOST" "$S/unparsed.eml" || true)
[ "$code" = 550 ] || fail "a mail the library cannot parse: reply $code, not 550"
# A delimiter inside a parameter: the tolerant parser cuts the part there,
# mail readers see an .exe the filter did not act on.
printf 'From: a@client.test\r\nSubject: inner\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: application/octet-stream; x="--b";\r\n name="a.exe"\r\n\r\nMZ\r\n--b--\r\n' >"$S/disagree.eml"
code2=$($CLIENT send "$PORT" sender@client.test "$TEST_USER+disagree@$HOST" "$S/disagree.eml" || true)
[ "$code2" = 550 ] || fail "a mail with a MIME disagreement: reply $code2, not 550"
echo "not parsed: $code, MIME disagreement: $code2"

printf 'Received: from a.example by b.example; Mon, 1 Jan 2024 00:00:01 +0000\r\nReceived: from c.example\r\n\tby d.example; Mon, 1 Jan 2024 00:00:00 +0000\r\nDate: Mon, 1 Jan 2024 00:00:02 +0000\r\nFrom: x@client.test\r\nSubject: hops\r\nTo: y@client.test\r\nMessage-Id: <hops@client.test>\r\nX-Note: seen\0hidden tail\r\n\r\nhello\r\n' >"$S/hops.eml"
deliver hops "$S/hops.eml" "a clean mail with several Received fields"
if [ -z "$got" ] || ! $CLIENT fields "$S/hops.eml" "$got"; then
    fail "several Received fields: the delivered header differs from the sent one"
fi
grep -q -a -P '\x00' "$got" && fail "a NUL byte was delivered"
echo "several Received fields: $(grep -c "^Received:" "$got") delivered, compared field by field"

# --- 1b. banned content inside archives, renamed programs, forwarded mail ----
# The fixtures are made here; each delivered mail is read back with Python's
# email package: no program left (by name or by its bytes), a notice in its
# place, and the forwarded mail still an attached message with its text.
python3 "$SRC/tests/support/make_content_fixtures.py" "$S/content" --mails
for name in mail-docs.zip mail-docs.7z mail-holiday.jpg mail-secret.zip forwarded; do
    deliver "content-$name" "$S/content/$name.eml" "$name"
    [ -n "$got" ] || { fail "$name: not delivered"; continue; }
    python3 - "$got" "$name" <<'PY' || fail "$name: delivered mail still holds what the rules ban"
import email, email.policy, sys
msg = email.message_from_binary_file(open(sys.argv[1], "rb"), policy=email.policy.default)
parts = list(msg.walk())
for p in parts:
    if p.is_multipart() or p.get_content_type() == "message/rfc822":
        continue
    data = p.get_payload(decode=True) or b""
    assert not data.startswith(b"MZ"), "a program is left"
    assert p.get_filename() in (None, "removed-attachment.txt", "notes.txt"), p.get_filename()
notices = [p for p in parts if p.get_filename() == "removed-attachment.txt"]
assert notices or sys.argv[2] == "mail-secret.zip", "no notice"
if sys.argv[2] == "forwarded":
    inner = [p for p in parts if p.get_content_type() == "message/rfc822"]
    assert inner, "the attached message is gone"
    text = inner[0].get_payload()[0].as_string()
    assert "Please find the file attached." in text and "Name: setup.exe" in text
PY
    echo "$name: $(grep -i '^X-Mailward-Verdict: ' "$got" | head -1)"
done

# --- 1c. header fields as sent ------------------------------------------------
# DKIM-signed multi-hop mails (relaxed and simple), a header of 25,000
# fields and a field of 70 KB: each arrives with every field as sent, in
# place, the stamp and the verdict below them, and a signature that
# verifies. python3-dkim is a Debian package: the system's interpreter.
mkdir -p "$S/signed"
if names=$(/usr/bin/python3 "$HERE/signed_mails.py" make "$S/signed"); then
    for name in $names; do
        deliver "$name" "$S/signed/$name.eml" "$name"
        if [ -z "$got" ]; then
            fail "$name: not delivered"
            continue
        fi
        result=$(/usr/bin/python3 "$HERE/signed_mails.py" check "$S/signed" "$S/signed/$name.eml" "$got") ||
            fail "$name: $result"
        echo "$name: $result"
    done
else
    fail "the signed mails could not be made (python3-dkim and openssl are needed): $names"
fi

# --- 1d. the hostile classes ---------------------------------------------------
# Each class of mail a sender shapes to get a payload past a filter
# (tests/cli/hostile_mails.py: archives the engine does not scan whole, decoy
# boundaries, names as readers open them, encoded blocks in text, harmless
# look-alikes), with that script's rules as the milter's: whatever is
# delivered holds no payload a reader would open, the harmless ones arrive.
names=$(python3 "$SRC/tests/cli/hostile_mails.py" --write "$S/hostile")
stop_milter
start_milter --rules "$S/hostile/rules.conf"
: >"$S/hostile/replies"
: >"$S/hostile/results"
for name in $names; do
    code=$($CLIENT send "$PORT" sender@client.test "$TEST_USER+$name@$HOST" "$S/hostile/$name.eml" || true)
    [ "$code" = 250 ] && total=$((total + 1))
    echo "$name $code" >>"$S/hostile/replies"
done
wait_for_mails "$total" || true
while read -r name code; do
    path=""
    [ "$code" = 250 ] && path=$(delivered_for "$name")
    echo "$name $code $path" >>"$S/hostile/results"
done <"$S/hostile/replies"
python3 "$SRC/tests/cli/hostile_mails.py" --judge "$S/hostile" --results "$S/hostile/results" ||
    fail "hostile mails through the milter: a payload was delivered or a harmless mail refused"

# --- 2. a policy: viruses rejected -------------------------------------------
stop_milter
start_milter --rules "$SRC/share/examples/rules.conf" -O Milter.OnVirus=reject -O Milter.MaxSize=1100 \
    -O Milter.OnTooBig=accept -O Milter.RuleSetFor.localhost=header -O Milter.OnFiltered=quarantine \
    -O "Milter.MetricsAddress=127.0.0.1:$METRICS_PORT" \
    -O "Milter.ReplyVirus=refused, %{virus} found (100%% sure) in %{queueid}"
"$MILTER" --ping "unix:$SOCK" >"$S/ping" || fail "mailward-milter --ping: no answer from the live milter"
grep -q "^PONG " "$S/ping" || fail "mailward-milter --ping: $(cat "$S/ping")"
scrape >"$S/metrics.before" || fail "no answer from the metrics endpoint"
# The configured reply text, its placeholders expanded and its '%' kept,
# is what the client reads.
reply=$(swaks --server 127.0.0.1 --port "$PORT" --helo client.test --from sender@client.test \
    --to "$TEST_USER+reject@$HOST" --data "$SRC/share/examples/mails/02-eicar-attachment.eml" 2>&1 |
    grep '^<\*\* 5' | head -1 || true)
code=${reply:4:3}
[ "$code" = 550 ] || fail "EICAR with Milter.OnVirus = reject: reply '$reply', not 550"
echo "$reply" | grep -Eiq '^<\*\* 550 5\.7\.1 refused, [^ ]*eicar[^ ]* found \(100% sure\) in [0-9A-F]+$' ||
    fail "Milter.ReplyVirus: the reply was '$reply'"
echo "OnVirus=reject: EICAR mail got: $reply"
# Milter.OnFiltered = quarantine: the .exe mail is accepted into mailward's
# quarantine, and Postfix discards its copy.
quarantine() { "$MAILWARD" quarantine "$@" -O "DataDir=$S/state"; }
code=$($CLIENT send "$PORT" sender@client.test "$TEST_USER+held@$HOST" \
    "$SRC/share/examples/mails/03-exe-attachment.eml" || true)
[ "$code" = 250 ] || fail "filtered mail with Milter.OnFiltered = quarantine: reply $code"
held=$(quarantine list | grep -c "$TEST_USER+held@.*filtered" || true)
[ "$held" = 1 ] || fail "Milter.OnFiltered = quarantine: $held entries in the quarantine, not 1"
inhold=$(find "$PF/queue/hold" -type f | wc -l)
[ "$inhold" = 0 ] || fail "Milter.OnFiltered = quarantine: $inhold mails in Postfix's hold queue"
echo "OnFiltered=quarantine: $held mail in the quarantine, $inhold in the hold queue"

# 04-clam-zip is over the 1100 bytes: delivered unchecked, as received.
deliver big "$SRC/share/examples/mails/04-clam-zip.eml" "mail over Milter.MaxSize"
if [ -z "$got" ] || ! grep -q "^X-Mailward-Verdict: unchecked (too big)" "$got" ||
    ! diff -q <($CLIENT strip "$SRC/share/examples/mails/04-clam-zip.eml") <($CLIENT strip "$got") >/dev/null; then
    fail "mail over Milter.MaxSize: not delivered untouched with the verdict unchecked (too big)"
fi
echo "MaxSize: $(grep "^X-Mailward-Verdict" "$got")"

# Mail to the domain localhost is checked with the set "header", which has
# no rule for .exe attachments: setup.exe stays.
code=$($CLIENT send "$PORT" sender@client.test "$TEST_USER+domain@localhost" \
    "$SRC/share/examples/mails/03-exe-attachment.eml" || true)
[ "$code" = 250 ] || fail "mail to a domain with its own rule set: reply $code"
total=$((total + 1))
wait_for_mails "$total" || true
got=$(grep -l -i "^Delivered-To: $TEST_USER+domain@localhost" "$MAILDIR"/new/* | head -1)
if [ -z "$got" ] || ! grep -q 'filename="setup.exe"' "$got" ||
    ! grep -q "^X-Mailward-Verdict: clean" "$got"; then
    fail "Milter.RuleSetFor.localhost = header: setup.exe was not left in place"
fi
echo "RuleSetFor.localhost: $(grep "^X-Mailward-Verdict" "$got"), setup.exe kept"
# One transaction, two rule sets: the first recipient's holds, the other
# recipient is tempfailed for a transaction of its own.
codes=$($CLIENT sendmany "$PORT" sender@client.test "$SRC/share/examples/mails/01-clean.eml" \
    "$TEST_USER+first@$HOST" "$TEST_USER+second@localhost" || true)
[ "$codes" = "250 451" ] || fail "recipients of two rule sets in one transaction: replies $codes, not 250 451"
total=$((total + 1))
wait_for_mails "$total" || true
[ -n "$(delivered_for first)" ] || fail "the first recipient's mail was not delivered"
! grep -q -l -i "^Delivered-To: $TEST_USER+second@" "$MAILDIR"/new/* ||
    fail "the recipient of another rule set was delivered in the same transaction"
echo "two rule sets in one transaction: $codes"
# The endpoint counted each of these messages by verdict and action: the
# 451 of the second recipient is no message.
scrape >"$S/metrics.after" || fail "no answer from the metrics endpoint"
for series in 'action="reject",verdict="virus"' 'action="quarantine",verdict="filtered"' \
    'action="accept",verdict="unchecked"' 'action="deliver",verdict="clean"'; do
    want=1
    [ "$series" = 'action="deliver",verdict="clean"' ] && want=2
    before=$(metric "$S/metrics.before" "mailward_milter_messages_total{$series}")
    after=$(metric "$S/metrics.after" "mailward_milter_messages_total{$series}")
    [ $((after - before)) = "$want" ] ||
        fail "metrics: $series counted $before before and $after after, not $want more"
done
count=$(metric "$S/metrics.after" mailward_milter_check_seconds_count)
[ "$count" = 5 ] || fail "metrics: $count checks timed, not 5"
for line in "mailward_milter_ready 1" "mailward_milter_checking_processes ${MW_PROCESSES:-2}" \
    "mailward_milter_messages_in_flight 0"; do
    grep -q -x "$line" "$S/metrics.after" || fail "metrics: no '$line'"
done
grep -q "^mailward_milter_engine_signatures [1-9]" "$S/metrics.after" ||
    fail "metrics: no signature count of the engine"
echo "metrics: $(grep '^mailward_milter_messages_total' "$S/metrics.after" | tr '\n' ' ')"

# A checking process killed: restarted, and the mail flow goes on. The
# milter's children are its engine loader and its checking processes.
checker_pids() { pgrep -P "$(milter_pid)" -x mw-checker || true; }
victim=$(checker_pids | head -1)
kill -KILL "$victim"
for _ in $(seq 100); do
    grep -q "pid $victim) was killed by signal 9" "$LOG" && break
    sleep 0.1
done
grep -q "pid $victim) was killed by signal 9" "$LOG" || fail "the killed checking process was not noticed"
for _ in $(seq 100); do
    [ "$(checker_pids | wc -l)" = 2 ] && break
    sleep 0.1
done
[ "$(checker_pids | wc -l)" = 2 ] || fail "the killed checking process was not restarted"
code=$($CLIENT send "$PORT" sender@client.test "$TEST_USER+afterkill@$HOST" \
    "$SRC/share/examples/mails/01-clean.eml" || true)
[ "$code" = 250 ] || fail "mail after a checking process was killed: reply $code"
total=$((total + 1))
echo "checking process $victim killed: restarted, next mail $code"

# The engine loader builds at the lowest priority; the checking processes
# it forks, the restarted one too, run at the milter's.
nice_of() { ps -o ni= -p "$1" | tr -d ' '; }
milter_nice=$(nice_of "$(milter_pid)")
loader=$(pgrep -P "$(milter_pid)" -x mw-loader | head -1)
[ "$(nice_of "$loader")" = 19 ] || fail "the engine loader runs at nice $(nice_of "$loader"), not 19"
for p in $(checker_pids); do
    [ "$(nice_of "$p")" = "$milter_nice" ] ||
        fail "checking process $p runs at nice $(nice_of "$p"), the milter at $milter_nice"
done
echo "priorities: loader 19, checking processes $milter_nice as the milter"

# --- 3. 200 mails over 20 parallel sessions -----------------------------------
bulk=$((BULK_SESSIONS * BULK_PER_SESSION))
t0=$(date +%s.%N)
$CLIENT bulk "$PORT" sender@client.test "$TEST_USER+bulk@$HOST" "$BULK_SESSIONS" \
    "$BULK_PER_SESSION" || fail "bulk sessions met errors"
total=$((total + bulk))
wait_for_mails "$total" || true
t1=$(date +%s.%N)
dupes=$(grep -h "^Subject: bulk " "$MAILDIR"/new/* | sort | uniq -d | wc -l)
distinct=$(grep -h "^Subject: bulk " "$MAILDIR"/new/* | sort -u | wc -l)
[ "$distinct" = "$bulk" ] || fail "bulk: $distinct distinct of $bulk mails arrived"
[ "$dupes" = 0 ] || fail "bulk: $dupes mails arrived twice"
echo "bulk: $distinct of $bulk mails, $dupes twice, $(awk "BEGIN { printf \"%.1f\", $t1 - $t0 }") s"

# --- 4. the milter killed inside a session ------------------------------------
# checkers_gone PIDS...: true once none of the processes is left.
checkers_gone() {
    local p alive
    for _ in $(seq 100); do
        alive=0
        for p in "$@"; do
            kill -0 "$p" 2>/dev/null && alive=1
        done
        [ "$alive" = 0 ] && return 0
        sleep 0.1
    done
    return 1
}
checkers=$(pgrep -P "$(milter_pid)" || true)
$CLIENT killmid "$PORT" sender@client.test "$TEST_USER+killed@$HOST" "$PIDFILE" ||
    fail "killed milter: the reply was not 451"
# shellcheck disable=SC2086 # one pid per word
checkers_gone $checkers || fail "checking processes outlived the killed milter"
leftover=$(find "$S/state/milter/spool" -type f | wc -l)
start_milter --rules "$SRC/share/examples/rules.conf"
left=$(find "$S/state/milter/spool" -type f | wc -l)
[ "$left" = 0 ] || fail "the restart left $left of $leftover spool files of the killed run"
code=$($CLIENT send "$PORT" sender@client.test "$TEST_USER+killed@$HOST" \
    "$SRC/share/examples/mails/01-clean.eml" || true)
[ "$code" = 250 ] || fail "retry after the restart: reply $code"
total=$((total + 1))
wait_for_mails "$total" || true
n=$(grep -l -i "^Delivered-To: $TEST_USER+killed@" "$MAILDIR"/new/* | wc -l)
[ "$n" = 1 ] || fail "killed milter: $n mails delivered, not 1"
grep -q -l "killed mid-session" "$MAILDIR"/new/* && fail "the half-sent mail was delivered"
echo "kill mid-session: 451, retry delivered once, $leftover spool file(s) of the killed run removed"

# --- 4b. monitor mode ---------------------------------------------------------
# Milter.Mode = monitor with OnVirus = reject: the EICAR mail is delivered
# as sent, byte for byte but for Postfix's trace fields and the one verdict
# field; the log says it would have been rejected, and the administrator's
# notice of it comes through Postfix's sendmail (of this instance).
printf '#!/bin/sh\nexec /usr/sbin/sendmail -C "%s" "$@"\n' "$PF/etc" >"$S/sendmail"
printf '#!/bin/sh\nenv > "%s"\n' "$S/hook.env" >"$S/hook"
chmod 755 "$S/sendmail" "$S/hook"
stop_milter
start_milter --rules "$SRC/share/examples/rules.conf" -O Milter.Mode=monitor -O Milter.OnVirus=reject \
    -O "Milter.NoticeTo=$TEST_USER+notice@$HOST" -O "Milter.Sendmail=$S/sendmail" -O "Milter.Hook=$S/hook"
eicar="$SRC/share/examples/mails/02-eicar-attachment.eml"
deliver monitor "$eicar" "EICAR mail in monitor mode"
if [ -z "$got" ]; then
    fail "monitor mode: the EICAR mail was not delivered"
else
    $CLIENT untouched "$eicar" "$got" X-Mailward-Verdict || fail "monitor mode: the mail was changed"
    grep -q "^X-Mailward-Verdict: virus " "$got" || fail "monitor mode: no virus verdict field"
fi
grep -q "to=<$TEST_USER+monitor@$HOST>.*action=accept (monitor: would reject)" "$LOG" ||
    fail "monitor mode: the log line does not say what would have been done"
total=$((total + 1))
wait_for_mails "$total" || true
notice=$(delivered_for notice)
if [ -z "$notice" ] || ! grep -q "^Subject: \[mailward\] virus: virus " "$notice" ||
    ! grep -q "^Action: *accept (monitor: would reject)" "$notice"; then
    fail "monitor mode: no administrator notice of the would-be reject"
fi
for _ in $(seq 50); do
    grep -q "hook $S/hook: exit status 0" "$LOG" && break
    sleep 0.1
done
if ! grep -q "^MAILWARD_WOULD=reject$" "$S/hook.env" 2>/dev/null ||
    ! grep -q "^MAILWARD_VIRUS=.*EICAR" "$S/hook.env" ||
    ! grep -q "^MAILWARD_RECIPIENTS=$TEST_USER+monitor@$HOST$" "$S/hook.env"; then
    fail "monitor mode: the hook did not run with the message's facts"
fi
echo "monitor mode: $(grep '^X-Mailward-Verdict' "$got"), delivered as sent; notice: $(grep '^Subject' "$notice")"

# --- 5. reload with a broken rules file ---------------------------------------
stop_milter
cp "$SRC/share/examples/rules.conf" "$S/rules.conf"
# .exe attachments moved instead of removed (the set's first rule).
sed -i '/^\[set default\]/a rule move-exe = move | moved | | attachment: *.exe' "$S/rules.conf"
cp "$SRC/share/examples/spam-list.txt" "$S/spam-list.txt"
echo "Milter.OnVirus = quarantine" >"$S/milter.conf"
start_milter --rules "$S/rules.conf" -c "$S/milter.conf" --spam-list "$S/spam-list.txt"
# The EICAR mail held, listed, released through this instance's sendmail
# (its non_smtpd_milters is empty: not checked again) and delivered: below
# the trace fields Postfix puts on top, the mail as it was sent.
eicar="$SRC/share/examples/mails/02-eicar-attachment.eml"
code=$($CLIENT send "$PORT" sender@client.test "$TEST_USER+qvirus@$HOST" "$eicar" || true)
[ "$code" = 250 ] || fail "EICAR with Milter.OnVirus = quarantine: reply $code"
entry=$(quarantine list | grep "$TEST_USER+qvirus@.*virus" | cut -f1)
[ -n "$entry" ] || fail "the EICAR mail is not in the quarantine list: $(quarantine list)"
[ -z "$(delivered_for qvirus)" ] || fail "the quarantined EICAR mail was delivered"
MAIL_CONFIG="$PF/etc" quarantine release "$entry" >"$S/release.out" ||
    fail "release of $entry: $(cat "$S/release.out")"
total=$((total + 1))
wait_for_mails "$total" || true
got=$(delivered_for qvirus)
sed 's/\r$//' "$eicar" >"$S/eicar-sent.txt"
sent_size=$(wc -c <"$S/eicar-sent.txt")
if [ -z "$got" ]; then
    fail "the released mail was not delivered"
elif ! tail -c "$sent_size" "$got" | cmp -s - "$S/eicar-sent.txt"; then
    fail "the released mail differs from the one sent"
else
    extra=$(head -c "$(($(wc -c <"$got") - sent_size))" "$got" |
        grep -v -E '^(Return-Path|Delivered-To|X-Original-To|Received):|^[[:space:]]' || true)
    [ -z "$extra" ] || fail "the released mail has more than trace fields above the mail as sent: $extra"
fi
! quarantine list | grep -q "^$entry" || fail "the released mail is still listed"
echo "OnVirus=quarantine: $entry held, released, delivered as sent below $(grep -c '^Received:' "$got") Received fields"
# A part a move rule takes out is listed as an attachment entry of its own,
# with the bytes that were moved; the mail goes on with its notice.
code=$($CLIENT send "$PORT" sender@client.test "$TEST_USER+moved@$HOST" \
    "$SRC/share/examples/mails/03-exe-attachment.eml" || true)
[ "$code" = 250 ] || fail "a mail with a moved .exe: reply $code"
total=$((total + 1))
part=$(quarantine list | grep "$TEST_USER+moved@" | cut -f1)
quarantine show "$part" >"$S/part.show" 2>&1 || fail "show $part: $(cat "$S/part.show")"
if ! grep -q "^Kind: attachment" "$S/part.show" || ! grep -q "^Name: setup.exe" "$S/part.show"; then
    fail "the moved part is not an attachment entry: $(cat "$S/part.show")"
fi
cmp -s "$S/state/quarantine/$part.eml" "$S/state/moved/setup.exe" ||
    fail "the attachment entry does not hold the moved bytes"
echo "moved part: attachment entry $part"
cp "$SRC/share/examples/rules.conf" "$S/rules.conf" # the example rules again from the SIGHUP on
# A policy changed in the configuration file and a sender added to the spam
# list take effect on SIGHUP (01-clean.eml, from alice@example.org, came
# through as clean in section 1).
echo "Milter.OnVirus = reject" >"$S/milter.conf"
echo "alice@example.org 7" >>"$S/spam-list.txt"
kill -HUP "$(milter_pid)"
for _ in $(seq 100); do
    grep -q "reloaded the rules and the spam list" "$LOG" && break
    sleep 0.1
done
grep -q "reloaded the milter settings" "$LOG" || fail "SIGHUP: the settings were not reloaded"
deliver listed "$SRC/share/examples/mails/01-clean.eml" "mail from a sender listed by the reload"
if [ -z "$got" ] || ! grep -q "^X-Mailward-Verdict: filtered (spam list)" "$got"; then
    fail "a sender added to the spam list before SIGHUP was not found after it"
fi
echo "reload of the spam list: $(grep -i '^X-Mailward-Verdict: ' "$got" | head -1)"
code=$($CLIENT send "$PORT" sender@client.test "$TEST_USER+hup@$HOST" \
    "$SRC/share/examples/mails/02-eicar-attachment.eml" || true)
[ "$code" = 550 ] || fail "Milter.OnVirus = reject after SIGHUP: reply $code, not 550"
echo "reload of the configuration: EICAR mail now gets $code"
lines=$(wc -l <"$S/rules.conf")
echo "rule broken = no-such-action | | | attachment: *.txt" >>"$S/rules.conf"
kill -HUP "$(milter_pid)"
for _ in $(seq 100); do
    grep -q "reload refused" "$LOG" && break
    sleep 0.1
done
grep -q "reload refused.*rules.conf:$((lines + 1)):" "$LOG" ||
    fail "reload of a broken file: no error naming line $((lines + 1))"
deliver reload "$SRC/share/examples/mails/03-exe-attachment.eml" "mail after the refused reload"
if [ -z "$got" ] ||
    ! diff -q <($CLIENT strip "$S/expected/03-exe-attachment.eml") <($CLIENT strip "$got") >/dev/null; then
    fail "after the refused reload the old rules did not apply"
fi
echo "reload: $(grep "reload refused" "$LOG" | tail -1 | sed 's/.*reload refused/reload refused/')"

# --- 6. limits: messages in flight, the per-message timeout -------------------
stop_milter
start_milter --rules "$SRC/share/examples/rules.conf" -O Milter.MaxInFlight=1 -O Milter.Timeout=3
checkers=$(checker_pids)
# shellcheck disable=SC2086 # one pid per word
kill -STOP $checkers
$CLIENT send "$PORT" sender@client.test "$TEST_USER+hung@$HOST" \
    "$SRC/share/examples/mails/01-clean.eml" >"$S/hung.code" 2>&1 &
hung=$!
# The hung message is in work once its whole text has reached the milter.
for _ in $(seq 50); do
    [ "$(find "$S/state/milter/spool" -type f | wc -l)" -ge 1 ] && break
    sleep 0.1
done
sleep 1
t0=$(date +%s.%N)
code=$($CLIENT send "$PORT" sender@client.test "$TEST_USER+busy@$HOST" \
    "$SRC/share/examples/mails/01-clean.eml" || true)
t1=$(date +%s.%N)
[ "$code" = 451 ] || fail "a second message with Milter.MaxInFlight = 1: reply $code, not 451"
wait "$hung" || true
code=$(tail -1 "$S/hung.code")
[ "$code" = 451 ] || fail "a message whose check hangs past Milter.Timeout: reply $code, not 451"
grep -q "gave no answer in 3 s; restarting it" "$LOG" ||
    fail "the hung checking process was not named in the log"
# shellcheck disable=SC2086 # one pid per word
kill -CONT $checkers 2>/dev/null || true
for _ in $(seq 100); do
    [ "$(checker_pids | wc -l)" = 2 ] && break
    sleep 0.1
done
deliver afterhang "$SRC/share/examples/mails/01-clean.eml" "mail after a hung checking process was replaced"
[ -n "$got" ] || fail "mail after the hang was not delivered"
[ -z "$(delivered_for hung)$(delivered_for busy)" ] || fail "a tempfailed message was delivered"
echo "limits: in flight over the limit $(awk "BEGIN { printf \"%.2f\", $t1 - $t0 }") s to 451," \
    "hung check 451 after Milter.Timeout, next mail delivered"

# --- 7. DNS block list ------------------------------------------------------
# 01-clean.eml comes from alice@example.org: listed by the zone dbl.test.
stop_milter
DNS_PORT=$((PORT + 1))
python3 "$HERE/fake_dns.py" "$DNS_PORT" 120 example.org.dbl.test=127.0.0.2 &
dns=$!
start_milter --rules "$SRC/share/examples/rules.conf" -O Milter.DnsList=dbl.test \
    -O "Milter.DnsServer=127.0.0.1:$DNS_PORT" -O Milter.DnsTimeout=2
deliver dnslisted "$SRC/share/examples/mails/01-clean.eml" "mail from a sender domain on a DNS list"
if [ -z "$got" ] || ! grep -q "^X-Mailward-Verdict: filtered (spam list)" "$got"; then
    fail "a sender domain on the DNS block list was not found"
fi
printf 'From: Bob <bob@other.example>\r\nSubject: not listed\r\n\r\nhello\r\n' >"$S/other.eml"
deliver dnsclean "$S/other.eml" "mail from a sender not on the list"
if [ -z "$got" ] || ! grep -q "^X-Mailward-Verdict: clean" "$got"; then
    fail "a sender not on the DNS block list was not delivered clean"
fi
kill "$dns" 2>/dev/null || true
wait "$dns" 2>/dev/null || true
echo "DNS block list: listed domain filtered, other sender not"

# --- 7b. the engine: a limit, and a new database while mail flows ------------
stop_milter
mkdir -p "$S/sigs"
cp "$SRC/share/signatures/"* "$S/sigs/"
printf 'From: <a@client.test>\r\nSubject: at a limit\r\n\r\n%s\r\n' \
    "$(head -c 4096 /dev/zero | tr '\0' a)" >"$S/big.eml"
start_milter --rules "$SRC/share/examples/rules.conf" -O EngineMaxFileSize=1
code=$($CLIENT send "$PORT" sender@client.test "$TEST_USER+limit@$HOST" "$S/big.eml" || true)
[ "$code" = 550 ] || fail "a mail at an engine limit: reply $code, not 550 (Milter.OnLimit)"
grep -q 'verdict="unchecked (engine limit)", action=reject' "$LOG" || fail "the engine limit was not logged as such"
# The checking process's own line of that limit carries the message's queue id.
qid=$(sed -n 's/^.*: \([^ :]*\): from=<sender@client.test>, to=<[^>]*+limit@.*$/\1/p' "$LOG" | head -1)
if [ -z "$qid" ] || ! grep -v "from=<" "$LOG" | grep -q "^$qid: .*limit"; then
    fail "no line of the checking process about the limit carries the queue id '$qid'"
fi
echo "engine limit: 550; the checking process's line: $(grep -v "from=<" "$LOG" | grep -m1 "^$qid: .*limit")"
stop_milter
start_milter --rules "$SRC/share/examples/rules.conf" -O "SignatureDir=$S/sigs"
engines=$(grep -c "checking process(es) in place" "$LOG")
# The database goes in first: the watch waits for the folder to be quiet,
# and the mails take longer than that.
marker="mailward e2e reload marker 5b21"
printf 'Mailward.Test.E2E.Reload:0:*:%s\n' "$(printf '%s' "$marker" | od -An -tx1 | tr -d ' \n')" \
    >"$S/reload.ndb"
mv "$S/reload.ndb" "$S/sigs/reload.ndb"
flowing=$((BULK_SESSIONS * RELOAD_PER_SESSION))
$CLIENT bulk "$PORT" sender@client.test "$TEST_USER+newdb@$HOST" "$BULK_SESSIONS" \
    "$RELOAD_PER_SESSION" >"$S/reload-bulk.out" 2>&1 &
flow=$!
for _ in $(seq 300); do
    [ "$(grep -c "checking process(es) in place" "$LOG")" -gt "$engines" ] && break
    sleep 0.1
done
[ "$(grep -c "checking process(es) in place" "$LOG")" -gt "$engines" ] ||
    fail "no new engine after a database was put into the signature folder"
kill -0 "$flow" 2>/dev/null || fail "the mails were through before the new engine came"
wait "$flow" || fail "mails sent during the reload were refused: $(cat "$S/reload-bulk.out")"
total=$((total + flowing))
wait_for_mails "$total" || true
n=$(grep -l -i "^Delivered-To: $TEST_USER+newdb@" "$MAILDIR"/new/* | wc -l)
[ "$n" = "$flowing" ] || fail "mails sent during the reload: $n of $flowing arrived"
printf 'From: <a@client.test>\r\nSubject: marked\r\n\r\n%s\r\n' "$marker" >"$S/marked.eml"
deliver marked "$S/marked.eml" "the mail the new signature finds"
if [ -z "$got" ] || ! grep -q "^X-Mailward-Verdict: virus Mailward.Test.E2E.Reload" "$got"; then
    fail "the signature of the new database did not find its mail"
fi
echo "engine: limit 550; new database under $flowing mails, $n arrived, new signature found"

# --- 8. SIGTERM ---------------------------------------------------------------
pid=$(milter_pid)
checkers=$(pgrep -P "$pid" || true)
kill -TERM "$pid"
for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$pid" 2>/dev/null && fail "the milter did not end within 10 s of SIGTERM"
# shellcheck disable=SC2086 # one pid per word
checkers_gone $checkers || fail "checking processes outlived SIGTERM"
left=$(find "$S/state/milter/spool" -type f | wc -l)
[ "$left" = 0 ] || fail "$left files left in the spool after SIGTERM"
[ -S "$SOCK" ] && fail "the socket was left behind"

echo "delivered: $(delivered_count) mails"
if [ "$FAILURES" -gt 0 ]; then
    echo "$FAILURES check(s) failed"
    exit 1
fi
echo "all checks passed"
