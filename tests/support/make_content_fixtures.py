#!/usr/bin/env python3
"""make_content_fixtures.py - writes the files and mails that the tests of
content rules, archive members and attached messages use, into one folder.

    make_content_fixtures.py OUTDIR          every fixture (see FIXTURES)
    make_content_fixtures.py OUTDIR --mails  the fixtures and, for each, a
                                             mail carrying it as attachment
                                             (mail-<fixture>.eml, CR LF)

Everything is made here from nothing but Python's standard library and
p7zip (7z), which makes the 7z archive and the encrypted zip (Python's
zipfile cannot encrypt). Files:

    setup.exe          a small PE32 program (one section, one "ret")
    holiday.jpg        the same program under an image name
    notes.txt          plain text
    docs.zip           notes.txt and setup.exe
    docs64.zip         the same, written with zip64 records
    docs.7z            the same, by p7zip
    docs.tar.gz        the same, as a gzip-compressed tar
    setup.exe.gz       setup.exe alone, gzip-compressed (no tar)
    nested.zip         inner.zip (holding setup.exe) inside a zip
    photos.zip         notes.txt and holiday.jpg (an executable renamed)
    secret.zip         notes.txt, encrypted (password "secret")
    plain.zip          notes.txt only
    macro.xls          an OLE2 workbook whose BIFF stream declares an
                       Excel 4.0 macro sheet (libclamav's macro heuristic
                       recognises it)
    damaged.zip        the first half of docs.zip
    bomb.zip           one member of BOMB_BYTES zero bytes (deflated)
    members-N.zip      N empty members (N in MEMBER_COUNTS)
    depth-N.zip        setup.exe inside N levels of zips (N in DEPTHS)
    forwarded.eml      a mail whose message/rfc822 part is a mail with
                       a text part and setup.exe
Mails (--mails): mail-NAME.eml for each of the files above except .eml,
with the file base64-encoded as the attachment NAME, and forwarded.eml.
"""
import email.generator
import gzip
import email.message
import email.policy
import io
import os
import struct
import subprocess
import sys
import tarfile
import zipfile

BOMB_BYTES = 64 * 1024 * 1024
MEMBER_COUNTS = (10, 11)
DEPTHS = (2, 3)
TEXT = b"Minutes of the meeting.\r\nNothing to see here.\r\n"


def pe_program():
    """A PE32 image: DOS stub, COFF header, optional header, one section."""
    dos = bytearray(0x40)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 0x40)
    coff = struct.pack("<4sHHIIIHH", b"PE\0\0", 0x14C, 1, 0, 0, 0, 0xE0, 0x0102)
    opt = bytearray(0xE0)
    struct.pack_into("<H", opt, 0, 0x10B)  # PE32
    struct.pack_into("<I", opt, 16, 0x1000)  # entry point
    struct.pack_into("<I", opt, 28, 0x400000)  # image base
    struct.pack_into("<II", opt, 32, 0x1000, 0x200)  # alignments
    struct.pack_into("<H", opt, 68, 2)  # GUI subsystem
    struct.pack_into("<I", opt, 92, 16)  # data directories
    section = struct.pack("<8sIIIIIIHHI", b".text", 0x1000, 0x1000, 0x200, 0x200,
                          0, 0, 0, 0, 0x60000020)
    head = bytes(dos) + coff + bytes(opt) + section
    return head + b"\0" * (0x200 - len(head)) + b"\xc3" + b"\0" * 0x1FF


def ole2_workbook_with_macro_sheet():
    """A compound file (512-byte sectors) with one stream, "Workbook",
    whose BIFF records hold a BOUNDSHEET of type 1: an Excel 4.0 macro
    sheet. The stream is 4096 bytes, so it lives in ordinary sectors and
    no mini stream is needed."""
    free, end, fatsect = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD
    stream = bytearray()
    stream += struct.pack("<HH", 0x0809, 4) + struct.pack("<HH", 0x0600, 0x0005)  # BOF
    name = b"Macro1"
    boundsheet = struct.pack("<IBBBB", 0, 0, 1, len(name), 0) + name
    stream += struct.pack("<HH", 0x0085, len(boundsheet)) + boundsheet
    stream += struct.pack("<HH", 0x000A, 0)  # EOF
    pad = 4096 - len(stream) - 4
    stream += struct.pack("<HH", 0x00FC, pad) + b"\0" * pad
    assert len(stream) == 4096
    data_sectors = len(stream) // 512

    header = bytearray(512)
    header[0:8] = bytes.fromhex("D0CF11E0A1B11AE1")
    struct.pack_into("<HHHHH", header, 24, 0x3E, 3, 0xFFFE, 9, 6)
    struct.pack_into("<I", header, 44, 1)  # FAT sectors
    struct.pack_into("<I", header, 48, 1)  # first directory sector
    struct.pack_into("<I", header, 56, 4096)  # mini stream cut-off
    struct.pack_into("<IIII", header, 60, end, 0, end, 0)
    struct.pack_into("<I", header, 76, 0)  # the FAT is sector 0
    for i in range(1, 109):
        struct.pack_into("<I", header, 76 + 4 * i, free)

    fat = [fatsect, end] + [3 + i for i in range(data_sectors - 1)] + [end]
    fat += [free] * (128 - len(fat))
    fat_sector = struct.pack("<128I", *fat)

    def entry(label, kind, child, start, size):
        raw = (label + "\0").encode("utf-16-le")
        e = bytearray(128)
        e[0:len(raw)] = raw
        struct.pack_into("<HBB", e, 64, len(raw), kind, 1)
        struct.pack_into("<III", e, 68, free, free, child)
        struct.pack_into("<II", e, 116, start, size)
        return bytes(e)

    directory = entry("Root Entry", 5, 1, end, 0) + entry("Workbook", 2, free, 2, len(stream))
    directory += bytes(128) * 2
    return bytes(header) + fat_sector + directory + bytes(stream)


def zip_bytes(members, zip64=False):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in members:
            with z.open(name, "w", force_zip64=zip64) as f:
                f.write(data)
    return out.getvalue()


def tar_gz_bytes(members):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w:gz") as t:
        for name, data in members:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mtime = 1700000000
            t.addfile(info, io.BytesIO(data))
    return out.getvalue()


def seven_zip(outdir, archive, members, password=None, kind=None):
    """Runs p7zip on the members written to a scratch folder."""
    scratch = os.path.join(outdir, ".7z-" + archive)
    os.makedirs(scratch, exist_ok=True)
    for name, data in members:
        with open(os.path.join(scratch, name), "wb") as f:
            f.write(data)
    target = os.path.abspath(os.path.join(outdir, archive))
    if os.path.exists(target):
        os.remove(target)
    cmd = ["7z", "a", "-bd", "-y"]
    if kind:
        cmd.append("-t" + kind)
    if password:
        cmd.append("-p" + password)
    cmd += [target] + [name for name, _ in members]
    subprocess.run(cmd, cwd=scratch, check=True, stdout=subprocess.DEVNULL)
    for name, _ in members:
        os.remove(os.path.join(scratch, name))
    os.rmdir(scratch)
    with open(target, "rb") as f:
        return f.read()


def nested_zip(depth, payload):
    data = zip_bytes([("setup.exe", payload)])
    for level in range(1, depth):
        data = zip_bytes([("level%d.zip" % level, data)])
    return data


def bomb_zip():
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        with z.open("zeros.bin", "w") as f:
            block = b"\0" * (1024 * 1024)
            for _ in range(BOMB_BYTES // len(block)):
                f.write(block)
    return out.getvalue()


def attachment_mail(name, data):
    msg = email.message.EmailMessage()
    msg["From"] = "sender@example.org"
    msg["To"] = "rcpt@example.com"
    msg["Subject"] = "Attachment " + name
    msg["Message-ID"] = "<%s@fixtures.example>" % name.replace(" ", "_")
    msg.set_content("Please find the file attached.\n")
    msg.add_attachment(data, maintype="application", subtype="octet-stream", filename=name)
    return msg


def forwarded_mail(program):
    inner = attachment_mail("setup.exe", program)
    inner.replace_header("Subject", "The installer")
    outer = email.message.EmailMessage()
    outer["From"] = "forwarder@example.org"
    outer["To"] = "rcpt@example.com"
    outer["Subject"] = "Fwd: The installer"
    outer["Message-ID"] = "<forwarded@fixtures.example>"
    outer.set_content("See the message below.\n")
    outer.add_attachment(inner)  # message/rfc822
    return outer


def write_mail(path, msg):
    buf = io.BytesIO()
    email.generator.BytesGenerator(buf, policy=email.policy.SMTP).flatten(msg)
    with open(path, "wb") as f:
        f.write(buf.getvalue())


def main():
    if len(sys.argv) < 2:
        sys.stderr.write(__doc__)
        return 2
    outdir = sys.argv[1]
    mails = "--mails" in sys.argv[2:]
    os.makedirs(outdir, exist_ok=True)
    program = pe_program()
    docs = [("notes.txt", TEXT), ("setup.exe", program)]
    files = {
        "setup.exe": program,
        "holiday.jpg": program,
        "notes.txt": TEXT,
        "docs.zip": zip_bytes(docs),
        "docs64.zip": zip_bytes(docs, zip64=True),
        "docs.7z": seven_zip(outdir, "docs.7z", docs),
        "docs.tar.gz": tar_gz_bytes(docs),
        "setup.exe.gz": gzip.compress(program, mtime=0),
        "nested.zip": zip_bytes([("inner.zip", zip_bytes([("setup.exe", program)]))]),
        "photos.zip": zip_bytes([("notes.txt", TEXT), ("holiday.jpg", program)]),
        "secret.zip": seven_zip(outdir, "secret.zip", [("notes.txt", TEXT)], "secret", "zip"),
        "plain.zip": zip_bytes([("notes.txt", TEXT)]),
        "macro.xls": ole2_workbook_with_macro_sheet(),
        "bomb.zip": bomb_zip(),
    }
    files["damaged.zip"] = files["docs.zip"][: len(files["docs.zip"]) // 2]
    for n in MEMBER_COUNTS:
        files["members-%d.zip" % n] = zip_bytes([("m%05d.txt" % i, b"") for i in range(n)])
    for n in DEPTHS:
        files["depth-%d.zip" % n] = nested_zip(n, program)
    for name, data in files.items():
        with open(os.path.join(outdir, name), "wb") as f:
            f.write(data)
    write_mail(os.path.join(outdir, "forwarded.eml"), forwarded_mail(program))
    if mails:
        for name, data in files.items():
            write_mail(os.path.join(outdir, "mail-" + name + ".eml"), attachment_mail(name, data))
    return 0


if __name__ == "__main__":
    sys.exit(main())
