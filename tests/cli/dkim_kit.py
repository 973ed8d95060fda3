"""dkim_kit.py - what the DKIM tests share (dkim_corpus.py and the milter's
signed_mails.py): header fields as raw bytes, CR LF line ends, and an RSA
key made with openssl with its DNS TXT record.

  split_mail(data)  -> (fields, body): each field as (lower-case name, raw
                       bytes with its folded lines and line ends), the body
                       after the empty line (None when there is none)
  crlf(data)        every line end as CR LF
  make_key(folder)  -> (PEM private key, TXT record), or None when openssl
                       is missing; the key is written to folder/key.pem
"""
import base64
import os
import subprocess

KEY_BITS = "1024"


def crlf(data):
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def split_mail(data):
    fields, pos = [], 0
    while pos < len(data):
        end = data.find(b"\n", pos)
        end = len(data) if end < 0 else end + 1
        line = data[pos:end]
        if line in (b"\r\n", b"\n"):
            return fields, data[end:]
        if line[:1] in (b" ", b"\t") and fields:
            fields[-1] = (fields[-1][0], fields[-1][1] + line)
        else:
            colon = line.find(b":")
            fields.append((line[:colon].strip().lower() if colon > 0 else b"", line))
        pos = end
    return fields, None


def make_key(folder):
    pem = os.path.join(folder, "key.pem")
    try:
        subprocess.run(["openssl", "genrsa", "-traditional", "-out", pem, KEY_BITS], check=True,
                       stderr=subprocess.DEVNULL)
        der = subprocess.run(["openssl", "rsa", "-in", pem, "-pubout", "-outform", "DER"],
                             check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    with open(pem, "rb") as f:
        return f.read(), b"v=DKIM1; k=rsa; p=" + base64.b64encode(der)
