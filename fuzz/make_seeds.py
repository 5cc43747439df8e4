#!/usr/bin/env python3
"""Writes the seed inputs of every fuzz target into corpus/<name>/.

Each seed is small and shows one shape of input the parser meets in use;
the fuzzer grows the rest from them.  Run it again after changing a seed
here; it rewrites the files it owns and leaves other files alone.
"""
import base64
import gzip
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- core ------------------------------------------------------------------
# The first byte: bit 0 set = the harness scrambles each line itself.
put("options", "plain-lines", "\x01ver 0\nson 1\nlsz 500\nrap 8080\nsgp pass word\npx1 -20\nlng Deutsch.lng\n")
put("options", "bad-numbers", "\x01lsz abc\nfin 99999999999\ndnr +3\nobi  7\nc1w\n")
put("options", "raw-damage", "\x00QUJD\r\nnot base64 at all\r\n\r\nMDAwMDAw\r\n")

# Bit 0 scrambles, bit 1 reads the settings folder's defaults preset.
put("presets", "archive-and-ftp",
    "\x01ver 0\nnam backup-%DATE%\ndir /tmp/out\nfmt 1\ncmp 5\nrsf 1\nfse host:2121\nfus user\nftp 1\naut 0\naut 1\n")
put("presets", "defaults-1252", "\x03ver 0\nnam caf\xe9\nswt -m5 -ep1\ncsp abc\n")
put("presets", "raw-damage", "\x00MTIzNDU2\r\n=====\r\n\xff\xfe\r\n")

put("schedule", "rows",
    "nightly [DATE=2024.05.17 22:00:00][REPEAT=-1][INTERVAL=1440][ONDELAY=1][PRECISE=0]\n"
    "<D>2024.05.18 01:00:00 </D><P>nightly</P><O>REPEAT=-1 INTERVAL=1440 PRECISE=1 ONDELAY=0 DOW=11111110</O>\r\n"
    "<D>2024.05.19</D><P>/TRUNCLOG</P><O>REPEAT=3 INTERVAL=10080 PRESICE=0 ONDELAY=2 DOW=10101011</O>\r\n")
put("schedule", "damaged",
    "weekly [REPEAT=x][INTERVAL=0][unknown][DATE=2024.13.01]\n"
    "<D>2024.02.30 10:00:00</D><P>a</P><O>REPEAT=1 INTERVAL=1 PRECISE=1 ONDELAY=0</O>\r\n"
    "<D>2024.05.18 01:00:00</D><P>b</P><O>REPEAT=2 INTERVAL=0 PRECISE=1 ONDELAY=0 DOW=00000000</O>\r\n"
    "<P>no date</P>\r\n")
put("schedule", "brackets", "] name [DATE=2024.05.17][ [REPEAT=5]\n")

put("inifile", "language",
    "; a translation\r\n[STRINGS]\r\ndialupconnected=\"Verbunden %s %d %s\"\r\n"
    "dialupword = 'W\xe4hlen' \r\nschedulerunrecognizedparam=%d%d%d%%%x\r\n"
    "[FORMS]\r\nForm1=\"\"Haupt\"\"\r\nForm1.Button1=OK\r\n[strings]\r\ndialupconnected=second\r\n")
put("inifile", "utf16", b"\xff\xfe" + "[STRINGS]\r\ndialupword=\u00dcber\r\n".encode("utf-16-le"))
put("inifile", "odd-lines", "key=before any section\n[ spaced ]\n  a = 1 ; kept\n;comment=x\nnovalue\n[\n=empty key\n")

for i, text in enumerate(["2024.05.17 10:30:15 ", "2024.2.9 1:05", " 2024.05.17", "0001.01.01 00:00:00",
                          "2024.02.30 10:00:00", "9999.12.31 23:59:59"]):
    put("datetime", "date-%d" % i, text)

# The first line names a server and the value to record for it; the rest is
# the file of TLS servers seen as it is found.
put("tlspins", "first-contact",
    "ftp.example.test:21 01:23:45:67\n127.0.0.1:2121 AB:CD:EF\nmail.example.test:465 CA\n")
put("tlspins", "no-final-line-feed", "new.example.test:21 CA\nold.example.test:21 AA:BB")
put("tlspins", "edited", "h:2121 11:22\nh:21 11:22\r\nother:25 CA \t\r\n\r\n# note\n h:2121 spaced\nh:21\n")
put("tlspins", "known", "h:21 99\nh:21 AA\n")
put("tlspins", "unstorable", "bad host:21 AA\nbad 11\n")
# The first byte: bit 7 keeps days, else runs; the low bits are the limit.
# The harness's clock stands at 2024.03.10 12:00:00.
put("cleaner", "shared-name-keep-3-runs",
    "\x03" "2024.03.03 10:00:00 \r\nc1.rar\r\nc2.rar\r\n\r\n"
    "2024.03.02 10:00:00 \r\nb.rar\r\nshared.rar\r\n\r\n"
    "2024.03.01 10:00:00 \r\na.rar\r\nshared.rar\r\n\r\n")
put("cleaner", "same-name-keep-2-runs",
    "\x02" "2024.03.09 10:00:00 \r\nSame.zip\r\n\r\n2024.03.08 10:00:00 \r\nSame.zip\r\n\r\n")
put("cleaner", "days-out-of-order-and-ahead",
    "\x8a" "2024.03.09 10:00:00 \r\nMon.rar\r\n\r\n2024.02.01\r\nMon.rar\r\nold.rar\r\n\r\n"
    "2024.03.08 10:00:00 \r\nrecent.rar\r\n\r\n2025.01.01 10:00:00 \r\nahead.rar\r\n\r\n"
    "2024.01.01\r\nbelow.rar\r\n\r\n")
put("cleaner", "stray-lines-and-date-names",
    "\x02" "\r\n2024.03.09 10:00:00 \r\n2024.01.01\r\nx.rar\r\n\r\nstray\r\n"
    "2024.03.08 10:00:00 \r\ny.rar\r\n\r\n\r\n2024.03.07 10:00:00 \r\nz.rar")
put("cleaner", "damaged", "\x81not a date\r\n2024.03.01 10:00:00 \r\na.rar\r\n\r\n")

# --- net/protocols --------------------------------------------------------
put("base64", "padded", "SGVsbG8gd29ybGQ=")
put("base64", "line-breaks", "QQ\r\nQkM=\r\nRA==")
put("base64", "stops-early", "QUJD*REVG")

put("url", "full", "/dir/page.html\nhttp://user:pw@host:8080/a/b?x=1#f")
put("url", "relative", "/a/b/c.html\n../up/./file")
put("url", "ipv6", "/\nhttp://[::1]:8080/x")
put("url", "odd", "\nftp://@:/:@[")

# First byte: bit 0 no inline detection, bit 1 decode inline lines, bit 2
# an inline line handler, bit 3 Base64 lines.
put("mimedecode", "base64-lines", "\x0eSGVsbG8=\n  V29y bGQ=\t\n====\n")
put("mimedecode", "uuencode", "\x06text before\nbegin 644 file.txt\n#0V%T\n`\nend\n")
put("mimedecode", "yenc", "\x06=ybegin line=128 size=5 name=a.bin\n\x8b\x8c=}\x8e\x8f\n=yend size=5\n")

text = b"The quick brown fox jumps over the lazy dog. " * 4
put("zlib", "gzip", gzip.compress(text, mtime=0))
put("zlib", "zlib", zlib.compress(text))
raw = zlib.compressobj(9, zlib.DEFLATED, -15)
put("zlib", "raw", raw.compress(text) + raw.flush())
put("zlib", "truncated", zlib.compress(text)[:-5])

put("contentcoding", "identity", "identity\nbody bytes")
put("contentcoding", "unknown", "gzip, identity\nxx")
put("contentcoding", "chain", " * ,IDENTITY,,identity\nabc\ndef")


# NTLM: the first byte picks the role, the second the client level.
def sec(data, offset):
    return struct.pack("<HHI", len(data), len(data), offset)


def type2(flags, target, info):
    head = 48
    return (b"NTLMSSP\x00" + struct.pack("<I", 2) + sec(target, head) + struct.pack("<I", flags) +
            b"\x01\x23\x45\x67\x89\xab\xcd\xef" + b"\x00" * 8 + sec(info, head + len(target)) + target + info)


def av(kind, value):
    return struct.pack("<HH", kind, len(value)) + value


info = av(2, "DOMAIN".encode("utf-16-le")) + av(1, "SERVER".encode("utf-16-le")) + av(0, b"")
put("ntlm", "challenge-unicode", b"\x00\x03" + type2(0x00898205, "DOMAIN".encode("utf-16-le"), info))
put("ntlm", "challenge-oem", b"\x00\x00" + type2(0x00000206, b"DOMAIN", b""))


def type3(lm, nt, domain, user, host, flags):
    head = 64
    fields, body, at = b"", b"", head
    for d in (lm, nt, domain, user, host, b""):
        fields += sec(d, at)
        body += d
        at += len(d)
    return b"NTLMSSP\x00" + struct.pack("<I", 3) + fields[:40] + fields[40:48] + struct.pack("<I", flags) + body


put("ntlm", "authenticate", b"\x01\x01" + type3(b"\x11" * 24, b"\x22" * 24, "DOM".encode("utf-16-le"),
                                               "user".encode("utf-16-le"), "HOST".encode("utf-16-le"), 0x00088205))
put("ntlm", "negotiate", b"\x02\x00" + b"NTLMSSP\x00" + struct.pack("<II", 1, 0x00088207) + b"\x00" * 16)
put("ntlm", "agreement", b"\x03\x04user\npass word\nDOMAIN")

# Digest: first byte % 3 picks the side, the bits above it the preferences.
put("digest", "challenge",
    "\x00Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
    "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"")
put("digest", "challenge-sess", "\x04realm=\"r\",algorithm=\"MD5-sess,MD5\",qop=auth, stale=TRUE, nonce=n")
nonce = base64.b64encode(struct.pack("<d", 45000.5) + b"\x00" * 16).decode()
put("digest", "authorization",
    "\x01username=\"Mufasa\", realm=\"testrealm@host.com\", nonce=\"%s\", uri=\"/dir/index.html\", "
    "qop=auth, nc=00000001, cnonce=\"0a4f113b\", response=\"6629fae49393a05397450978507c4ef1\", "
    "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"" % nonce)
put("digest", "agreement", "\x02realm of the test\nMufasa\nCircle Of Life\n/dir/index.html?a=1,b\n/a /b")

put("otp", "md5", "331 Response to otp-md5 499 ke1234 ext required for skey.")
put("otp", "sha1", "otp-sha1 99 SeedIsLong")
put("otp", "refused", "otp-md4 100000 x")

put("charset", "utf-8", "utf-8\nh\xc3\xa9llo \xe2\x82\xac \xff")
put("charset", "iso-2022-jp", "iso-2022-jp\n\x1b$B$3$s\x1b(B abc")
put("charset", "utf-7", "utf-7\n+AGEAYgBj- a+-b")
put("charset", "by-index", "\x05\n\x82\xa0\x82\xa2\x81")


# --- disc -------------------------------------------------------------------
def both16(v):
    return struct.pack("<H", v) + struct.pack(">H", v)


def both32(v):
    return struct.pack("<I", v) + struct.pack(">I", v)


def record(extent, length, flags, ident):
    date = bytes([124, 5, 17, 10, 30, 15, 8])
    body = b"\x00" + both32(extent) + both32(length) + date + bytes([flags, 0, 0]) + both16(1) + bytes([len(ident)]) + ident
    size = 1 + len(body) + (1 if len(ident) % 2 == 0 else 0)
    return bytes([size]) + body + (b"\x00" if len(ident) % 2 == 0 else b"")


def descriptor(kind, root, joliet):
    d = bytearray(2048)
    d[0] = kind
    d[1:6] = b"CD001"
    d[6] = 1
    if joliet:
        d[88:91] = b"%/E"
    d[156:156 + len(root)] = root
    return bytes(d)


def directory(entries):
    out = b"".join(entries)
    return out + b"\x00" * (2048 - len(out))


def image(joliet):
    def name(s):
        return s.encode("utf-16-be") if joliet else s.encode()
    root, sub = 20, 21
    root_dir = directory([record(root, 2048, 2, b"\x00"), record(root, 2048, 2, b"\x01"),
                          record(sub, 2048, 2, name("OLD" if not joliet else "Old")),
                          record(30, 5, 0, name("A.RAR;1" if not joliet else "a.rar")),
                          record(0, 0, 0, name("EMPTY.;1" if not joliet else "empty"))])
    sub_dir = directory([record(sub, 2048, 2, b"\x00"), record(root, 2048, 2, b"\x01"),
                         record(31, 3, 0, name("C.RAR;1" if not joliet else "c.rar")),
                         record(root, 2048, 2, name("LOOP" if not joliet else "loop"))])
    blocks = [b"\x00" * 2048] * 16
    blocks.append(descriptor(1, record(root, 2048, 2, b"\x00"), False))
    if joliet:
        blocks.append(descriptor(2, record(root, 2048, 2, b"\x00"), True))
    term = bytearray(2048)
    term[0] = 255
    term[1:6] = b"CD001"
    blocks.append(bytes(term))
    while len(blocks) < root:
        blocks.append(b"\x00" * 2048)
    blocks += [root_dir, sub_dir]
    return b"".join(blocks)


put("sessionimport", "iso9660", image(False))
put("sessionimport", "joliet", image(True))
put("sessionimport", "blank", b"")


# --- zip and the stand-in archiver ------------------------------------------
# The hand-made archives of the archiver's tests, each with one fault, at a
# small entry size; a plain archive and one with folder modes beside them.
def hostile_zips():
    import importlib.util
    path = os.path.join(HERE, "..", "tests", "tools", "winrar", "hostile_zips.py")
    spec = importlib.util.spec_from_file_location("hostile_zips", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


for kind, make in hostile_zips().KINDS.items():
    put("zipdir", kind, bytes(make(512)))
