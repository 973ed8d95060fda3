#!/usr/bin/env bash
# check_deb.sh - the Debian packages as an operator meets them on a fresh
# machine (root; .ci/run's package section runs it).
#
# usage: check_deb.sh BUILD SOURCE_DIR
#   BUILD       a configured and built tree (configured with
#               CMAKE_INSTALL_PREFIX=/usr for Debian's library folders)
#   SOURCE_DIR  the source tree (tests/milter for the Postfix instance)
#
#   1. cpack -G DEB makes mailward, mailward-milter and mailward-dev;
#      lintian gives no error and no warning (the tags kept are overridden
#      in the packages, each with its reason);
#   2. apt-get installs them: the system user mailward (in the group
#      postfix), /var/lib/mailward, the socket's folder in Postfix's spool,
#      the configuration as conffiles; the unit passes systemd-analyze
#      verify; the installed mailward checks the example mails, and both
#      programs check the installed configuration;
#   3. the installed milter, started as its unit starts it (ExecStartPre as
#      root, ExecStart as the unit's user with its groups and umask, a
#      notification socket as NOTIFY_SOCKET), says READY=1; a clean mail
#      and the EICAR mail go through a Postfix instance of the test's own
#      to the socket of the installed configuration and arrive with their
#      verdicts;
#   4. remove keeps the conffiles, purge takes them with the state and
#      socket folders; a reinstall over the remaining user works.
# Exits 77 (skipped) when not root or without apt-get, lintian or Postfix.
set -euo pipefail

BUILD=$(cd "$1" && pwd)
SOURCE=$(cd "$2" && pwd)
SKIP=77
READY_WAIT=300 # seconds for the installed milter to load its engine
PACKAGES=(mailward mailward-milter mailward-dev)

[ "$(id -u)" = 0 ] || { echo "SKIPPED: needs root (apt-get)"; exit "$SKIP"; }
for tool in apt-get lintian systemd-analyze setpriv python3 postfix; do
    command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit "$SKIP"; }
done

export DEBIAN_FRONTEND=noninteractive
FAILED=0
fail() {
    echo "FAIL: $*"
    FAILED=$((FAILED + 1))
}

# --- 1. the packages and lintian ---------------------------------------------
rm -f "$BUILD"/mailward*_*.deb
(cd "$BUILD" && cpack -G DEB >"$BUILD/cpack.log" 2>&1) || { tail -30 "$BUILD/cpack.log"; exit 1; }
debs=()
for p in "${PACKAGES[@]}"; do
    deb=$(ls "$BUILD/${p}_"*.deb)
    debs+=("$deb")
    dpkg-deb -f "$deb" Package Version Depends
done
lint_rc=0
lint=$(lintian --fail-on error,warning "${debs[@]}" 2>&1) || lint_rc=$?
lint=$(grep -v 'running with root privileges' <<<"$lint" || true)
[ -z "$lint" ] || echo "$lint"
[ "$lint_rc" -eq 0 ] || fail "lintian exited $lint_rc"

# --- 2. installed ---------------------------------------------------------------
NOTIFY_DIR=$(mktemp -d /tmp/mailward-deb.XXXXXX)
chmod 755 "$NOTIFY_DIR"
LISTENER=
# shellcheck disable=SC2317 # run by the EXIT trap
purge() {
    set +e
    [ -n "$LISTENER" ] && kill "$LISTENER" 2>/dev/null
    dpkg --purge "${PACKAGES[@]}" >/dev/null 2>&1
    rm -rf "$NOTIFY_DIR"
}
trap purge EXIT
apt-get install -y "${debs[@]}" >"$NOTIFY_DIR/apt.log" 2>&1 || { cat "$NOTIFY_DIR/apt.log"; exit 1; }

for f in /usr/bin/mailward /usr/bin/mailward-milter /etc/mailward/mailward.conf \
    /etc/mailward/rules.conf /lib/systemd/system/mailward-milter.service \
    /usr/share/man/man8/mailward-milter.8.gz /usr/share/man/man5/mailward.conf.5.gz \
    /usr/include/mailward.h; do
    [ -e "$f" ] || fail "missing $f"
done
ldconfig -p | grep -q 'libmailward.so.0 ' || fail "the loader does not know libmailward.so.0"
getent passwd mailward >/dev/null || fail "no user mailward"
id -nG mailward | grep -qw postfix || fail "mailward is not in the group postfix"
[ "$(stat -c %U:%a /var/lib/mailward)" = mailward:750 ] || fail "/var/lib/mailward: $(stat -c %U:%a /var/lib/mailward)"
[ -d /var/spool/postfix/mailward ] || fail "no socket folder in Postfix's spool"
dpkg-query -W -f='${Conffiles}\n' mailward-milter | grep -q /etc/mailward/mailward.conf ||
    fail "mailward.conf is no conffile"
verify=$(systemd-analyze verify /lib/systemd/system/mailward-milter.service 2>&1) ||
    fail "systemd-analyze verify: $verify"
# Lines about other units of the machine are not the package's.
if grep -i 'mailward' <<<"$verify"; then
    fail "systemd-analyze verify warns of the unit"
fi
# The installed program checks copies of the installed example mails: the
# EICAR mail is infected, the .exe attachment removed (exit 1: found).
cp -R /usr/share/mailward/examples/mails "$NOTIFY_DIR/mails"
status=0
(cd "$NOTIFY_DIR" && XDG_STATE_HOME=$NOTIFY_DIR/state /usr/bin/mailward check mails \
    >"$NOTIFY_DIR/check.txt" 2>&1) || status=$?
[ "$status" -eq 1 ] || fail "installed mailward check exited $status (expected 1)"
grep -q 'VGhpcyBpcyBub3QgcmVhbGx5' "$NOTIFY_DIR/mails/03-exe-attachment.eml" &&
    fail "the installed check left the .exe attachment in place"
/usr/bin/mailward config check >"$NOTIFY_DIR/config.txt" 2>&1 ||
    fail "mailward config check of the installed file: $(cat "$NOTIFY_DIR/config.txt")"
grep -q '^# /etc/mailward/mailward.conf:' "$NOTIFY_DIR/config.txt" ||
    fail "mailward config check did not read /etc/mailward/mailward.conf"
/usr/bin/mailward-milter --check-config -c /etc/mailward/mailward.conf \
    --rules /etc/mailward/rules.conf >"$NOTIFY_DIR/milter-config.txt" 2>&1 ||
    fail "mailward-milter --check-config: $(cat "$NOTIFY_DIR/milter-config.txt")"

# --- 3. the milter as the unit starts it, behind Postfix ---------------------
unit=/lib/systemd/system/mailward-milter.service
# The unit's value of KEY, continuation lines joined.
unit_value() { sed -e ':a' -e '/\\$/N; s/\\\n//; ta' "$unit" | sed -n "s/^$1=//p"; }
user=$(unit_value User)
group=$(unit_value Group)
umask_value=$(unit_value UMask)
# "+": the unit runs the command as root.
while IFS= read -r pre; do
    read -ra words <<<"${pre#+}"
    "${words[@]}" || fail "ExecStartPre $pre"
done < <(unit_value ExecStartPre)
read -ra start <<<"$(unit_value ExecStart)"

python3 - "$NOTIFY_DIR/notify" "$NOTIFY_DIR/notify.log" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
import os
os.chmod(sys.argv[1], 0o666)
with open(sys.argv[2], "a", buffering=1) as log:
    while True:
        log.write(s.recv(4096).decode(errors="replace").replace("\n", " ") + "\n")
PY
LISTENER=$!
for _ in $(seq 50); do [ -S "$NOTIFY_DIR/notify" ] && break; sleep 0.1; done

# The Postfix instance of the milter's end-to-end test, connected to the
# socket of the installed configuration (it runs without chroot).
MW_E2E_SOCKET=$(sed -n 's/^Milter.Socket *= *unix://p' /etc/mailward/mailward.conf)
export PF_PURPOSE=deb MILTER=/usr/bin/mailward-milter
# shellcheck source=tests/milter/postfix_instance.sh
. "$SOURCE/tests/milter/postfix_instance.sh"
trap 'cleanup; purge' EXIT
# postfix_instance.sh counts its own failures.
fail() {
    echo "FAIL: $*"
    FAILURES=$((FAILURES + 1))
}
FAILURES=$((FAILURES + FAILED))

setpriv --reuid="$user" --regid="$group" --init-groups \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin NOTIFY_SOCKET="$NOTIFY_DIR/notify" \
    sh -c "umask $umask_value; exec \"\$@\"" sh "${start[@]}" >>"$LOG" 2>&1 &
echo $! >"$PIDFILE"
ready=0
for _ in $(seq $((READY_WAIT * 10))); do
    if grep -q '^READY=1' "$NOTIFY_DIR/notify.log" 2>/dev/null; then
        ready=1
        break
    fi
    kill -0 "$(cat "$PIDFILE")" 2>/dev/null || break
    sleep 0.1
done
if [ "$ready" = 1 ]; then
    echo "the installed milter: $(grep -m1 '^READY=1' "$NOTIFY_DIR/notify.log")"
    sock=${MW_E2E_SOCKET}
    [ "$(stat -c %G:%a "$sock")" = postfix:660 ] || fail "the socket is $(stat -c %G:%a "$sock")"
    start_postfix
    CLIENT="python3 $SOURCE/tests/milter/smtp_client.py"
    for mail in 01-clean 02-eicar-attachment; do
        code=$($CLIENT send "$PORT" sender@example.org "$TEST_USER+$mail@$HOST" \
            "/usr/share/mailward/examples/mails/$mail.eml") || fail "$mail: $code"
    done
    if wait_for_mails 2; then
        grep -q '^X-Mailward-Verdict: clean' "$(delivered_for 01-clean)" ||
            fail "the clean mail arrived without the verdict clean"
        grep -q '^X-Mailward-Verdict: virus ' "$(delivered_for 02-eicar-attachment)" ||
            fail "the EICAR mail arrived without a virus verdict"
    fi
    stop_milter
    grep -q '^STOPPING=1' "$NOTIFY_DIR/notify.log" || fail "no STOPPING=1 at the stop"
else
    fail "the installed milter did not say READY=1; its log:"
    cat "$LOG"
fi

# --- 4. remove, purge, reinstall -----------------------------------------------
apt-get remove -y "${PACKAGES[@]}" >/dev/null 2>&1 || fail "apt-get remove"
[ -f /etc/mailward/mailward.conf ] || fail "remove took the conffiles"
[ -e /usr/bin/mailward-milter ] && fail "remove left the program"
# dpkg: apt-get knows no package of the removed ones (they come from no
# repository).
dpkg --purge "${PACKAGES[@]}" >/dev/null 2>&1 || fail "dpkg --purge"
for gone in /etc/mailward /var/lib/mailward /var/spool/postfix/mailward; do
    [ -e "$gone" ] && fail "purge left $gone"
done
apt-get install -y "${debs[@]}" >"$NOTIFY_DIR/apt.log" 2>&1 || fail "reinstall: $(cat "$NOTIFY_DIR/apt.log")"
[ -d /var/lib/mailward ] || fail "the reinstall made no /var/lib/mailward"
[ "$FAILURES" -eq 0 ] && echo "install, milter behind Postfix, remove, purge and reinstall: good"
exit "$((FAILURES > 0))"
