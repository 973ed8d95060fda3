#!/usr/bin/env python3
"""smtp_client.py - the SMTP side of the milter's end-to-end test.

Commands (all talk to 127.0.0.1:PORT only; every wait is bounded):
  send PORT FROM TO FILE          send FILE as one mail; prints the reply code
  sendmany PORT FROM FILE TO...   send FILE in one transaction to every TO;
                                  prints one reply code per recipient (its
                                  RCPT reply when refused, else the DATA one)
  bulk PORT FROM TO SESSIONS N [FILE|DIR]
                                  SESSIONS parallel sessions, N mails each,
                                  Subject "bulk S-I" (or FILE's mail sent N
                                  times per session, or DIR's files, each
                                  once while there are enough); prints the
                                  failures
  killmid PORT FROM TO PIDFILE    start a mail, kill the milter named in
                                  PIDFILE after the header lines, finish the
                                  DATA; prints the final reply code
  strip FILE                      print FILE with LF line ends and without
                                  the header fields the MTA adds on its way
                                  (Received, Return-Path, Delivered-To, X-Original-To) and
                                  the milter's verdict field
  untouched SENT DELIVERED FIELD  the delivered mail is the sent one byte for
                                  byte (LF line ends, as the Maildir keeps
                                  them) apart from the trace fields the MTA
                                  puts in front (Return-Path, X-Original-To,
                                  Delivered-To, its one Received) and exactly
                                  one FIELD (the verdict) at the header's end;
                                  prints what differs
  fields SENT DELIVERED           compare the delivered header with the sent
                                  one field by field, in order: the fields
                                  the MTA and the check add left out (the
                                  MTA's own Received field is the first one),
                                  values unfolded with blank runs as one
                                  blank and cut at a NUL byte (the MTA keeps
                                  a value up to one); prints each difference
Exit status 0 when every mail got the reply the command expects (250 for
send, sendmany and bulk, 451 for killmid) or the headers compare equal, 1
otherwise.
"""
import os
import signal
import smtplib
import sys
import threading
import time

TIMEOUT = 60  # seconds for any one SMTP reply


def send_file(port, sender, rcpt, path):
    with open(path, "rb") as f:
        data = f.read()
    with smtplib.SMTP("127.0.0.1", port, timeout=TIMEOUT) as s:
        s.ehlo("client.test")
        try:
            s.sendmail(sender, [rcpt], data)
            return 250
        except smtplib.SMTPDataError as e:
            return e.smtp_code
        except smtplib.SMTPRecipientsRefused as e:
            return list(e.recipients.values())[0][0]


def send_many(port, sender, path, rcpts):
    with open(path, "rb") as f:
        data = f.read()
    codes = {}
    with smtplib.SMTP("127.0.0.1", port, timeout=TIMEOUT) as s:
        s.ehlo("client.test")
        try:
            refused = s.sendmail(sender, rcpts, data)
            code = 250
        except smtplib.SMTPRecipientsRefused as e:
            refused, code = e.recipients, None
        except smtplib.SMTPDataError as e:
            refused, code = {}, e.smtp_code
        for r in rcpts:
            codes[r] = refused[r][0] if r in refused else code
    return [codes[r] for r in rcpts]


def bulk(port, sender, rcpt, sessions, per, path=None):
    fixed = []
    if path:
        names = ([os.path.join(path, n) for n in sorted(os.listdir(path))]
                 if os.path.isdir(path) else [path])
        for name in names:
            with open(name, "rb") as f:
                fixed.append(f.read())
    failures = []
    lock = threading.Lock()

    def run(sid):
        try:
            with smtplib.SMTP("127.0.0.1", port, timeout=TIMEOUT) as s:
                s.ehlo("client.test")
                for i in range(per):
                    body = ("From: <%s>\r\nTo: <%s>\r\nSubject: bulk %d-%d\r\n"
                            "Message-ID: <bulk-%d-%d@client.test>\r\n\r\n"
                            "bulk mail %d of session %d\r\n" % (sender, rcpt, sid, i, sid, i, i, sid))
                    data = fixed[(sid * per + i) % len(fixed)] if fixed else body.encode()
                    s.sendmail(sender, [rcpt], data)
        except Exception as e:  # noqa: BLE001 - every failure is reported
            with lock:
                failures.append("session %d: %r" % (sid, e))

    threads = [threading.Thread(target=run, args=(k,)) for k in range(sessions)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(TIMEOUT * (per + 1))
    for f in failures:
        print(f)
    return not failures


def killmid(port, sender, rcpt, pidfile):
    with open(pidfile) as f:
        pid = int(f.read().strip())
    s = smtplib.SMTP("127.0.0.1", port, timeout=TIMEOUT)
    s.ehlo("client.test")
    s.mail(sender)
    s.rcpt(rcpt)
    code, _ = s.docmd("DATA")
    if code != 354:
        print(code)
        return False
    s.send(b"From: <%s>\r\nSubject: killed mid-session\r\n" % sender.encode())
    time.sleep(0.5)
    os.kill(pid, signal.SIGKILL)
    time.sleep(0.5)
    s.send(b"\r\nthis mail must not be delivered now\r\n.\r\n")
    code, msg = s.getreply()
    print(code, msg.decode(errors="replace"))
    try:
        s.quit()
    except smtplib.SMTPException:
        pass
    return code == 451


MTA_FIELDS = ("received", "return-path", "delivered-to", "x-original-to", "x-mailward-verdict")


def strip(path):
    with open(path, "rb") as f:
        text = f.read().replace(b"\r\n", b"\n").decode("latin-1")
    head, sep, body = text.partition("\n\n")
    kept = []
    skipping = False
    for line in head.split("\n"):
        if line[:1] in (" ", "\t"):
            if not skipping:
                kept.append(line)
            continue
        skipping = line.split(":", 1)[0].strip().lower() in MTA_FIELDS
        if not skipping:
            kept.append(line)
    sys.stdout.write("\n".join(kept) + sep + body)
    return 0


ADDED_FIELDS = ("return-path", "delivered-to", "x-original-to", "x-mailward-verdict",
                "x-vaveriz4zan")


def header_fields(path):
    with open(path, "rb") as f:
        head = f.read().replace(b"\r\n", b"\n").partition(b"\n\n")[0]
    fields = []
    for line in head.decode("latin-1").split("\n"):
        if line[:1] in (" ", "\t") and fields:
            fields[-1][1] += " " + line
        else:
            name, _, value = line.partition(":")
            fields.append([name, value])
    return [(n.strip().lower(), " ".join(v.split("\0")[0].split())) for n, v in fields]


def compare_fields(sent_path, delivered_path):
    sent = header_fields(sent_path)
    got = [f for f in header_fields(delivered_path) if f[0] not in ADDED_FIELDS]
    own = next((i for i, f in enumerate(got) if f[0] == "received"), None)
    if own is not None:
        del got[own]
    same = True
    for i in range(max(len(sent), len(got))):
        a = sent[i] if i < len(sent) else None
        b = got[i] if i < len(got) else None
        if a != b:
            print("field %d: sent %r, delivered %r" % (i + 1, a, b))
            same = False
    return 0 if same else 1


TRACE_FIELDS = ("return-path", "x-original-to", "delivered-to")


def untouched(sent_path, delivered_path, field):
    with open(sent_path, "rb") as f:
        sent = f.read().replace(b"\r\n", b"\n")
    with open(delivered_path, "rb") as f:
        got = f.read()
    lines = got.split(b"\n")
    i = 0
    own_received = False
    while i < len(lines):
        name = lines[i].split(b":", 1)[0].strip().lower().decode("latin-1")
        if name in TRACE_FIELDS or (name == "received" and not own_received):
            own_received |= name == "received"
            i += 1
            while i < len(lines) and lines[i][:1] in (b" ", b"\t"):
                i += 1
            continue
        break
    rest = b"\n".join(lines[i:])
    head, sep, body = rest.partition(b"\n\n")
    prefix = field.lower().encode() + b":"
    head_lines = head.split(b"\n")
    if not head_lines or not head_lines[-1].lower().startswith(prefix):
        print("the header does not end with one " + field + " field")
        return 1
    if any(line.lower().startswith(prefix) for line in head_lines[:-1]):
        print("more than one " + field + " field")
        return 1
    rebuilt = b"\n".join(head_lines[:-1]) + sep + body
    if rebuilt != sent:
        at = next((k for k in range(min(len(rebuilt), len(sent))) if rebuilt[k] != sent[k]),
                  min(len(rebuilt), len(sent)))
        print("differs at byte %d: sent %r, delivered %r" % (at, sent[at:at + 60],
                                                            rebuilt[at:at + 60]))
        return 1
    return 0


def main():
    cmd = sys.argv[1]
    if cmd == "untouched":
        return untouched(sys.argv[2], sys.argv[3], sys.argv[4])
    if cmd == "strip":
        return strip(sys.argv[2])
    if cmd == "fields":
        return compare_fields(sys.argv[2], sys.argv[3])
    port = int(sys.argv[2])
    if cmd == "send":
        code = send_file(port, sys.argv[3], sys.argv[4], sys.argv[5])
        print(code)
        return 0 if code == 250 else 1
    if cmd == "sendmany":
        codes = send_many(port, sys.argv[3], sys.argv[4], sys.argv[5:])
        print(" ".join(str(c) for c in codes))
        return 0 if all(c == 250 for c in codes) else 1
    if cmd == "bulk":
        path = sys.argv[7] if len(sys.argv) > 7 else None
        ok = bulk(port, sys.argv[3], sys.argv[4], int(sys.argv[5]), int(sys.argv[6]), path)
        return 0 if ok else 1
    if cmd == "killmid":
        return 0 if killmid(port, sys.argv[3], sys.argv[4], sys.argv[5]) else 1
    print("unknown command " + cmd)
    return 2


if __name__ == "__main__":
    sys.exit(main())
