#!/usr/bin/env python3
"""dkim_corpus.py - DKIM signatures over the test corpus survive the check.

Every mail of tests/data/corpus is written with CR LF line ends and signed
twice (one copy c=relaxed/relaxed, one c=simple/simple) with Debian's
python3-dkim and an RSA key made here (openssl); the key's TXT record is
answered by a DNS lookup function of this script. All copies go through one
"mailward check --json -o OUT" with the engine on and the program's
default rules. Then, for each mail the check wrote:
  - every header field it did not change is byte for byte as signed and in
    its place: the fields as read, in order, with only those the report
    says the check changed (a marked Subject, the anti-spam field) changed
    in place or (the Content-Type of a mail replaced for a virus) removed,
    followed by the fields the check adds (stamp, anti-spam, Subject);
  - the body of a mail whose parts the check left alone is byte for byte;
  - a mail whose only change is the stamp is the signed mail plus the
    stamp, nothing else;
  - every signature whose signed fields (h=) and body the check left alone
    still verifies; the others are counted.
Exit status 0 when all holds, 77 when python3-dkim or openssl is missing.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys

from dkim_kit import crlf, make_key, split_mail

try:
    import dkim
except ImportError:
    print("python3-dkim is not installed: skipped")
    sys.exit(77)

DOMAIN = b"corpus.example"
SELECTOR = b"mw"
# Fields the check may add to a mail, always below the fields as read.
ADDED = {b"x-vaveriz4zan", b"x-zanantispam", b"subject"}
# Fields a mail replaced for a virus loses.
REPLACED_LOSES = {b"content-type"}


def make_lookup(work):
    made = make_key(work)
    if made is None:
        print("openssl is missing: skipped")
        sys.exit(77)
    key, record = made

    def lookup(name, timeout=5):
        return record if name == SELECTOR + b"._domainkey." + DOMAIN + b"." else None

    return key, lookup


def signed_names(data):
    """The names a mail's DKIM-Signature signs (its h= tag), lower case."""
    for name, raw in split_mail(data)[0]:
        if name == b"dkim-signature":
            value = raw.split(b":", 1)[1].replace(b"\r\n", b"")
            tags = dict(t.strip().split(b"=", 1) for t in value.split(b";") if b"=" in t)
            return {h.strip().lower() for h in b"".join(tags[b"h"].split()).split(b":")}
    return set()


class Run:
    def __init__(self):
        self.failures = []
        self.counts = {}

    def fail(self, name, why):
        self.failures.append("%s: %s" % (name, why))

    def count(self, what):
        self.counts[what] = self.counts.get(what, 0) + 1


def expected_head(signed_fields, report):
    """The fields as read with the changes the report names applied, as a
    list of (name, raw or None: changed in place); None for a field that
    may be gone."""
    marked = bool(report.get("rulesActed")) or report.get("statusBits", 0) != 0
    replaced = any(p.get("wholeMail") and p.get("virusResult") == "VIRUS_FOUND"
                   for p in report.get("parts", []))
    out = []
    for name, raw in signed_fields:
        if replaced and name in REPLACED_LOSES:
            continue
        may_change = (name == b"subject" and marked) or (name == b"x-zanantispam" and
                                                            report.get("antispam"))
        out.append((name, None if may_change else raw))
    return out


def check_mail(run, name, signed, written, report, lookup):
    a, a_body = split_mail(signed)
    b, b_body = split_mail(written)
    if not b or b[-1][0] != b"x-vaveriz4zan":
        run.fail(name, "no engine stamp at the end of the header")
        return
    want = expected_head(a, report)
    head, tail = b[:len(want)], b[len(want):]
    if [f[0] for f in head] != [f[0] for f in want]:
        run.fail(name, "fields moved, lost or put in between:\n  %r\n  %r" %
                 ([f[0] for f in want], [f[0] for f in head]))
        return
    for (wname, wraw), (_, raw) in zip(want, head):
        if wraw is not None and wraw != raw:
            run.fail(name, "untouched field changed: %r -> %r" % (wraw, raw))
            return
    if any(f[0] not in ADDED for f in tail):
        run.fail(name, "fields added that the check never adds: %r" % [f[0] for f in tail])
        return
    body_same = a_body == b_body
    if not report.get("modified") and not body_same:
        run.fail(name, "the body changed though no part did")
        return
    if head == a and body_same and [f[0] for f in tail] == [b"x-vaveriz4zan"]:
        run.count("stamp only: the signed mail plus the stamp")
        if written != b"".join(r for _, r in a) + b"".join(r for _, r in tail) + b"\r\n" + a_body:
            run.fail(name, "not the signed mail plus the stamp")
    # The signature must verify when its fields and the body are as signed.
    names = signed_names(signed)
    left_alone = body_same and all(
        [r for n, r in a if n == h] == [r for n, r in b if n == h] for h in names)
    verifies = dkim.verify(written, dnsfunc=lookup)
    run.count("signatures")
    if left_alone:
        run.count("signatures over what the check left alone")
        if verifies:
            run.count("... of them verified")
        else:
            run.fail(name, "the signature no longer verifies though its fields and body are as "
                     "signed")
    elif verifies:
        run.count("signatures over changed fields or body that still verify")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mailward", required=True, help="the mailward program")
    ap.add_argument("--corpus", required=True, help="tests/data/corpus")
    ap.add_argument("--work", required=True, help="scratch folder (made afresh)")
    ap.add_argument("--extra", action="append", default=[],
                    help="a further folder of mails (the example mails: spam, viruses, .exe)")
    args = ap.parse_args()
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    src, out, data = (os.path.join(work, d) for d in ("in", "out", "data"))
    for d in (src, out, os.path.join(data, "tmp")):
        os.makedirs(d)
    key, lookup = make_lookup(work)
    run = Run()

    signed = {}
    folders = [os.path.join(args.corpus, sub) for sub in ("mail-parser", "cpython")]
    for root, _, files in (w for d in folders + args.extra for w in os.walk(d)):
        for f in sorted(files):
            with open(os.path.join(root, f), "rb") as fh:
                mail = crlf(fh.read())
            # A signature must sign From: a mail without one gets one on top.
            if not any(n == b"from" for n, _ in split_mail(mail)[0]):
                mail = b"From: corpus@" + DOMAIN + b"\r\n" + mail
            for canon in (b"relaxed", b"simple"):
                name = "%s-%s-%s.eml" % (os.path.basename(root), f, canon.decode())
                try:
                    sig = dkim.sign(mail, SELECTOR, DOMAIN, key, canonicalize=(canon, canon))
                except Exception:  # a mail python3-dkim cannot sign
                    run.count("not signable")
                    continue
                if not dkim.verify(sig + mail, dnsfunc=lookup):
                    run.count("not verifiable as signed")
                    continue
                signed[name] = sig + mail
                with open(os.path.join(src, name), "wb") as fh:
                    fh.write(sig + mail)
    config = os.path.join(work, "mailward.conf")
    with open(config, "w") as f:
        f.write("DataDir = %s\nTempDir = %s\nSystemSignatureDir =\nFlushMails = 0\n" %
                (data, os.path.join(data, "tmp")))
    proc = subprocess.run([args.mailward, "check", "--json", "-c", config, "-o", out, src],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if proc.returncode not in (0, 1, 2):
        print("mailward check ended with %d\n%s" % (proc.returncode, proc.stderr.decode()[-2000:]))
        return 1
    reports = {}
    for line in proc.stdout.decode("utf-8", "replace").splitlines():
        obj = json.loads(line)
        if obj.get("type") == "mail":
            reports[os.path.basename(obj["source"])] = obj
    for name, data_signed in sorted(signed.items()):
        report = reports.get(name)
        with open(os.path.join(src, name), "rb") as fh:
            if fh.read() != data_signed:
                run.fail(name, "the source changed though the mail went to -o")
        if report is None:
            run.fail(name, "no report")
            continue
        if report["errorBits"] & 0x01:  # ERR_LOAD: nothing written
            run.count("not loaded")
            continue
        with open(os.path.join(out, name), "rb") as fh:
            check_mail(run, name, data_signed, fh.read(), report, lookup)

    for what, n in sorted(run.counts.items()):
        print("%-60s %d" % (what, n))
    if run.counts.get("signatures over what the check left alone", 0) < len(signed) // 2:
        run.fail("corpus", "too few mails the check left alone to prove anything")
    for f in run.failures[:40]:
        print("FAIL " + f)
    print("%d failures" % len(run.failures))
    return 1 if run.failures else 0


if __name__ == "__main__":
    sys.exit(main())
