#!/usr/bin/env python3
"""Damages a media file the same way every time: for a seed, changes about one
byte in RATE (a random value, a flipped bit, or 0x00/0xFF), anywhere in the
file.  Usage: bench/mutate.py SOURCE DEST SEED [RATE, default 1000]"""
import random
import sys

src, dest, seed = sys.argv[1], sys.argv[2], int(sys.argv[3])
rate = int(sys.argv[4]) if len(sys.argv) > 4 else 1000
data = bytearray(open(src, 'rb').read())
rng = random.Random(seed)
for _ in range(max(1, len(data) // rate)):
    at = rng.randrange(len(data))
    how = rng.randrange(4)
    if how == 0:
        data[at] = rng.randrange(256)
    elif how == 1:
        data[at] ^= 1 << rng.randrange(8)
    else:
        data[at] = 0x00 if how == 2 else 0xFF
open(dest, 'wb').write(data)
