#!/usr/bin/env python3
"""signed_mails.py - mails for the milter's end-to-end test whose header
must arrive as it was sent, and the check of what arrived.

  make DIR      writes into DIR: an RSA key (openssl) and its TXT record;
                two multi-hop mails (Received chain, folded fields with
                tabs, names in mixed case, a multipart body) each signed
                with DKIM c=relaxed/relaxed and c=simple/simple
                (python3-dkim); a mail of 25,000 header fields; mails with
                one header field of 59 KB and of 70 KB. Prints the names.
  check DIR SENT DELIVERED
                the delivered mail (a Maildir file, LF line ends) must be:
                the fields Postfix adds on top (Return-Path, X-Original-To,
                Delivered-To, its own Received field), then every field as
                sent, byte for byte and in order, then the engine stamp and
                the verdict field, and the body as sent; a DKIM signature in
                it must verify (DNS answered from DIR's record). Postfix
                itself cuts a header field to POSTFIX_FIELD_KEPT bytes when
                a milter is in the path (a milter that changes nothing
                included): such a field must arrive as the sent field's
                first lines, all else as above.
Exit status 0 when all holds; 77 when python3-dkim or openssl is missing.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cli"))
from dkim_kit import crlf, make_key, split_mail  # noqa: E402

try:
    import dkim
except ImportError:
    print("python3-dkim is not installed")
    sys.exit(77)

DOMAIN = b"signed.example"
SELECTOR = b"e2e"
MTA_ON_TOP = (b"return-path", b"x-original-to", b"delivered-to")
ADDED_BELOW = (b"x-vaveriz4zan", b"x-mailward-verdict")
MANY_FIELDS = 25000
LONG_FIELDS = {"long-field": 59 * 1024, "longer-field": 70 * 1024}
# What Postfix (3.7) keeps of one header field with a milter in the path,
# in bytes with LF line ends, measured with a milter that makes no change.
POSTFIX_FIELD_KEPT = 60000


def multi_hop(n):
    return crlf(b"""Received: from mx2.signed.example (mx2.signed.example [192.0.2.25])
\tby mail.signed.example (Postfix) with ESMTPS id 4T2kLq0x9Rz%d
\tfor <anna@signed.example>; Tue,  5 Mar 2024 14:07:09 +0100 (CET)
Received: from relay.lists.example ([198.51.100.7])
        by mx2.signed.example with ESMTP id hop-%d; Tue, 5 Mar 2024 13:07:08 +0000
Received: by relay.lists.example (sendmail)
\tid first-hop-%d; Tue, 5 Mar 2024 13:07:07 +0000
From: "Sender, Name" <sender@signed.example>
To: anna@signed.example,
\t  bob@signed.example
Subject: A folded subject
\tthat goes on, number %d
Message-ID: <multi-hop-%d@signed.example>
MIME-Version: 1.0
Date: Tue, 5 Mar 2024 14:07:06 +0100
X-Mixed-CASE:   kept  as   sent
Content-Type: multipart/mixed; boundary="b1"

--b1
Content-Type: text/plain; charset=us-ascii

Hello,  with  blanks   and a trailing blank 
line two

--b1
Content-Type: text/plain; name="notes.txt"
Content-Disposition: attachment; filename="notes.txt"

plain notes
--b1--
""" % (n, n, n, n, n))


def make(out):
    made = make_key(out)
    if made is None:
        print("openssl is missing")
        return 77
    key, record = made
    with open(os.path.join(out, "key.txt"), "wb") as f:
        f.write(record)
    mails = {}
    for n, canon in enumerate((b"relaxed", b"simple")):
        mail = multi_hop(n)
        mails["signed-%s" % canon.decode()] = dkim.sign(
            mail, SELECTOR, DOMAIN, key, canonicalize=(canon, canon)) + mail
    many = b"".join(b"X-Filler-%d: value %d\r\n" % (i % 7, i) for i in range(MANY_FIELDS))
    mails["many-fields"] = (b"From: <many@signed.example>\r\nSubject: many fields\r\n" + many +
                            b"\r\nbody\r\n")
    for name, size in LONG_FIELDS.items():
        folded = b"X-Long:"
        while len(folded) < size:
            folded += b" 0123456789abcdef0123456789abcdef0123456789abcdef0123456789\r\n"
        mails[name] = (b"From: <long@signed.example>\r\nSubject: long field\r\n" + folded +
                       b"Message-ID: <long@signed.example>\r\n\r\nbody\r\n")
    for name, data in mails.items():
        with open(os.path.join(out, name + ".eml"), "wb") as f:
            f.write(data)
        print(name)
    return 0


def check(keydir, sent_path, got_path):
    with open(sent_path, "rb") as f:
        sent = f.read().replace(b"\r\n", b"\n")
    with open(got_path, "rb") as f:
        got = f.read()
    with open(os.path.join(keydir, "key.txt"), "rb") as f:
        record = f.read()
    sent_fields, sent_body = split_mail(sent)
    got_fields, got_body = split_mail(got)
    k = 0
    while k < len(got_fields) and got_fields[k][0] in MTA_ON_TOP:
        k += 1
    if k >= len(got_fields) or got_fields[k][0] != b"received":
        print("no Received field of Postfix on top")
        return 1
    middle = got_fields[k + 1:k + 1 + len(sent_fields)]
    below = [n for n, _ in got_fields[k + 1 + len(sent_fields):]]
    cut = 0
    for i, (want, have) in enumerate(zip(sent_fields, middle)):
        if (want != have and len(want[1]) > POSTFIX_FIELD_KEPT and
                POSTFIX_FIELD_KEPT - 100 < len(have[1]) <= POSTFIX_FIELD_KEPT and
                want[1].startswith(have[1]) and have[1].endswith(b"\n")):
            cut += 1  # cut by Postfix, not by the milter
            continue
        if want != have:
            at = next((j for j, (x, y) in enumerate(zip(want[1], have[1])) if x != y),
                      min(len(want[1]), len(have[1])))
            print("field %d differs from byte %d of %d (%d delivered):\n  sent      %r\n"
                  "  delivered %r" % (i, at, len(want[1]), len(have[1]),
                                      want[1][max(0, at - 40):at + 80],
                                      have[1][max(0, at - 40):at + 80]))
            return 1
    if len(middle) != len(sent_fields) or below != list(ADDED_BELOW):
        print("fields lost or added: %d of %d as sent, then %r" % (len(middle), len(sent_fields),
                                                                   below))
        return 1
    if got_body != sent_body:
        print("the body differs")
        return 1
    signed = any(n == b"dkim-signature" for n, _ in sent_fields)
    if signed and not dkim.verify(crlf(got), dnsfunc=lambda name, timeout=5: record):
        print("the DKIM signature does not verify")
        return 1
    print("%d fields as sent%s%s" % (len(sent_fields) - cut, ", signature verified" if signed else "",
                                     ", %d cut by Postfix to %d bytes" % (cut, POSTFIX_FIELD_KEPT)
                                     if cut else ""))
    return 0


def main():
    if sys.argv[1] == "make":
        return make(sys.argv[2])
    if sys.argv[1] == "check":
        return check(sys.argv[2], sys.argv[3], sys.argv[4])
    print("unknown command " + sys.argv[1])
    return 2


if __name__ == "__main__":
    sys.exit(main())
