#!/usr/bin/env python3
# Writes a tree of FILES files holding about MEGABYTES in all, in folders of a
# hundred, with data that compresses about as well as programs and documents
# (half random bytes, half repeated text), for the apply, export and split
# benchmarks.   make-tree.py FOLDER FILES MEGABYTES
import os
import random
import sys

folder, files, megabytes = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
random.seed(7)
average = megabytes * 1024 * 1024 // files
text = b"The quick brown fox jumps over the lazy dog; " * 64
for i in range(files):
    sub = os.path.join(folder, "d%03d" % (i // 100))
    os.makedirs(sub, exist_ok=True)
    size = random.randint(average // 4, average * 7 // 4)
    half = size // 2
    with open(os.path.join(sub, "f%05d.bin" % i), "wb") as out:
        out.write(os.urandom(half))
        while half < size:
            chunk = text[: size - half]
            out.write(chunk)
            half += len(chunk)
