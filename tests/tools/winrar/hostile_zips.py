#!/usr/bin/python3
"""Hand-made ZIP archives of the kinds an archive from elsewhere may be:
each one is a small, valid-looking archive with one fault that a reader
must refuse or survive.

    hostile_zips.py <kind> <output file> [entry size]

The entry size (bytes, where the kind has entries of a chosen size) lets
the fuzz corpus keep small copies of the same layouts."""
import io
import struct
import sys
import zipfile
import zlib

LOCAL, CENTRAL, END = b'PK\x03\x04', b'PK\x01\x02', b'PK\x05\x06'


def zip_of(entries, compression=zipfile.ZIP_DEFLATED):
    """entries: (ZipInfo or name, data) pairs."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, 'w', compression) as z:
        for info, data in entries:
            if isinstance(info, str):  # a fixed date keeps the bytes the same from run to run
                info = zipfile.ZipInfo(info, (2020, 1, 2, 3, 4, 6))
                info.compress_type = compression
            z.writestr(info, data)
    return bytearray(out.getvalue())


def end_record(d):
    return d.rindex(END)


def central_records(d):
    """Offsets of the central records, in directory order."""
    end = end_record(d)
    count, _, at = struct.unpack_from('<HII', d, end + 10)
    offsets = []
    for _ in range(count):
        offsets.append(at)
        n, m, k = struct.unpack_from('<HHH', d, at + 28)
        at += 46 + n + m + k
    return offsets


def local_of(d, rec):
    return struct.unpack_from('<I', d, rec + 42)[0]


def set_sizes(d, rec, compressed, size, crc=None):
    """The sizes (and CRC) of an entry, in its central record and local header."""
    for at, base in ((rec, 16), (local_of(d, rec), 14)):
        if crc is not None:
            struct.pack_into('<I', d, at + base, crc)
        struct.pack_into('<II', d, at + base + 4, compressed, size)


def pattern(n, seed):
    return bytes((i * 7 + seed) & 0xFF for i in range(n))


def nul_name(size):
    # Python's zipfile cuts names at a NUL, so the NUL goes in afterwards:
    # "@" stands for it in the local headers and in the directory alike.
    d = zip_of([('fine.txt', b'fine'), ('..@/escaped.txt', b'escaped'),
                ('a/..@/..@/deep.txt', b'deep')])
    return d.replace(b'..@/', b'..\x00/')


def same_header(size):
    # Twenty central records, each naming the first entry's local header.
    d = zip_of([('f%02d.bin' % i, pattern(size, i)) for i in range(20)])
    for rec in central_records(d):
        struct.pack_into('<I', d, rec + 42, 0)
    return d


def shared_stream(size):
    # Stored entries whose declared data runs over the headers and data of
    # every entry after them, up to the directory: one stream read again
    # and again, each time larger than the archive.
    d = zip_of([('s%02d.bin' % i, pattern(size, i)) for i in range(20)], zipfile.ZIP_STORED)
    cd = struct.unpack_from('<I', d, end_record(d) + 16)[0]
    for rec in central_records(d):
        local = local_of(d, rec)
        n, m = struct.unpack_from('<HH', d, local + 26)
        start = local + 30 + n + m
        length = cd - start
        set_sizes(d, rec, length, length, zlib.crc32(bytes(d[start:cd])))
    return d


def longer_than_declared(size):
    # Four megabytes of zeros that declare a thousand bytes.
    d = zip_of([('long.bin', bytes(4 << 20))])
    rec = central_records(d)[0]
    compressed = struct.unpack_from('<I', d, rec + 20)[0]
    set_sizes(d, rec, compressed, 1000)
    return d


def strong_encryption(size):
    # The local header sets the flags of strong encryption (0x2041).
    return bytearray.fromhex(
        '504b030414004120000000002100c241243503000000030000000100000066616263504b0102140314000000'
        '000000002100c2412435030000000300000001000000000000000000000000000000000066504b0506000000'
        '00010001002f000000220000000000')


def root_entry(size):
    root = zipfile.ZipInfo('/')
    root.external_attr = (0o40755 << 16) | 0x10
    return zip_of([(root, b''), ('kept.txt', b'kept')])


def unlisted_record(size):
    # Two records, but the end record counts one.
    d = zip_of([('listed.txt', b'listed'), ('unlisted.txt', b'unlisted')])
    struct.pack_into('<HH', d, end_record(d) + 8, 1, 1)
    return d


def local_name_differs(size):
    # Made on a system where "\" separates: written under the local
    # header's name by readers that take that one.
    info = zipfile.ZipInfo('good.txt')
    info.create_system = 0
    d = zip_of([(info, b'which name?')])
    local = local_of(d, central_records(d)[0])
    d[local + 30:local + 38] = b'evil.txt'
    return d


def unicode_path(size):
    # Made on a system where "\" separates, with a Unicode path field that
    # names another file than the header does.
    info = zipfile.ZipInfo('good.txt', (2020, 1, 2, 3, 4, 6))
    info.create_system = 0
    info.extra = struct.pack('<HHBI', 0x7075, 13, 1, zlib.crc32(b'good.txt')) + b'evil.txt'
    return zip_of([(info, b'which name?')])


def false_locator(size):
    # The last entry's comment ends in bytes that look like a ZIP64 locator
    # just before the end record, which itself calls for no ZIP64.
    last = zipfile.ZipInfo('second.txt')
    last.comment = b'PK\x06\x07' + bytes(16)
    return zip_of([('first.txt', b'first'), (last, b'second')])


def wide_extra(size):
    # An entry whose extra fields fill their 16-bit length but for 5 bytes,
    # and whose size field says the real one is in a ZIP64 field: copying it
    # needs 12 more bytes of extra.
    big = zipfile.ZipInfo('big.txt')
    big.extra = struct.pack('<HH', 0xCAFE, 65526) + bytes(65526)
    d = zip_of([(big, b'big'), ('small.txt', b'small')])
    rec = central_records(d)[0]
    struct.pack_into('<I', d, rec + 24, 0xFFFFFFFF)
    return d


FOLDER_TIMES = (981173106, 1323785716)  # 2001-02-03 04:05:06, 2011-12-13 14:15:16 UTC


def folders(size):
    # Folder entries with modes and times, each before the files that go
    # into it (a file written later changes a folder's time).
    def folder(name, mode, when, system=3):
        info = zipfile.ZipInfo(name)
        info.create_system = system
        info.external_attr = ((0o40000 | mode) << 16 | 0x10) if system == 3 else 0x10
        info.extra = struct.pack('<HHBI', 0x5455, 5, 1, when)
        return info, b''
    early, late = FOLDER_TIMES
    return zip_of([folder('private/', 0o700, early), folder('private/inner/', 0o750, late),
                   ('private/inner/f.txt', b'f'), ('private/g.txt', b'g'),
                   folder('sgid/', 0o2755, late), ('sgid/h.txt', b'h'),
                   folder('other/', 0o700, early, system=0), ('other/i.txt', b'i'),
                   folder('existing/', 0o700, early)])


def plain(size):
    folder = zipfile.ZipInfo('dir/')
    folder.external_attr = (0o40700 << 16) | 0x10
    return zip_of([(folder, b''), ('dir/a.txt', pattern(size, 1)), ('b.txt', b'b')])


KINDS = {
    'nul-name': nul_name,
    'same-header': same_header,
    'shared-stream': shared_stream,
    'longer-than-declared': longer_than_declared,
    'strong-encryption': strong_encryption,
    'root-entry': root_entry,
    'unlisted-record': unlisted_record,
    'local-name-differs': local_name_differs,
    'unicode-path': unicode_path,
    'false-locator': false_locator,
    'wide-extra': wide_extra,
    'folders': folders,
    'plain': plain,
}

if __name__ == '__main__':
    kind, path = sys.argv[1], sys.argv[2]
    size = int(sys.argv[3]) if len(sys.argv) > 3 else 1 << 20
    with open(path, 'wb') as f:
        f.write(KINDS[kind](size))
