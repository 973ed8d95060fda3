#!/usr/bin/env python3
"""fake_dns.py - a name server for the milter's end-to-end test.

usage: fake_dns.py PORT SECONDS NAME=A.B.C.D...
Answers A questions on 127.0.0.1:PORT (UDP): the NAMEs given with their
address, every other name NXDOMAIN. Ends by itself after SECONDS, so it
can never outlive the test by long.
"""
import socket
import struct
import sys
import time


def main():
    port, seconds = int(sys.argv[1]), float(sys.argv[2])
    records = {}
    for arg in sys.argv[3:]:
        name, _, address = arg.partition("=")
        records[name.lower().rstrip(".")] = socket.inet_aton(address)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", port))
    sock.settimeout(0.2)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            query, peer = sock.recvfrom(512)
        except socket.timeout:
            continue
        if len(query) < 12:
            continue
        labels, at = [], 12
        while at < len(query) and query[at] != 0:
            labels.append(query[at + 1 : at + 1 + query[at]].decode("ascii", "replace"))
            at += query[at] + 1
        question = query[12 : at + 5]
        address = records.get(".".join(labels).lower())
        flags = 0x8180 if address else 0x8183  # answer; no error or NXDOMAIN
        reply = query[:2] + struct.pack("!HHHHH", flags, 1, 1 if address else 0, 0, 0) + question
        if address:
            reply += struct.pack("!HHHIH", 0xC00C, 1, 1, 60, 4) + address
        sock.sendto(reply, peer)


if __name__ == "__main__":
    main()
