#!/usr/bin/env python3
"""make_mails.py - a synthetic set of mails with attachments for the benches.

usage: make_mails.py COUNT DIR [SEED]

Writes COUNT mails (CR LF line ends) named mail-NNNNN.eml into DIR. The same
COUNT and SEED (default 1) give the same bytes on every machine. Each mail
is what an office mailbox holds: a text part (plain, or plain and HTML as
multipart/alternative) and one to four attachments in base64, most of them
documents and images of 1 KB to 64 KB (random bytes, which no engine can
skip as text), some small text files in quoted-printable, and one mail in
eight with an .exe the example rules remove. Sizes are drawn so that most
mails are small and a few are large, as in real mail; about 40 KB a mail on
average.
"""
import base64
import os
import random
import sys

KINDS = [
    ("report.pdf", "application/pdf"),
    ("photo.jpg", "image/jpeg"),
    ("sheet.xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"),
    ("letter.docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"),
    ("archive.zip", "application/zip"),
]
WORDS = ("meeting invoice quarter budget review draft project team offer order "
         "delivery contract schedule minutes report figures agenda").split()


def text(rnd, words):
    return " ".join(rnd.choice(WORDS) for _ in range(words))


def wrap(line, width=76):
    return [line[i:i + width] for i in range(0, len(line), width)] or [""]


def attachment_size(rnd):
    # Mostly small, sometimes large: a log-uniform draw from 1 KB to 64 KB.
    return int(1024 * (64 ** rnd.random()))


def body_lines(rnd, n):
    lines = []
    for _ in range(n):
        lines.extend(wrap(text(rnd, 12)))
    return lines


def mail(rnd, number):
    boundary = "=_mixed_%06d" % number
    lines = [
        "From: Sender %d <sender%d@example.org>" % (number % 97, number % 97),
        "To: Receiver <receiver@example.net>",
        "Subject: %s %d" % (text(rnd, 3), number),
        "Date: Mon, 07 Dec 2026 %02d:%02d:00 +0100" % (number // 60 % 24, number % 60),
        "Message-ID: <synthetic-%d@example.org>" % number,
        "MIME-Version: 1.0",
        'Content-Type: multipart/mixed; boundary="%s"' % boundary,
        "",
        "This is a multi-part message in MIME format.",
    ]
    plain = body_lines(rnd, rnd.randint(2, 20))
    lines.append("--" + boundary)
    if rnd.random() < 0.5:
        inner = "=_alt_%06d" % number
        lines += ['Content-Type: multipart/alternative; boundary="%s"' % inner, ""]
        lines += ["--" + inner, "Content-Type: text/plain; charset=us-ascii", ""] + plain
        lines += ["--" + inner, "Content-Type: text/html; charset=us-ascii", ""]
        lines += ["<html><body>"] + ["<p>%s</p>" % l for l in plain] + ["</body></html>"]
        lines.append("--" + inner + "--")
    else:
        lines += ["Content-Type: text/plain; charset=us-ascii", ""] + plain
    for i in range(rnd.randint(1, 4)):
        lines.append("--" + boundary)
        roll = rnd.random()
        if roll < 0.125:
            name, ctype, data = "setup%d.exe" % i, "application/octet-stream", \
                b"MZ" + rnd.randbytes(attachment_size(rnd) // 4)
        elif roll < 0.3:
            name = "notes%d.txt" % i
            lines += [
                'Content-Type: text/plain; charset=us-ascii; name="%s"' % name,
                "Content-Transfer-Encoding: quoted-printable",
                'Content-Disposition: attachment; filename="%s"' % name,
                "",
            ] + body_lines(rnd, rnd.randint(5, 60))
            continue
        else:
            name, ctype = rnd.choice(KINDS)
            data = rnd.randbytes(attachment_size(rnd))
        lines += [
            'Content-Type: %s; name="%s"' % (ctype, name),
            "Content-Transfer-Encoding: base64",
            'Content-Disposition: attachment; filename="%s"' % name,
            "",
        ]
        lines += wrap(base64.b64encode(data).decode("ascii"))
    lines.append("--" + boundary + "--")
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def main():
    if len(sys.argv) not in (3, 4):
        sys.stderr.write(__doc__)
        return 2
    count, folder = int(sys.argv[1]), sys.argv[2]
    rnd = random.Random(int(sys.argv[3]) if len(sys.argv) == 4 else 1)
    os.makedirs(folder, exist_ok=True)
    for number in range(count):
        with open(os.path.join(folder, "mail-%05d.eml" % number), "wb") as f:
            f.write(mail(rnd, number))
    return 0


if __name__ == "__main__":
    sys.exit(main())
