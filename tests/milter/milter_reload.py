#!/usr/bin/env python3
"""milter_reload.py - new signature databases while mail flows through
mailward-milter, driven over its socket as an MTA would (no mail server).

usage: milter_reload.py MILTER WORK_DIR

The milter runs with two checking processes, Milter.OnVirus = reject and a
signature folder of the test's own that starts with one signature (marker
A). Four sessions send mail the whole time, in turn a clean one and one
with marker A, B or C in its text, and every answer is kept. Two runs:

  1. the folder watched (Milter.WatchSignatures on): a database with A and
     B moved into the folder the way freshclam puts one there must make B
     rejected without a word to the milter; then a broken database beside
     it must be refused with the running engine kept (A and B still
     rejected);
  2. the watch off: C added to the folder changes nothing until SIGHUP,
     after which C is rejected.

Throughout: no answer is a tempfail, no session fails, every mail sent is
answered, clean mail is always accepted and A always rejected, nothing
answers slower than SLOWEST_ALLOWED_S; after each new engine exactly two
checking processes are left (the old ones ended). Prints the counts and
the slowest answer. Exit status 0 when all holds, 1 otherwise.
"""
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # nothing is written into the source tree
sys.path.insert(0, os.path.join(HERE, "..", "..", "bench"))
import milter_drive  # noqa: E402  (the MTA side of the milter protocol)

SESSIONS = 4
PROCESSES = 2
MARKERS = {"A": "mailward reload marker A 3f1e", "B": "mailward reload marker B 77c0",
           "C": "mailward reload marker C 0d95"}
SLOWEST_ALLOWED_S = 10.0
WAIT_S = 60.0

failures = []


def fail(text):
    failures.append(text)
    print("FAIL: " + text)


def ndb(*names):
    return "".join("Mailward.Test.Reload.%s:0:*:%s\n" % (n, MARKERS[n].encode().hex())
                   for n in names)


def put_database(folder, name, text):
    """Writes the database beside the folder and moves it in, as freshclam does."""
    tmp = os.path.join(os.path.dirname(folder), name + ".tmp")
    with open(tmp, "w") as f:
        f.write(text)
    os.rename(tmp, os.path.join(folder, name))


def mail(kind):
    body = b"Hello,\r\nnothing to see here.\r\n"
    if kind != "clean":
        body = ("Hello,\r\n%s\r\n" % MARKERS[kind]).encode()
    fields = [[b"From", b"<sender@client.test>"], [b"To", b"<user@server.test>"],
              [b"Subject", kind.encode()]]
    return fields, body


class Stream:
    """SESSIONS sessions sending mail until stopped; every answer is kept as
    (kind, answer, reply code, seconds, time it came)."""

    def __init__(self, socket_path):
        self.path = socket_path
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.answers = []
        self.errors = []
        self.threads = [threading.Thread(target=self.run, args=(k,)) for k in range(SESSIONS)]
        for t in self.threads:
            t.start()

    def run(self, k):
        kinds = ["clean", "A", "B", "C"]
        n = k
        try:
            c = milter_drive.Connection(self.path)
            while not self.stop.is_set():
                kind = kinds[n % len(kinds)]
                n += 1
                t0 = time.monotonic()
                answer = c.send_mail(*mail(kind))
                took = time.monotonic() - t0
                code = c.last_reply[:3].decode(errors="replace") if answer == b"y" else ""
                with self.lock:
                    self.answers.append((kind, answer, code, took, time.monotonic()))
            c.close()
        except (OSError, ConnectionError) as e:
            with self.lock:
                self.errors.append(str(e))

    def since(self, t):
        with self.lock:
            return [a for a in self.answers if a[4] - a[3] >= t]

    def wait_for(self, kind, rejected, after):
        """Waits until a mail of `kind` sent after `after` got the wanted answer."""
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline:
            if any(a[0] == kind and (a[2] == "550") == rejected for a in self.since(after)):
                return True
            time.sleep(0.05)
        return False

    def end(self):
        self.stop.set()
        for t in self.threads:
            t.join()
        return self.answers


class Milter:
    def __init__(self, program, work, sigs, watch):
        self.work = work
        self.log_path = os.path.join(work, "milter.log")
        self.socket = os.path.join(work, "milter.sock")
        with open(os.path.join(work, "milter.conf"), "w") as f:
            f.write("Milter.OnVirus = reject\n")
        args = [program, "-f", "-s", "unix:" + self.socket, "-p", str(PROCESSES),
                "-c", os.path.join(work, "milter.conf"),
                "-O", "SignatureDir=" + sigs, "-O", "SystemSignatureDir=",
                "-O", "DataDir=" + os.path.join(work, "data"),
                "-O", "Milter.StateDir=" + os.path.join(work, "state"),
                "-O", "Milter.WatchSignatures=" + ("on" if watch else "off")]
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT)
        if not self.wait_log("listening on", 1):
            raise RuntimeError("the milter did not start:\n" + self.text())

    def text(self):
        # The library's lines may quote a mail's 8-bit bytes.
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def wait_log(self, line, count):
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline:
            if self.text().count(line) >= count:
                return True
            if self.proc.poll() is not None:
                return False
            time.sleep(0.05)
        return False

    def checkers(self):
        """Pids of the milter's children named as checking processes."""
        found = []
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % pid) as f:
                    stat = f.read()
            except OSError:
                continue
            comm = stat[stat.index("(") + 1:stat.rindex(")")]
            ppid = int(stat[stat.rindex(")") + 2:].split()[1])
            if ppid == self.proc.pid and comm == "mw-checker":
                found.append(int(pid))
        return found

    def two_checkers_left(self):
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline:
            if len(self.checkers()) == PROCESSES:
                return True
            time.sleep(0.05)
        return False

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            fail("the milter did not stop on SIGTERM")
        self.log.close()


def judge(label, answers, errors, swaps):
    """Checks every answer of a run; `swaps`: (kind, time) pairs after which
    that kind must be rejected, before which accepted."""
    if errors:
        fail("%s: sessions failed: %s" % (label, errors))
    if not answers:
        fail("%s: no mail was answered" % label)
        return
    for kind, answer, code, took, when in answers:
        sent = when - took
        if answer in (b"t",) or code.startswith("4"):
            fail("%s: a %s mail was tempfailed (%r %s)" % (label, kind, answer, code))
        rejected = code == "550"
        want = None
        if kind == "clean":
            want = False
        elif kind == "A":
            want = True
        for swap_kind, (before, after) in swaps.items():
            if kind == swap_kind and when < before:
                want = False
            if kind == swap_kind and sent > after:
                want = True
        if want is not None and rejected != want:
            fail("%s: a %s mail was %s" % (label, kind, "rejected" if rejected else "accepted"))
    slowest = max(a[3] for a in answers)
    if slowest > SLOWEST_ALLOWED_S:
        fail("%s: the slowest answer took %.2f s" % (label, slowest))
    print("%s: %d mails answered, slowest %.3f s, %d tempfailed" %
          (label, len(answers), slowest,
           sum(1 for a in answers if a[1] == b"t" or a[2].startswith("4"))))


def start(program, work, watch):
    """The signature folder with the first database, the milter and the stream."""
    sigs = os.path.join(work, "sigs")
    os.makedirs(sigs)
    put_database(sigs, "own.ndb", ndb("A"))
    milter = Milter(program, work, sigs, watch)
    return sigs, milter, Stream(milter.socket)


def run_watched(program, work):
    sigs, milter, stream = start(program, work, watch=True)
    try:
        if not stream.wait_for("B", False, 0):
            fail("watched: B was not accepted with the first database")
        before_b = time.monotonic()
        put_database(sigs, "own.ndb", ndb("A", "B"))
        if not milter.wait_log("checking process(es) in place", 2):
            fail("watched: no new engine after the folder changed:\n" + milter.text())
        after_b = time.monotonic()
        if not stream.wait_for("B", True, after_b):
            fail("watched: B is not rejected after the new database")
        if not milter.two_checkers_left():
            fail("watched: the old checking processes did not end")

        put_database(sigs, "broken.ndb", "this is no signature line\n")
        if not milter.wait_log("engine reload refused, the running engine stays", 1):
            fail("watched: the broken database was not refused:\n" + milter.text())
        refused = time.monotonic()
        if not stream.wait_for("B", True, refused):
            fail("watched: B is not rejected after the broken database")
        time.sleep(0.5)
    finally:
        answers = stream.end()
        milter.stop()
    judge("watched", answers, stream.errors, {"B": (before_b, after_b)})
    if not any(a[0] == "B" and a[4] - a[3] > refused for a in answers):
        fail("watched: no mail checked after the broken database")
    if milter.text().count("checking process(es) in place") != 2:
        fail("watched: the broken database made a new engine")


def run_sighup(program, work):
    sigs, milter, stream = start(program, work, watch=False)
    try:
        put_database(sigs, "own.ndb", ndb("A", "C"))
        time.sleep(3)  # longer than the watch's settle time: nothing happens
        changed = time.monotonic()
        if not stream.wait_for("C", False, changed):
            fail("SIGHUP: C was rejected before the SIGHUP")
        before_c = time.monotonic()
        milter.proc.send_signal(signal.SIGHUP)
        if not milter.wait_log("checking process(es) in place", 2):
            fail("SIGHUP: no new engine:\n" + milter.text())
        after_c = time.monotonic()
        if not stream.wait_for("C", True, after_c):
            fail("SIGHUP: C is not rejected after the reload")
        if not milter.two_checkers_left():
            fail("SIGHUP: the old checking processes did not end")
    finally:
        answers = stream.end()
        milter.stop()
    judge("SIGHUP", answers, stream.errors, {"C": (before_c, after_c)})


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    program, work = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "watched"))
    os.makedirs(os.path.join(work, "sighup"))
    run_watched(program, os.path.join(work, "watched"))
    run_sighup(program, os.path.join(work, "sighup"))
    if failures:
        return 1
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
