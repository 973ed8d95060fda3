#!/usr/bin/env python3
"""milter_drive.py - drives a milter straight over its socket, as an MTA
would, to measure the milter's own rate without a mail server around it.

usage: milter_drive.py SOCKET SESSIONS MAILS FILE|DIR
  SOCKET    unix:/path of the milter
  SESSIONS  parallel milter connections
  MAILS     messages in all, spread evenly over the connections
  FILE|DIR  the message sent every time (header and body, CR LF), or a
            folder whose files are sent in turn, each once while there are
            enough (the engine keeps what it found clean, so a mail sent
            again costs it less than a new one)

Speaks milter protocol version 6: offers every action and the usual
"no reply" steps, skips what the milter says it does not need, sends the
header lines, the body in 64 KiB chunks and the end of the message, and
reads the modifications up to the final answer. Prints one line:
"MAILS mails SECONDS s RATE mails/s, slowest SECONDS s" (the longest wait
for one final answer) and the final answers by kind; exit status 1 when
any answer was not accept or continue, or a connection failed.
"""
import collections
import os
import socket
import struct
import sys
import threading
import time

TIMEOUT = 120  # seconds for any one answer
CHUNK = 65535

# Protocol steps the driver can leave out or send without waiting
# (SMFIP_NOCONNECT, NOHELO, NOEOH, NOUNKNOWN, NODATA, NR_HDR, NR_EOH,
# NR_BODY; clamav-milter asks for NOEOH).
NOCONNECT, NOHELO, NOEOH, NOUNKNOWN, NODATA = 0x1, 0x2, 0x40, 0x100, 0x200
NR_HDR, NR_EOH, NR_BODY = 0x80, 0x40000, 0x80000
OFFERED = NOCONNECT | NOHELO | NOEOH | NOUNKNOWN | NODATA | NR_HDR | NR_EOH | NR_BODY
ALL_ACTIONS = 0x1FF
FINAL = set(b"acdrty")


def packet(cmd, data=b""):
    return struct.pack("!I", len(data) + 1) + cmd + data


def read_exact(sock, n):
    buf = bytearray()
    while len(buf) < n:
        got = sock.recv(n - len(buf))
        if not got:
            raise ConnectionError("milter closed the connection")
        buf += got
    return bytes(buf)


def read_packet(sock):
    (size,) = struct.unpack("!I", read_exact(sock, 4))
    body = read_exact(sock, size)
    return body[:1], body[1:]


def split_mail(text):
    head, _, body = text.partition(b"\r\n\r\n")
    fields = []
    for line in head.split(b"\r\n"):
        if line[:1] in (b" ", b"\t") and fields:
            fields[-1][1] += b"\r\n" + line
        elif b":" in line:
            name, _, value = line.partition(b":")
            fields.append([name, value.lstrip(b" ")])
    return fields, body


class Connection:
    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(TIMEOUT)
        self.sock.connect(path)
        self.sock.sendall(packet(b"O", struct.pack("!III", 6, ALL_ACTIONS, OFFERED)))
        cmd, data = read_packet(self.sock)
        if cmd != b"O":
            raise ConnectionError("no option negotiation")
        _, _, self.steps = struct.unpack("!III", data[:12])
        if not self.steps & NOCONNECT:
            self.ask(packet(b"C", b"client.test\x004" + struct.pack("!H", 25) + b"127.0.0.1\x00"))
        if not self.steps & NOHELO:
            self.ask(packet(b"H", b"client.test\x00"))

    def ask(self, data):
        self.sock.sendall(data)
        while True:
            cmd, _ = read_packet(self.sock)
            if cmd != b"p":  # progress: keep waiting
                return cmd

    def step(self, data, no_reply):
        """Sends a step, and waits for its answer unless the milter wants none."""
        if self.steps & no_reply:
            self.sock.sendall(data)
        else:
            self.ask(data)

    def send_mail(self, fields, body):
        """One message; returns its final answer (a byte string), whose data
        (the reply text of a reject or tempfail) is kept in last_reply."""
        if self.ask(packet(b"M", b"<sender@client.test>\x00")) != b"c":
            return b"mail refused"
        if self.ask(packet(b"R", b"<user@server.test>\x00")) != b"c":
            return b"rcpt refused"
        if not self.steps & NODATA:
            self.ask(packet(b"T"))
        for name, value in fields:
            self.step(packet(b"L", name + b"\x00" + value + b"\x00"), NR_HDR)
        if not self.steps & NOEOH:
            self.step(packet(b"N"), NR_EOH)
        for at in range(0, len(body), CHUNK):
            self.step(packet(b"B", body[at : at + CHUNK]), NR_BODY)
        self.sock.sendall(packet(b"E"))
        while True:
            cmd, self.last_reply = read_packet(self.sock)
            if cmd[0] in FINAL:
                return cmd

    def close(self):
        try:
            self.sock.sendall(packet(b"Q"))
        finally:
            self.sock.close()


def main():
    if len(sys.argv) != 5 or not sys.argv[1].startswith("unix:"):
        sys.exit(__doc__)
    path, sessions, mails, name = sys.argv[1][5:], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    names = ([os.path.join(name, n) for n in sorted(os.listdir(name))]
             if os.path.isdir(name) else [name])
    messages = []
    for n in names:
        with open(n, "rb") as f:
            messages.append(split_mail(f.read()))
    per = mails // sessions
    answers = collections.Counter()
    slowest = [0.0]
    lock = threading.Lock()

    def run(sid):
        got = collections.Counter()
        longest = 0.0
        try:
            c = Connection(path)
            for i in range(per):
                t = time.monotonic()
                got[c.send_mail(*messages[(sid * per + i) % len(messages)])] += 1
                longest = max(longest, time.monotonic() - t)
            c.close()
        except (OSError, ConnectionError) as e:
            got["error: %s" % e] += 1
        with lock:
            answers.update(got)
            slowest[0] = max(slowest[0], longest)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(sessions)]
    t0 = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    seconds = time.monotonic() - t0
    total = per * sessions
    print("%d mails %.2f s %.1f mails/s, slowest %.3f s" % (total, seconds, total / seconds,
                                                             slowest[0]))
    print(" ".join("%s=%d" % (k.decode() if isinstance(k, bytes) else k, n)
                   for k, n in sorted(answers.items(), key=str)))
    good = answers[b"a"] + answers[b"c"]
    return 0 if good == total else 1


if __name__ == "__main__":
    sys.exit(main())
