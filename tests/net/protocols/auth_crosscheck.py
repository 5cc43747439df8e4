#!/usr/bin/env python3
"""Computes Digest and NTLMv2 answers with hashlib and hmac, independently of
the C++ code, for the cases the test sends on standard input.

Each input line is a kind followed by tab-separated fields, every field
hex-encoded (so any byte can travel).  One output line per input line:

  digest  algorithm user realm password nonce cnonce nc qop method uri entity
          -> the response (32 hex digits)
  ntlmv2  user domain workstation password server-challenge client-challenge
          filetime(decimal text) target-info
          -> NT response hex, LMv2 response hex and a Base64 type-3 message
             carrying both, separated by blanks

MD4 needs OpenSSL's legacy provider: the caller passes an OPENSSL_CONF that
activates it.
"""
import base64
import hashlib
import hmac
import struct
import sys


def md5hex(data: bytes) -> str:
    return hashlib.md5(data).hexdigest()


def digest(algorithm, user, realm, password, nonce, cnonce, nc, qop, method, uri, entity):
    ha1_raw = hashlib.md5(user + b":" + realm + b":" + password).digest()
    if algorithm == b"MD5-sess":
        ha1 = md5hex(ha1_raw + b":" + nonce + b":" + cnonce)
    else:
        ha1 = ha1_raw.hex()
    a2 = method + b":" + uri
    if qop == b"auth-int":
        a2 += b":" + entity
    ha2 = md5hex(a2)
    if qop:
        text = b":".join([ha1.encode(), nonce, nc, cnonce, qop, ha2.encode()])
    else:
        text = b":".join([ha1.encode(), nonce, ha2.encode()])
    return md5hex(text)


def upper_one_to_one(text):
    # Each letter becomes one capital; a letter whose capital is longer
    # (sharp s, ligatures) stays, as NTLM acceptors upper-case names.
    out = []
    for ch in text:
        up = ch.upper()
        out.append(up if len(up) == 1 else ch)
    return "".join(out)


def security_buffer(length, offset):
    return struct.pack("<HHI", length, length, offset)


def ntlmv2(user, domain, workstation, password, server_challenge, client_challenge, filetime,
           target_info):
    user_s = user.decode("utf-8")
    domain_s = domain.decode("utf-8")
    nt_hash = hashlib.new("md4", password.decode("utf-8").encode("utf-16-le")).digest()
    key = hmac.new(nt_hash, (upper_one_to_one(user_s) + domain_s).encode("utf-16-le"),
                   "md5").digest()
    blob = (b"\x01\x01" + b"\x00" * 6 + struct.pack("<Q", int(filetime)) + client_challenge +
            b"\x00" * 4 + target_info + b"\x00" * 4)
    nt = hmac.new(key, server_challenge + blob, "md5").digest() + blob
    lm = hmac.new(key, server_challenge + client_challenge, "md5").digest() + client_challenge

    d = domain_s.encode("utf-16-le")
    u = user_s.encode("utf-16-le")
    w = workstation.decode("utf-8").encode("utf-16-le")
    offset = 64
    fields = {}
    payload = b""
    for name, data in (("domain", d), ("user", u), ("ws", w), ("lm", lm), ("nt", nt)):
        fields[name] = security_buffer(len(data), offset)
        offset += len(data)
        payload += data
    header = (b"NTLMSSP\x00" + struct.pack("<I", 3) + fields["lm"] + fields["nt"] +
              fields["domain"] + fields["user"] + fields["ws"] + security_buffer(0, offset) +
              struct.pack("<I", 0x8205 | 0x1))
    message = base64.b64encode(header + payload).decode("ascii")
    return "%s %s %s" % (nt.hex(), lm.hex(), message)


def main():
    for line in sys.stdin:
        line = line.rstrip("\n")
        if not line:
            continue
        kind, *fields = line.split("\t")
        values = [bytes.fromhex(f) for f in fields]
        if kind == "digest":
            print(digest(*values))
        elif kind == "ntlmv2":
            values[6] = values[6].decode("ascii")
            print(ntlmv2(*values))
        else:
            print("unknown kind " + kind)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
