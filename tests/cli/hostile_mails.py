#!/usr/bin/env python3
"""hostile_mails.py - builds hostile mails and puts each through the whole
check with the mailward program (one "mailward check --json" per mail).

Cases: nesting past the limit; many parts, many header fields and one long
header line (each at n and 10n); empty, one-dash, prefix and self-repeating
boundaries; base64 and quoted-printable garbage; uuencoded blocks without
"end" (n and 10n); NUL bytes and lone CRs; names with "../", absolute
paths, drive letters, device names, control characters, right-to-left marks
and 10,000 characters, in plain, RFC 2231 and encoded-word form; encoded
words that decode to line ends. And the classes a sender uses to get a
payload past a filter, each with variants:
  - archives the engine does not scan whole: a zip member of 150 MiB with
    the virus at its end (deflated, nested in another zip, in 7z and
    tar.gz), a zip64 entry, an encrypted zip (with a 50 MiB member as the
    control the engine must find);
  - harmless lines that look like encoded blocks ("Begin 6pm sharp"), and a
    mail of header fields alone: they must load;
  - a decoy boundary parameter with a decoy part named like the real one;
  - names readers open as a banned type: trailing blanks and dots, "::$DATA",
    encoded words split inside the extension or in UTF-16 (both byte
    orders, with and without byte order mark) and UTF-7, RFC 2231 values in
    UTF-16 or continued past the segment limit, a malformed word beside a
    good one;
  - attachments inside text: uuencoded blocks of any mode, yEnc, BinHex.

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
    given base64-encoded, so they never stand in the input as such;
  - no payload a reader would open arrives with a verdict that lets the
    mail through (OK or FILTERED without ST_MIME_DISAGREEMENT): the written
    mail is read back with Python's email package, names as readers and
    Windows open them, archives opened (zipfile, 7z), and uuencoded, yEnc
    and BinHex blocks in text decoded by decoders of this script's own; a
    payload is a part, member or block whose name a rule of the set would
    act on, or bytes holding the test virus;
  - the harmless cases load (no ERR_LOAD).
With --write DIR and --judge DIR the same classes go through mailward-milter
behind Postfix (tests/milter/postfix_e2e.sh): --write puts one mail per case
into DIR with a rules file for the milter ("readers" as its default set),
and --judge reads the replies and the delivered files the test gathered
(one "NAME CODE PATH" line each): a mail delivered (250) must hold no
payload (read back as above), and the harmless ones must be delivered.
Series that scale are timed at n and 10n, in the processor time of the
check (user and system, so that other work on a busy machine does not count);
the run fails when 10n takes more than MAX_GROWTH times n (gross superlinear
growth only), and the slowest case is printed. Exit status 0 when all holds.
"""
import argparse
import base64
import binascii
import io
import re
import struct
import tarfile
import tempfile
import zipfile
import email
import email.header
import email.policy
import email.utils
import fnmatch
import json
import os
import shutil
import subprocess
import sys
import resource
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
# The test virus, put together at run time so that this file is none itself.
EICAR = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$" + b"EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
# A member this large is past the engine's default EngineMaxFileSize (100 MiB).
BIG_MEMBER = 150 * 1024 * 1024
# The patterns each rule set removes or moves (what a payload is named like).
SET_PATTERNS = {"hostile": ["*"], "scale": ["*.exe"],
                "readers": ["*.exe", "*.scr", "*.js", "*.com"]}

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

[set readers]
default = none
rule executables = remove | | | attachment: *.exe
rule screensavers = remove | | | attachment: *.scr
rule scripts = remove | | | attachment: *.js
rule commands = remove | | | attachment: *.com
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


# ---- payloads as readers open them -------------------------------------------

def windows_name(name):
    """The file Windows opens for `name`: cut at NUL, trailing blanks, dots
    and the file's own stream suffix removed."""
    name = name.split("\x00", 1)[0]
    while True:
        if name.endswith((" ", ".")):
            name = name[:-1]
        elif name.lower().endswith("::$data"):
            name = name[:-7]
        else:
            return name


def decode_words(value):
    """RFC 2047 as readers show it (Python's decoder, charsets applied)."""
    out = []
    try:
        for text, charset in email.header.decode_header(value):
            if isinstance(text, str):
                out.append(text)
                continue
            try:
                out.append(text.decode(charset or "ascii"))
            except (LookupError, UnicodeDecodeError):
                out.append(text.decode("latin-1"))
    except (ValueError, binascii.Error):
        return value
    return "".join(out)


def reader_names(part):
    """Every name a reader could give the part."""
    names = set()
    for field in ("content-disposition", "content-type"):
        for key in ("filename", "name"):
            try:
                value = part.get_param(key, header=field)
            except Exception:  # a broken parameter list: nothing to read
                continue
            if value is None:
                continue
            if isinstance(value, tuple):
                charset = value[0] or "latin-1"
                raw = value[2].encode("latin-1", "surrogateescape") \
                    if isinstance(value[2], str) else value[2]
                for cs in (charset, "utf-16-le", "utf-16-be"):
                    try:
                        names.add(raw.decode(cs))
                    except (LookupError, UnicodeDecodeError):
                        pass
                value = email.utils.collapse_rfc2231_value(value)
            names.add(value)
            names.add(decode_words(value))
    return {n for name in names for n in (name, windows_name(name)) if n}


def acts_on(rule_set, name):
    return any(fnmatch.fnmatch(name.lower(), p) for p in SET_PATTERNS.get(rule_set, []))


def uu_blocks(text):
    """(name, bytes) of each uuencoded block: "begin", mode, name; lines to "end"."""
    blocks, cur = [], None
    for line in text.splitlines():
        m = re.match(r"begin [0-7]{3,4} (.+)$", line)
        if cur is None and m:
            cur = (m.group(1).strip(), bytearray())
            continue
        if cur is not None:
            if line.strip() == "end":
                blocks.append((cur[0], bytes(cur[1])))
                cur = None
                continue
            try:
                cur[1].extend(binascii.a2b_uu(line))
            except binascii.Error:
                pass
    if cur is not None:
        blocks.append((cur[0], bytes(cur[1])))
    return blocks


def yenc_encode(data):
    out, line = [], bytearray()
    for b in data:
        c = (b + 42) & 0xFF
        if c in (0, 10, 13, 61):
            line += bytes([61, (c + 64) & 0xFF])
        else:
            line.append(c)
        if len(line) >= 128:
            out.append(bytes(line))
            line = bytearray()
    if line:
        out.append(bytes(line))
    return b"\r\n".join(out)


def yenc_blocks(raw):
    """(name, bytes) of each "=ybegin ... name=" block up to "=yend"."""
    blocks, cur = [], None
    for line in raw.split(b"\n"):
        line = line.rstrip(b"\r")
        if cur is None and line.startswith(b"=ybegin ") and b" name=" in line:
            cur = (line.split(b" name=", 1)[1].decode("latin-1"), bytearray())
            continue
        if cur is None:
            continue
        if line.startswith(b"=yend"):
            blocks.append((cur[0], bytes(cur[1])))
            cur = None
            continue
        if line.startswith(b"=ypart "):
            continue
        i = 0
        while i < len(line):
            c = line[i]
            if c == 61 and i + 1 < len(line):
                i += 1
                c = (line[i] - 64) & 0xFF
            cur[1].append((c - 42) & 0xFF)
            i += 1
    if cur is not None:
        blocks.append((cur[0], bytes(cur[1])))
    return blocks


BINHEX_LETTERS = b"!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr"
BINHEX_MARKER = b"(This file must be converted with BinHex 4.0)"


def binhex_encode(name, data):
    head = bytes([len(name)]) + name + b"\0TEXTttxt\0\0" + struct.pack(">II", len(data), 0)
    stream = head + b"\0\0" + data + b"\0\0\0\0"
    rle, i = bytearray(), 0
    while i < len(stream):
        b, n = stream[i], 1
        while i + n < len(stream) and stream[i + n] == b and n < 255:
            n += 1
        if b == 0x90:
            rle += b"\x90\x00" * n
        elif n >= 3:
            rle += bytes([b, 0x90, n])
        else:
            rle += bytes([b]) * n
        i += n
    bits = nbits = 0
    letters = bytearray()
    for b in rle:
        bits, nbits = (bits << 8) | b, nbits + 8
        while nbits >= 6:
            nbits -= 6
            letters.append(BINHEX_LETTERS[(bits >> nbits) & 63])
    if nbits:
        letters.append(BINHEX_LETTERS[(bits << (6 - nbits)) & 63])
    text = b":" + bytes(letters) + b":"
    return BINHEX_MARKER + b"\r\n" + b"\r\n".join(text[i:i + 64] for i in range(0, len(text), 64))


def binhex_blocks(raw):
    """(name, data fork) of each BinHex block."""
    blocks = []
    for at in [m.start() for m in re.finditer(re.escape(BINHEX_MARKER), raw)]:
        rest = raw[at + len(BINHEX_MARKER):]
        start = rest.find(b":")
        if start < 0:
            continue
        end = rest.find(b":", start + 1)
        body = rest[start + 1:end if end > 0 else len(rest)]
        value = {c: i for i, c in enumerate(BINHEX_LETTERS)}
        bits = nbits = 0
        stream = bytearray()
        for c in body:
            if c not in value:
                continue
            bits, nbits = (bits << 6) | value[c], nbits + 6
            if nbits >= 8:
                nbits -= 8
                stream.append((bits >> nbits) & 0xFF)
        out, i, last = bytearray(), 0, 0
        while i < len(stream):
            b = stream[i]
            if b == 0x90 and i + 1 < len(stream):
                n = stream[i + 1]
                i += 2
                if n == 0:
                    out.append(0x90)
                    last = 0x90
                else:
                    out += bytes([last]) * (n - 1)
                continue
            out.append(b)
            last = b
            i += 1
        if not out:
            continue
        n = out[0]
        name = out[1:1 + n].decode("latin-1")
        if len(out) >= n + 20:
            length = struct.unpack(">I", out[n + 12:n + 16])[0]
            blocks.append((name, bytes(out[n + 22:n + 22 + length])))
    return blocks


def archive_members(data, depth=0):
    """(name, bytes) of every member of a zip, 7z or tar.gz, nested ones too."""
    members = []
    if depth > 4:
        return members
    if data[:4] == b"PK\x03\x04":
        try:
            with zipfile.ZipFile(io.BytesIO(data)) as z:
                for info in z.infolist():
                    try:
                        content = z.read(info, pwd=b"secret")
                    except (RuntimeError, zipfile.BadZipFile, NotImplementedError):
                        content = b""
                    members.append((info.filename, content))
        except zipfile.BadZipFile:
            pass
    elif data[:6] == b"7z\xbc\xaf\x27\x1c":
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "a.7z")
            with open(path, "wb") as f:
                f.write(data)
            proc = subprocess.run(["7z", "e", "-so", "-psecret", path], stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL)
            members.append(("(7z contents)", proc.stdout))
    elif data[:2] == b"\x1f\x8b":
        try:
            with tarfile.open(fileobj=io.BytesIO(data), mode="r:gz") as t:
                for m in t.getmembers():
                    f = t.extractfile(m)
                    members.append((m.name, f.read() if f else b""))
        except (tarfile.TarError, OSError, EOFError):
            pass
    for name, content in list(members):
        members += archive_members(content, depth + 1)
    return members


def payloads(written, rule_set):
    """What a reader of the written mail would open that the rules act on
    or that holds the test virus."""
    found = []
    msg = BytesParser(policy=email.policy.compat32).parsebytes(written)
    for part in msg.walk():
        if part.is_multipart():
            continue
        names = reader_names(part)
        if NOTICE_NAME in names:
            continue
        data = part.get_payload(decode=True) or b""
        for name in names:
            if acts_on(rule_set, name):
                found.append("attachment %r" % name[:60])
        if EICAR in data:
            found.append("the test virus in part %r" % sorted(names)[:1])
        for name, content in archive_members(data):
            if EICAR in content or acts_on(rule_set, windows_name(name)):
                found.append("archive member %r" % name[:60])
        if part.get_content_maintype() == "text":
            text = data.decode("latin-1")
            for name, content in uu_blocks(text) + yenc_blocks(data) + binhex_blocks(data):
                if name == NOTICE_NAME:
                    continue  # the check's own notice in a removed block's place
                if EICAR in content or acts_on(rule_set, windows_name(name)):
                    found.append("encoded block %r" % name[:60])
    return found


def lets_through(report):
    return report.get("verdict") in ("OK", "FILTERED") and \
        not report.get("statusBits", 0) & ST_MIME_DISAGREEMENT


# ---- the classes of hole ------------------------------------------------------

def zip_of(members, zip64=False):
    """A zip of (name, size-or-bytes): an int is a member of that many zero
    bytes with the test virus at its end, written in pieces (compressed)."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, content in members:
            with z.open(name, "w", force_zip64=zip64) as f:
                if isinstance(content, int):
                    chunk = bytes(1 << 20)
                    left = content - len(EICAR)
                    while left > 0:
                        f.write(chunk[:min(left, len(chunk))])
                        left -= len(chunk)
                    f.write(EICAR)
                else:
                    f.write(content)
    return out.getvalue()


def seven_zip(scratch, members, password=None, fmt="7z"):
    """An archive p7zip makes of (name, size-or-bytes); sparse big members."""
    os.makedirs(scratch, exist_ok=True)
    paths = []
    for name, content in members:
        path = os.path.join(scratch, name)
        with open(path, "wb") as f:
            if isinstance(content, int):
                f.truncate(content - len(EICAR))
                f.seek(content - len(EICAR))
                f.write(EICAR)
            else:
                f.write(content)
        paths.append(path)
    archive = os.path.join(scratch, "out." + fmt)
    cmd = ["7z", "a", "-bd", "-t" + fmt, "-mx=1", archive] + paths
    if password:
        cmd.insert(4, "-p" + password)
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    with open(archive, "rb") as f:
        data = f.read()
    shutil.rmtree(scratch)
    return data


def tar_gz_of(scratch, size):
    os.makedirs(scratch, exist_ok=True)
    path = os.path.join(scratch, "big.bin")
    with open(path, "wb") as f:
        f.truncate(size - len(EICAR))
        f.seek(size - len(EICAR))
        f.write(EICAR)
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w:gz", compresslevel=1) as t:
        t.add(path, arcname="big.bin")
    shutil.rmtree(scratch)
    return out.getvalue()


def attached(name, data, ctype="application/octet-stream"):
    b64 = base64.encodebytes(data).decode().replace("\n", "\r\n")
    return attachment('; name="%s"' % name, b64).replace("application/octet-stream", ctype, 1)


def archive_cases(scratch):
    """Archives whose payload lies where the engine stops looking."""
    big = zip_of([("big.bin", BIG_MEMBER)])
    return {
        "archive: a zip member of 150 MiB, the virus at its end":
            multipart("a", [text_part("see attached"), attached("report.zip", big)]),
        "archive: the same member in a zip in a zip":
            multipart("a", [attached("outer.zip", zip_of([("inner.zip", big)]))]),
        "archive: a zip64 entry":
            multipart("a", [attached("z64.zip", zip_of([("v.com", EICAR)], zip64=True))]),
        "archive: an encrypted zip":
            multipart("a", [attached("locked.zip", seven_zip(
                os.path.join(scratch, "enc"), [("v.com", EICAR)], "secret", "zip"))]),
        "archive: a 7z member of 150 MiB":
            multipart("a", [attached("big.7z", seven_zip(
                os.path.join(scratch, "7z"), [("big.bin", BIG_MEMBER)]))]),
        "archive: a tar.gz member of 150 MiB":
            multipart("a", [attached("big.tgz", tar_gz_of(os.path.join(scratch, "tgz"),
                                                          BIG_MEMBER))]),
        "archive: a zip member of 50 MiB (found)":
            multipart("a", [attached("mid.zip", zip_of([("mid.bin", 50 * 1024 * 1024)]))]),
    }


def harmless_cases():
    """Mails that must load: text lines that only look like block starts."""
    exe = attachment('; name="setup.exe"')
    cases = {}
    for line in ["Begin 6pm sharp in room 4.", "BEGIN 644 NOTES.TXT", "begin 6pm",
                 "Begin 644 a", "=ybegin is what we say", "(This file must be read twice)"]:
        cases["harmless line %r" % line] = multipart("h", [
            text_part("Hello,\r\n" + line + "\r\nsee you\r\nthe end\r\n"), exe])
    cases["header fields alone, no empty line"] = (
        "From: sender@example.com\r\nTo: rcpt@example.org\r\nSubject: only a header\r\n")
    return cases


def decoy_cases():
    """A decoy boundary parameter: between its delimiters a part named like
    the real one, and the real one inside the decoy's next part, where a
    reader that takes "boundary" finds it."""
    cases = {}
    for name in ("a.exe", "invoice.pdf.exe", "tool.scr"):
        decoy = attachment('; name="%s"' % name, "ZGVjb3k=\r\n")
        real = attachment('; name="%s"' % name)
        text = header(ctype='multipart/mixed; x-boundary="A"; boundary="B"')
        text += "--A\r\n" + decoy + "\r\n--A\r\nContent-Type: text/plain\r\n\r\n" + \
            "--B\r\n" + text_part("hi") + "\r\n--B\r\n" + real + "\r\n--B--\r\n--A--\r\n"
        cases["decoy boundary, %s" % name] = text
    return cases


def name_cases():
    """Names readers open as a banned type; each in both fields."""
    def pct(b):
        return "".join("%%%02X" % c for c in b)
    forms = {}
    for ext in ("exe", "scr", "js"):
        n = "evil." + ext
        forms.update({
            "trailing blank, .%s" % ext: '; name="%s "' % n,
            "trailing dots, .%s" % ext: '; name="%s.."' % n,
            "::$DATA, .%s" % ext: '; name="%s::$DATA"' % n,
            "words split in the extension, .%s" % ext:
                '; name="=?utf-8?q?%s?= =?utf-8?q?%s?="' % (n[:-2], n[-2:]),
            "utf-16le word, .%s" % ext:
                '; name="=?utf-16le?b?%s?="' % base64.b64encode(n.encode("utf-16-le")).decode(),
            "utf-16be word, .%s" % ext:
                '; name="=?utf-16be?b?%s?="' % base64.b64encode(n.encode("utf-16-be")).decode(),
            "utf-16 word with mark, .%s" % ext:
                '; name="=?utf-16?b?%s?="' % base64.b64encode(n.encode("utf-16")).decode(),
            "utf-16 word without mark (little-endian), .%s" % ext:
                '; name="=?utf-16?b?%s?="' % base64.b64encode(n.encode("utf-16-le")).decode(),
            "utf-7 word, .%s" % ext: '; name="=?utf-7?q?evil+AC4-%s?="' % ext,
            "a malformed word beside, .%s" % ext: '; name="=?x?junk?= =?utf-8?q?%s?="' % n,
            "rfc2231 utf-16le, .%s" % ext: "; name*=utf-16le''%s" % pct(n.encode("utf-16-le")),
            "rfc2231 continued past the limit, .%s" % ext:
                "".join("; name*%d=a" % i for i in range(1001)) + "; name*1001=.%s" % ext,
        })
    return {"name: " + k: multipart("n", [text_part("names"), attachment(v)])
            for k, v in forms.items()}


def block_cases():
    """Attachments inside text that readers decode."""
    def uu(mode, name, data):
        lines = [binascii.b2a_uu(data[i:i + 45]).decode().rstrip("\n")
                 for i in range(0, len(data), 45)]
        return "begin %s %s\r\n%s\r\n`\r\nend\r\n" % (mode, name, "\r\n".join(lines))
    cases = {}
    for mode in ("644", "0755", "444", "600"):
        cases["block: uuencode mode %s" % mode] = header() + "Here it is:\r\n\r\n" + \
            uu(mode, "evil.exe", EICAR)
    cases["block: uuencode, .scr, in a multipart"] = multipart("u", [
        text_part("see\r\n\r\n" + uu("755", "screen.scr", b"MZ harmless"))])
    cases["block: yEnc"] = header() + "Here:\r\n" + (
        b"=ybegin line=128 size=%d name=evil.exe\r\n" % len(EICAR) + yenc_encode(EICAR) +
        b"\r\n=yend size=%d\r\n" % len(EICAR)).decode("latin-1")
    cases["block: yEnc, .js"] = header() + "Here:\r\n" + (
        b"=ybegin line=128 size=5 name=run.js\r\n" + yenc_encode(b"alert") +
        b"\r\n=yend size=5\r\n").decode("latin-1")
    cases["block: BinHex"] = header() + "Mac file:\r\n" + \
        binhex_encode(b"evil.exe", EICAR).decode("latin-1") + "\r\n"
    cases["block: BinHex, .com"] = header() + "Mac file:\r\n" + \
        binhex_encode(b"tool.com", b"MZ").decode("latin-1") + "\r\n"
    return cases


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

    def run(self, case, text, readback=True, rule_set="hostile", engine=False, target=False,
            harmless=False):
        """Checks one mail in place (out/case.eml), or with target=True from
        in/case.eml into the folder target/; engine=False leaves the virus
        engine out (ClamAV's own cost is bounded by its limits). A harmless
        mail must load."""
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
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        self.times[case] = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
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
        if harmless and report.get("errorBits", 0) & ERR_LOAD:
            self.fail(case, "a harmless mail did not load")
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
            if lets_through(report):
                for what in payloads(written, rule_set):
                    self.fail(case, "%s delivered, verdict %s" % (what, report.get("verdict")))

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


def milter_cases(scratch):
    """The classes a sender uses to get past the milter: name -> (mail,
    harmless). One large archive is enough there: each case costs an SMTP
    transaction."""
    archives = archive_cases(scratch)
    cases = {k: (archives[k], False) for k in (
        "archive: a zip member of 150 MiB, the virus at its end", "archive: a zip64 entry",
        "archive: an encrypted zip", "archive: a zip member of 50 MiB (found)")}
    for group, harmless in ((harmless_cases(), True), (decoy_cases(), False),
                            (name_cases(), False), (block_cases(), False)):
        cases.update({k: (v, harmless) for k, v in group.items()})
    return cases


MILTER_RULES = "[set default]\n" + RULES.split("[set readers]\n", 1)[1]


def write_milter_cases(folder):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "rules.conf"), "w") as f:
        f.write(MILTER_RULES)
    index = {}
    for n, (case, (text, harmless)) in enumerate(
            milter_cases(os.path.join(folder, "scratch")).items()):
        name = "h%03d" % n
        with open(os.path.join(folder, name + ".eml"), "w", newline="",
                  encoding="latin-1", errors="surrogateescape") as f:
            f.write(text)
        index[name] = {"case": case, "harmless": harmless}
    shutil.rmtree(os.path.join(folder, "scratch"), ignore_errors=True)
    with open(os.path.join(folder, "cases.json"), "w") as f:
        json.dump(index, f)
    print(" ".join(sorted(index)))
    return 0


def judge_milter_cases(folder, results):
    index = json.load(open(os.path.join(folder, "cases.json")))
    failures, seen, codes = [], set(), {}
    for line in open(results):
        name, code, path = (line.split(None, 2) + ["", ""])[:3]
        path = path.strip()
        seen.add(name)
        codes[code] = codes.get(code, 0) + 1
        case = index[name]
        if code != "250":
            if case["harmless"]:
                failures.append("%s: a harmless mail got %s" % (case["case"], code))
            continue
        if not path:
            failures.append("%s: accepted but not delivered" % case["case"])
            continue
        for p in payloads(open(path, "rb").read(), "readers"):
            failures.append("%s: %s delivered" % (case["case"], p))
    failures += ["%s: no reply recorded" % index[n]["case"] for n in index if n not in seen]
    for f in failures:
        print("FAIL " + f)
    print("%d hostile cases through the milter, replies %s, %d failures" % (
        len(index), " ".join("%s x%d" % kv for kv in sorted(codes.items())), len(failures)))
    return 1 if failures else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mailward", help="the mailward program")
    ap.add_argument("--work", help="scratch folder (made afresh)")
    ap.add_argument("--write", metavar="DIR", help="write the milter's cases into DIR")
    ap.add_argument("--judge", metavar="DIR", help="judge the milter's cases written to DIR")
    ap.add_argument("--results", help="with --judge: the NAME CODE PATH lines")
    args = ap.parse_args()
    if args.write:
        return write_milter_cases(args.write)
    if args.judge:
        return judge_milter_cases(args.judge, args.results)
    if not args.mailward or not args.work:
        ap.error("--mailward and --work are needed")
    r = Runner(args.mailward, args.work)

    r.run("nesting past the limit", nested(40))
    for form in ("plain", "rfc2231", "encoded-word"):
        r.run("names, " + form, names_mail(form))
    r.run("names, encoded-word, with the engine", names_mail("encoded-word"), engine=True)
    for form in ("plain", "rfc2231"):
        r.run("names, %s, into an output folder" % form, names_mail(form), target=True)
    for case, text in {**boundary_cases(), **garbage_cases()}.items():
        r.run(case, text)
    for case, text in archive_cases(os.path.join(r.work, "data", "scratch")).items():
        r.run(case, text, rule_set="scale", engine=True, readback=True)
    for case, text in harmless_cases().items():
        r.run(case, text, harmless=True)
    for case, text in {**decoy_cases(), **name_cases()}.items():
        r.run(case, text, rule_set="readers")
    for case, text in block_cases().items():
        r.run(case, text, rule_set="readers", engine=True)

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
    print("%d cases, slowest: %s (%.3f s of processor time)" % (len(r.times), slowest,
                                                              r.times[slowest]))
    if r.failures:
        print("%d failures" % len(r.failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
