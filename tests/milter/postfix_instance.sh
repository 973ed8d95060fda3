# postfix_instance.sh - a Postfix instance of its own on loopback, for the
# milter's end-to-end test and its throughput bench (sourced, not run).
#
# Before sourcing, set MILTER (the mailward-milter program) and PF_PURPOSE
# (a word for the scratch folder's and the log's names). Provides:
#   $S          scratch folder (removed by the EXIT trap set here)
#   $PF/etc     main.cf and master.cf: smtpd on 127.0.0.1:$PORT, no chroot,
#               local delivery into $MAILDIR (the test user $TEST_USER,
#               made for the run when missing), smtpd_milters = unix:$SOCK,
#               milter_default_action = tempfail, milter_protocol = 6,
#               header_size_limit = 4 MiB
#   start_postfix, start_milter ARGS..., stop_milter, milter_pid,
#   delivered_count, wait_for_mails N, fail TEXT, $FAILURES
# Exits 77 (skipped) with the reason where the machine cannot run Postfix:
# not root, or Postfix not installed. Nothing is installed here: the CI's
# setup installs the packages of scripts/packages.txt (group milter).
# shellcheck shell=bash

PORT=${MW_E2E_PORT:-24625}
TEST_USER=mwmiltertest
HOST=mw-test.localdomain
DELIVERY_WAIT=180   # seconds for mails to arrive
SKIP=77

skip() {
    echo "SKIPPED: $*"
    exit "$SKIP"
}

[ "$(id -u)" = 0 ] || skip "needs root (Postfix, a test user, port $PORT)"
command -v python3 >/dev/null || skip "needs python3"
command -v postfix >/dev/null ||
    skip "Postfix is not installed (scripts/packages.sh milter lists the packages)"

S=$(mktemp -d "/tmp/mailward-milter-$PF_PURPOSE.XXXXXX")
chmod 755 "$S"
PF="$S/postfix"
MAILDIR="$S/home/Maildir"
# MW_E2E_SOCKET: another socket (the milter installed by the package check).
SOCK=${MW_E2E_SOCKET:-$S/run/milter.sock}
PIDFILE="$S/run/milter.pid"
LOG="$S/milter.log"
MAILLOG="/var/log/mailward-milter-$PF_PURPOSE-$$.log"
CREATED_USER=0
FAILURES=0

fail() {
    echo "FAIL: $*"
    FAILURES=$((FAILURES + 1))
}

milter_pid() { [ -f "$PIDFILE" ] && cat "$PIDFILE"; }

stop_milter() {
    local pid
    pid=$(milter_pid) || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
}

cleanup() {
    set +e
    stop_milter
    local master
    master=$(tr -d ' ' <"$PF/queue/pid/master.pid" 2>/dev/null)
    postfix -c "$PF/etc" stop >/dev/null 2>&1
    if [ -n "$master" ]; then
        for _ in $(seq 100); do
            kill -0 "$master" 2>/dev/null || break
            sleep 0.1
        done
        kill -0 "$master" 2>/dev/null && echo "FAIL: the Postfix master $master did not stop"
    fi
    [ "$CREATED_USER" = 1 ] && userdel "$TEST_USER" 2>/dev/null
    if [ "$FAILURES" -gt 0 ]; then
        echo "--- milter log (last 40 lines)"
        tail -40 "$LOG" 2>/dev/null
        echo "--- postfix log (last 40 lines)"
        tail -40 "$MAILLOG" 2>/dev/null
    fi
    rm -rf "$S" "$MAILLOG"
}
trap cleanup EXIT

# --- the test user and the Postfix instance ---------------------------------
mkdir -p "$S/home" "$S/run" "$PF/etc" "$PF/queue" "$PF/data" "$S/state"
if ! id "$TEST_USER" >/dev/null 2>&1; then
    useradd -M -d "$S/home" -s /usr/sbin/nologin "$TEST_USER"
    CREATED_USER=1
fi
chown "$TEST_USER" "$S/home"
chown postfix "$PF/data"

cat >"$PF/etc/main.cf" <<CF
compatibility_level = 3.6
queue_directory = $PF/queue
data_directory = $PF/data
myhostname = $HOST
mydomain = localdomain
myorigin = \$myhostname
mydestination = \$myhostname, localhost
inet_interfaces = loopback-only
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtpd_recipient_restrictions = permit_mynetworks, reject
local_header_rewrite_clients =
local_recipient_maps =
alias_maps =
alias_database =
recipient_delimiter = +
home_mailbox = Maildir/
maillog_file = $MAILLOG
smtputf8_enable = no
biff = no
smtpd_milters = unix:$SOCK
milter_default_action = tempfail
milter_protocol = 6
# Room for the header of 25,000 fields of the end-to-end test.
header_size_limit = 4194304
CF
cat >"$PF/etc/master.cf" <<CF
127.0.0.1:$PORT inet n - n - - smtpd
pickup    unix  n - n 60   1 pickup
cleanup   unix  n - n -    0 cleanup
qmgr      unix  n - n 300  1 qmgr
rewrite   unix  - - n -    - trivial-rewrite
bounce    unix  - - n -    0 bounce
defer     unix  - - n -    0 bounce
trace     unix  - - n -    0 bounce
verify    unix  - - n -    1 verify
flush     unix  n - n 1000? 0 flush
proxymap  unix  - - n -    - proxymap
showq     unix  n - n -    - showq
error     unix  - - n -    - error
retry     unix  - - n -    - error
discard   unix  - - n -    - discard
local     unix  - n n -    - local
anvil     unix  - - n -    1 anvil
scache    unix  - - n -    1 scache
postlog   unix-dgram n - n - 1 postlogd
CF

# start_milter [OPTION...]: starts the milter with MW_PROCESSES checking
# processes (default 2) and the options given, and waits until it listens.
start_milter() {
    rm -f "$PIDFILE"
    "$MILTER" -f -s "unix:$SOCK" -p "${MW_PROCESSES:-2}" --pid-file "$PIDFILE" -O "DataDir=$S/state" \
        -O Milter.SocketMode=0666 "$@" >>"$LOG" 2>&1 &
    for _ in $(seq 600); do
        [ -S "$SOCK" ] && [ -f "$PIDFILE" ] && grep -q "listening on" "$LOG" && return 0
        sleep 0.1
    done
    fail "the milter did not start"
    exit 1
}

delivered_count() { { find "$MAILDIR/new" -type f 2>/dev/null || true; } | wc -l; }

# wait_for_mails N: waits until N mails have arrived in all.
wait_for_mails() {
    local want=$1
    for _ in $(seq $((DELIVERY_WAIT * 10))); do
        [ "$(delivered_count)" -ge "$want" ] && return 0
        sleep 0.1
    done
    fail "only $(delivered_count) of $want mails arrived"
    return 1
}

# The delivered mail sent to recipient extension EXT.
delivered_for() {
    grep -l -i "^Delivered-To: $TEST_USER+$1@" "$MAILDIR"/new/* 2>/dev/null | head -1
}

postfix -c "$PF/etc" check

# start_postfix: starts the instance and waits for its SMTP port.
start_postfix() {
    postfix -c "$PF/etc" start
    for _ in $(seq 100); do
        (echo >"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && return 0
        sleep 0.1
    done
    fail "Postfix does not listen on port $PORT"
    exit 1
}

