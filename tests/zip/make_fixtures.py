#!/usr/bin/env python3
"""Archives made by other tools, for the reader and update tests.

Usage: make_fixtures.py OUTDIR

Writes into OUTDIR the archives below (data descriptors, Zip64 records, comments, an
empty file). Tools that are missing leave their archive out.
"""
import io
import os
import random
import shutil
import subprocess
import sys
import zipfile


class Unseekable(io.RawIOBase):
    """A write-only stream without seek or tell: zipfile then writes data descriptors."""

    def __init__(self, f):
        self.f = f

    def writable(self):
        return True

    def write(self, b):
        return self.f.write(b)


def tree(root):
    """A small folder of text and binary files, some compressible, some not."""
    rnd = random.Random(4)
    files = {
        "mimetype": b"application/epub+zip",
        "a.txt": b"The quick brown fox jumps over the lazy dog.\n" * 200,
        "sub/b.bin": bytes(rnd.getrandbits(8) for _ in range(5000)),
        "sub/deeper/c.txt": "\u4e2d\u6587 chapter text\n".encode("utf-8") * 50,
        "empty.txt": b"",
    }
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (1262304000, 1262304000))  # 2010-01-01, earlier than any test run
    return files


def run(args, cwd):
    subprocess.run(args, cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def main():
    out = os.path.abspath(sys.argv[1])
    os.makedirs(out, exist_ok=True)
    src = os.path.join(out, "src")
    files = tree(src)
    names = sorted(files)

    if shutil.which("zip"):
        run(["zip", "-q", "-r", os.path.join(out, "infozip.zip")] + names, src)
        run(["zip", "-q", "-fz", "-r", os.path.join(out, "infozip64.zip")] + names, src)
    if shutil.which("7z"):
        run(["7z", "a", "-tzip", "-bd", os.path.join(out, "sevenzip.zip")] + names, src)

    with open(os.path.join(out, "pystream.zip"), "wb") as f:
        with zipfile.ZipFile(Unseekable(f), "w", zipfile.ZIP_DEFLATED) as z:
            for n in names:
                z.write(os.path.join(src, n), n)

    with zipfile.ZipFile(os.path.join(out, "pyzip64.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        for n in names:
            info = zipfile.ZipInfo.from_file(os.path.join(src, n), n)
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(os.path.join(src, n), "rb") as f, z.open(info, "w", force_zip64=True) as w:
                w.write(f.read())

    with zipfile.ZipFile(os.path.join(out, "comment.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        for n in names:
            info = zipfile.ZipInfo.from_file(os.path.join(src, n), n)
            info.compress_type = zipfile.ZIP_DEFLATED
            if n == "a.txt":
                info.comment = b"entry comment"
            z.writestr(info, files[n])
        z.comment = b"archive comment, which an update does not keep"

    open(os.path.join(out, "empty.zip"), "wb").close()


if __name__ == "__main__":
    main()
