#!/usr/bin/env python3
"""hostile_mails.py - builds hostile mails and puts each through the whole
check with the mailward program (one "mailward check --json" per mail).

Cases: nesting past the limit; many parts, many header fields and one long
header line (each at n and 10n); empty, one-dash, prefix and self-repeating
boundaries; base64 and quoted-printable garbage; uuencoded blocks without
"end" (n and 10n); NUL bytes and lone CRs; names with "../", absolute
paths, drive letters, device names, control characters, right-to-left marks
and 10,000 characters, in plain, RFC 2231 and encoded-word form; encoded
words that decode to line ends.

Each case must hold:
  - the program ends normally (exit status 0, 1 or 2, no sanitizer report);
  - no file appears outside the work folder's own places: moved parts lie
    directly in the move rule's folder, and the folder around the work
    folder gains nothing;
  - with the "hostile" rule set (every named attachment is removed or
    moved), no named part but the check's own notices is left in the
    rewritten mail unless the report says why: the mail did not load
    (ERR_LOAD), an action failed (ERR_PART_ACTION), or the strict reading
    disagreed with the parser (ST_MIME_DISAGREEMENT);
  - checked into an output folder (-o), the source mail stays byte for byte
    as it was;
  - the rewritten mail, read back with Python's email package, has no part
    or header field that nobody set: every content type and every header
    field name in it either stands in the input or is one the check writes
    (notice parts, X-ZANAntiSpam, the engine stamp). Injected texts are
    given base64-encoded, so they never stand in the input as such.
Series that scale are timed at n and 10n; the run fails when 10n takes more
than MAX_GROWTH times n (gross superlinear growth only: the machine may be
busy), and the slowest case is printed. Exit status 0 when all holds.
"""
import argparse
import base64
import email
import email.policy
import json
import os
import shutil
import subprocess
import sys
import time
import urllib.parse
from email.parser import BytesParser

# 10n may take this many times n before the growth counts as superlinear.
MAX_GROWTH = 30.0
# Times below this (seconds) count as this much: start-up noise.
TIME_FLOOR = 0.2
# Rewritten mails above this size are not read back (Python's parser is slow).
READBACK_MAX = 4 * 1024 * 1024
# Header fields and part types the check itself may add to a mail.
ADDED_FIELDS = {"x-zanantispam", "x-vaveriz4zan", "content-type", "content-transfer-encoding",
                "content-disposition", "mime-version"}
ADDED_TYPES = {"text/plain"}
# The name of the notice parts that replace removed or moved parts.
NOTICE_NAME = "removed-attachment.txt"
ERR_LOAD, ERR_PART_ACTION, ST_MIME_DISAGREEMENT = 0x01, 0x08, 0x08

RULES = """[set hostile]
default = none
rule executables = remove | | | attachment: *.exe
rule quarantine = move | {moved} | | attachment: *
rule viagra = keyword-mark | | | body: viagra
rule casino = keyword | | | body: cas?no*

[set scale]
default = none
rule executables = remove | | | attachment: *.exe
rule viagra = keyword-mark | | | body: viagra

[set header]
default = none
rule spam-example = mark-subject | | | From: *@spam.example
"""


def b64word(text):
    return "=?utf-8?b?" + base64.b64encode(text.encode("utf-8", "surrogateescape")).decode() + "?="


def header(extra="", ctype=None):
    h = "From: sender@example.com\r\nTo: rcpt@example.org\r\nSubject: hostile\r\n" \
        "MIME-Version: 1.0\r\n" + extra
    if ctype:
        h += "Content-Type: " + ctype + "\r\n"
    return h + "\r\n"


def multipart(boundary, bodies, extra=""):
    text = header(extra, 'multipart/mixed; boundary="%s"' % boundary)
    for b in bodies:
        text += "--" + boundary + "\r\n" + b + "\r\n"
    return text + "--" + boundary + "--\r\n"


def attachment(params, body="TVqQAAMAAAAEAAAA\r\n", cte="base64"):
    return ("Content-Type: application/octet-stream%s\r\nContent-Transfer-Encoding: %s\r\n"
            "Content-Disposition: attachment%s\r\n\r\n%s" % (params, cte, params, body))


def text_part(body):
    return "Content-Type: text/plain\r\n\r\n" + body


HOSTILE_NAMES = [
    "../../../etc/evil", "..\\..\\windows\\evil", "/etc/passwd", "C:\\boot.ini", "c:evil",
    "CON", "nul.txt", "COM1 .exe", "LPT9", "a\x01b\x1bc\x7fd", "a\tb",
    "\u202egnp.exe", "x\u202etxt.exe", "A" * 10000, "B" * 9990 + ".exe", "...", "..", "",
]


def names_mail(form):
    parts = [text_part("names in %s form" % form)]
    for name in HOSTILE_NAMES:
        if form == "plain":
            raw = name.replace('"', "")
            params = '; name="%s"' % raw
            params = params.replace("\r", "").replace("\n", "")
        elif form == "rfc2231":
            enc = urllib.parse.quote(name.encode("utf-8"), safe="")
            params = "; name*=utf-8''%s" % enc
        else:
            params = '; name="%s"' % b64word(name)
        parts.append(attachment(params))
    # Names that decode to line ends, only possible in the coded forms.
    if form != "plain":
        for name in ["a\r\nX-Injected-Field: yes\r\n\r\n--n1\r\nContent-Type: text/x-injected"
                     "\r\n\r\n<script>x</script>\r\n--n1--\r\n.exe",
                     "b\n--n1\nContent-Type: text/x-injected\n\nhi\n"]:
            if form == "rfc2231":
                params = "; name*=utf-8''" + urllib.parse.quote(name.encode(), safe="")
            else:
                params = '; name="%s"' % b64word(name)
            parts.append(attachment(params))
    return multipart("n1", parts)


def nested(depth):
    text = header(ctype='multipart/mixed; boundary="d0"')
    close = ""
    for i in range(depth):
        b = "d%d" % i
        inner = "d%d" % (i + 1)
        text += "--%s\r\nContent-Type: multipart/mixed; boundary=\"%s\"\r\n\r\n" % (b, inner)
        close = "\r\n--%s--\r\n" % b + close
    return text + "--d%d\r\n" % depth + attachment('; name="deep.exe"') + "\r\n--d%d--" % depth + close


def many_parts(n):
    # Groups of 300 parts below the root: one part holds at most 512.
    group = 'Content-Type: multipart/mixed; boundary="g"\r\n\r\n' + \
        "".join("--g\r\n" + text_part("x") + "\r\n" for _ in range(300)) + "--g--"
    return multipart("p", [group] * max(1, n // 300))


def many_fields(n):
    return header("".join("X-Field-%d: value %d\r\n" % (i, i) for i in range(n))) + "body\r\n"


def long_line(n):
    return header("X-Long: " + "a" * n + "\r\n") + "body\r\n"


def uu_without_end(n):
    # Groups of 300 parts below the root: one part holds at most 512.
    body = text_part("begin 644 f.bin\r\n" + "M" * 1000 + "\r\n")
    group = 'Content-Type: multipart/mixed; boundary="g"\r\n\r\n' + \
        "".join("--g\r\n" + body + "\r\n" for _ in range(300)) + "--g--"
    return multipart("p", [group] * max(1, n // 300))


def boundary_cases():
    return {
        "boundary empty": multipart("", [text_part("a"), attachment('; name="e.exe"')]),
        "boundary one dash": multipart("-", [text_part("a"), attachment('; name="e.exe"')]),
        "boundary prefix of another": multipart("ab", [
            'Content-Type: multipart/mixed; boundary="abc"\r\n\r\n--abc\r\n' +
            attachment('; name="in.exe"') + "\r\n--abc--", text_part("b")]),
        "boundary repeated inside itself": multipart("x", [
            text_part("--x--x--x\r\n--xx\r\n"), attachment('; name="r.exe"')]),
    }


def garbage_cases():
    return {
        "base64 garbage": multipart("g", [attachment('; name="g.exe"', "!!!@@@###\r\n====\r\nQQ=Q=\r\n"
                                                     + "\x80\xff" * 100 + "\r\n")]),
        "quoted-printable garbage": multipart("g", [attachment(
            '; name="q.txt"', "=\r\n=ZZ=4=\r\n=0D=0A--g\r\n=00=FF" + "=" * 500 + "\r\n",
            "quoted-printable")]),
        "uu block without end": header() + "see\r\n\r\nbegin 644 a.exe\r\nM" + "x" * 60 + "\r\n",
        "NUL bytes": multipart("z", [text_part("before\x00after viagra"),
                                     attachment('; name="n.exe"')]),
        "lone CRs": header().replace("\r\n", "\r", 2) + "a\rb\r\r--z\rc\r\n",
        "encoded words with line ends": header(
            "X-Note: " + b64word("hi\r\nX-Injected-Field: yes\r\n\r\n--zz") + "\r\n").replace(
            "Subject: hostile", "Subject: " + b64word("s\r\nX-Injected-Field: 1\r\nContent-Type: "
                                                      "text/x-injected")) + "viagra\r\n",
    }


class Runner:
    def __init__(self, mailward, work):
        self.mailward = mailward
        self.work = os.path.abspath(work)
        shutil.rmtree(self.work, ignore_errors=True)
        self.moved = os.path.join(self.work, "moved")
        for d in ("moved", "data", "out", "in", "target"):
            os.makedirs(os.path.join(self.work, d))
        self.rules = os.path.join(self.work, "rules.conf")
        with open(self.rules, "w") as f:
            f.write(RULES.format(moved=self.moved))
        self.config = os.path.join(self.work, "mailward.conf")
        with open(self.config, "w") as f:
            f.write("DataDir = %s\nTempDir = %s\nSystemSignatureDir =\nBackupMode = 1\n"
                    "FlushMails = 0\n" % (os.path.join(self.work, "data"),
                                          os.path.join(self.work, "data", "tmp")))
        self.failures = []
        self.times = {}

    def fail(self, case, why):
        self.failures.append("%s: %s" % (case, why))
        print("FAIL %s: %s" % (case, why), flush=True)

    def run(self, case, text, readback=True, rule_set="hostile", engine=False, target=False):
        """Checks one mail in place (out/case.eml), or with target=True from
        in/case.eml into the folder target/; engine=False leaves the virus
        engine out (ClamAV's own cost is bounded by its limits)."""
        data = text.encode("utf-8", "surrogateescape") if isinstance(text, str) else text
        src_dir = os.path.join(self.work, "in" if target else "out")
        out_dir = os.path.join(self.work, "target" if target else "out")
        for d in (src_dir, out_dir, self.moved):
            for entry in os.listdir(d):
                os.remove(os.path.join(d, entry))
        mail = os.path.join(src_dir, "case.eml")
        with open(mail, "wb") as f:
            f.write(data)
        around = set(os.listdir(os.path.dirname(self.work)))
        cmd = [self.mailward, "check", "--json", "-c", self.config, "--rules", self.rules,
               "-s", rule_set, "-H", "header", "-f", "all" if engine else "all,-av",
               "--timeout", "120"] + (["-o", out_dir] if target else []) + [mail]
        start = time.monotonic()
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        elapsed = time.monotonic() - start
        self.times[case] = elapsed
        err = proc.stderr.decode("utf-8", "replace")
        if proc.returncode not in (0, 1, 2) or "Sanitizer" in err or "runtime error" in err:
            self.fail(case, "exit status %d\n%s" % (proc.returncode, err[-2000:]))
            return
        report = None
        for line in proc.stdout.decode("utf-8", "replace").splitlines():
            try:
                obj = json.loads(line)
            except ValueError:
                continue
            if isinstance(obj, dict) and "parts" in obj:
                report = obj
        if report is None:
            self.fail(case, "no report\n" + proc.stdout.decode("utf-8", "replace")[-2000:])
            return
        self.check_files(case, report, around)
        if target:
            with open(mail, "rb") as f:
                if f.read() != data:
                    self.fail(case, "the source changed though the mail went to -o")
        out = os.path.join(out_dir, "case.eml")
        if readback and os.path.exists(out) and os.path.getsize(out) <= READBACK_MAX:
            with open(out, "rb") as f:
                written = f.read()
            self.check_readback(case, data, written)
            if rule_set == "hostile":
                self.check_delivered(case, report, written)

    def check_files(self, case, report, around):
        for part in report["parts"]:
            target = part.get("targetPath")
            if target and os.path.dirname(os.path.normpath(target)) != self.moved:
                self.fail(case, "moved outside the rule's folder: %r" % target)
        for entry in os.scandir(self.moved):
            if not entry.is_file(follow_symlinks=False):
                self.fail(case, "not a plain file in the rule's folder: %r" % entry.name)
        for root, dirs, files in os.walk(self.work):
            rel = os.path.relpath(root, self.work)
            top = rel.split(os.sep)[0]
            if top not in (".", "moved", "data", "out", "in", "target"):
                self.fail(case, "unexpected folder %r" % rel)
            if top == "moved" and rel != "moved":
                self.fail(case, "folder inside the rule's folder: %r" % rel)
        gained = set(os.listdir(os.path.dirname(self.work))) - around
        if gained:
            self.fail(case, "files beside the work folder: %r" % sorted(gained))

    def check_delivered(self, case, report, written):
        if report.get("errorBits", 0) & (ERR_LOAD | ERR_PART_ACTION):
            return
        if report.get("statusBits", 0) & ST_MIME_DISAGREEMENT:
            return
        msg = BytesParser(policy=email.policy.compat32).parsebytes(written)
        for part in msg.walk():
            name = (part.get_filename() or "").strip()
            if name and name != NOTICE_NAME:
                self.fail(case, "named part delivered without a reason: %r" % name[:80])

    def check_readback(self, case, original, written):
        known = original.lower()
        msg = BytesParser(policy=email.policy.compat32).parsebytes(written)
        for part in msg.walk():
            ctype = part.get_content_type()
            if ctype not in ADDED_TYPES and ctype.encode() not in known:
                self.fail(case, "part of a type nobody set: %r" % ctype)
            for name in part.keys():
                low = name.lower()
                if low not in ADDED_FIELDS and (low.encode("utf-8", "replace") + b":") not in known:
                    self.fail(case, "header field nobody set: %r" % name)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mailward", required=True, help="the mailward program")
    ap.add_argument("--work", required=True, help="scratch folder (made afresh)")
    args = ap.parse_args()
    r = Runner(args.mailward, args.work)

    r.run("nesting past the limit", nested(40))
    for form in ("plain", "rfc2231", "encoded-word"):
        r.run("names, " + form, names_mail(form))
    r.run("names, encoded-word, with the engine", names_mail("encoded-word"), engine=True)
    for form in ("plain", "rfc2231"):
        r.run("names, %s, into an output folder" % form, names_mail(form), target=True)
    for case, text in {**boundary_cases(), **garbage_cases()}.items():
        r.run(case, text)

    series = [("parts", many_parts, 10000), ("header fields", many_fields, 10000),
              ("header line bytes", long_line, 5 * 1024 * 1024),
              ("uu blocks without end", uu_without_end, 900)]
    # Every uu block is a named part: the hostile set moves each of them into
    # the one quarantine folder, whose name search must not grow with it.
    moving = {"uu blocks without end"}
    for label, make, n in series:
        for k in (n, 10 * n):
            r.run("%s %d" % (label, k), make(k), readback=False,
                  rule_set="hostile" if label in moving else "scale")
        small, large = r.times["%s %d" % (label, n)], r.times["%s %d" % (label, 10 * n)]
        growth = large / max(small, TIME_FLOOR)
        print("%-24s n=%-9d %.3f s   10n %.3f s   growth %.1f" % (label, n, small, large, growth))
        if growth > MAX_GROWTH:
            r.fail("%s series" % label, "10n took %.1f times n" % growth)

    slowest = max(r.times, key=r.times.get)
    print("%d cases, slowest: %s (%.3f s)" % (len(r.times), slowest, r.times[slowest]))
    if r.failures:
        print("%d failures" % len(r.failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
