#!/usr/bin/env python3
"""Checks an updated archive against the archive it was made from.

Usage: compare_archives.py OLD NEW STAGING [REPLACED ...] [-- ADDED ...]

Expected of NEW: the entries of OLD in their order, those named in REPLACED holding the
file of that name under STAGING now, followed by the ADDED names (also from STAGING) in
that order. A kept entry keeps its data bytes exactly (compressed as they were), its CRC,
sizes, method and comment; no entry has a data descriptor; the archive has no comment.
Prints each difference and exits 1 when there is one.
"""
import os
import struct
import sys
import zipfile


def raw_data(path, info):
    with open(path, "rb") as f:
        f.seek(info.header_offset)
        header = f.read(30)
        name_len, extra_len = struct.unpack("<HH", header[26:30])
        f.seek(info.header_offset + 30 + name_len + extra_len)
        return f.read(info.compress_size)


def main():
    old_path, new_path, staging = sys.argv[1:4]
    rest = sys.argv[4:]
    replaced = rest[: rest.index("--")] if "--" in rest else rest
    added = rest[rest.index("--") + 1:] if "--" in rest else []
    problems = []
    old = zipfile.ZipFile(old_path) if os.path.getsize(old_path) else None
    new = zipfile.ZipFile(new_path)
    old_infos = old.infolist() if old else []
    expected = [i.filename for i in old_infos] + added
    got = [i.filename for i in new.infolist()]
    if got != expected:
        problems.append("names %r, expected %r" % (got, expected))
    if new.comment:
        problems.append("archive comment %r carried over" % new.comment)
    bad = new.testzip()
    if bad:
        problems.append("testzip: %s" % bad)
    by_name = {i.filename: i for i in new.infolist()}
    for o in old_infos:
        n = by_name.get(o.filename)
        if n is None:
            continue
        if n.flag_bits & 8:
            problems.append("%s has a data descriptor" % n.filename)
        if o.filename in replaced:
            with open(os.path.join(staging, o.filename), "rb") as f:
                if new.read(n) != f.read():
                    problems.append("%s does not hold the staged file" % n.filename)
            continue
        same = (o.CRC, o.compress_size, o.file_size, o.compress_type, o.comment,
                o.flag_bits & ~8) == (n.CRC, n.compress_size, n.file_size, n.compress_type,
                                      n.comment, n.flag_bits)
        if not same or raw_data(old_path, o) != raw_data(new_path, n):
            problems.append("%s was not kept byte for byte" % n.filename)
    for name in added:
        n = by_name.get(name)
        with open(os.path.join(staging, name), "rb") as f:
            if n is None or new.read(n) != f.read():
                problems.append("%s does not hold the staged file" % name)
    for p in problems:
        print(p)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
