#!/usr/bin/env bash
# Seeds whose tables claim far more than the file holds: counts of millions or
# billions in a few bytes, sizes past the end of the file. The analysis must
# answer them without allocating for the claim (run the target with
# -malloc_limit_mb=64). Made once from the plain seeds in the same folder.
set -euo pipefail
dir=$1
[ -e "$dir/claim-trun.mp4" ] && exit 0
[ -e "$dir/audio.m4a" ] && [ -e "$dir/frag.mp4" ] || exit 0
python3 - "$dir" <<'PY'
import struct, sys
d = sys.argv[1]
HUGE = 0xFFFFFFF0
CONTAINERS = (b'moov', b'trak', b'mdia', b'minf', b'stbl', b'moof', b'traf', b'mvex')

def boxes(data, start, end):
    while start + 8 <= end:
        size, kind = struct.unpack('>I4s', data[start:start + 8])
        if size < 8 or start + size > end:
            return
        yield start, size, kind
        start += size

def patched(name, fn):
    data = bytearray(open(f'{d}/{name}', 'rb').read())
    def walk(start, end):
        for at, size, kind in boxes(data, start, end):
            fn(data, at, size, kind)
            if kind in CONTAINERS:
                walk(at + 8, at + size)
    walk(0, len(data))
    return data

def seed(out, name, fn):
    open(f'{d}/{out}', 'wb').write(patched(name, fn))

def at_kind(kind, offset, fmt, *values):
    def fn(data, at, size, k):
        if k == kind:
            struct.pack_into(fmt, data, at + offset, *values)
    return fn

# Sample counts: uniform sizes of one byte, a time-to-sample run, chunks of
# billions, a chunk table claiming billions of entries.
seed('claim-stsz.m4a', 'audio.m4a', at_kind(b'stsz', 12, '>II', 1, HUGE))
seed('claim-stts.m4a', 'audio.m4a', at_kind(b'stts', 12, '>III', 1, HUGE, 1024))
seed('claim-stsc.m4a', 'audio.m4a', at_kind(b'stsc', 12, '>IIII', 1, 1, HUGE, 1))
seed('claim-stco.m4a', 'audio.m4a', at_kind(b'stco', 12, '>I', HUGE))
# A movie box whose 64-bit size claims 2^40 bytes.
data = bytearray(open(f'{d}/audio.m4a', 'rb').read())
for at, size, kind in boxes(data, 0, len(data)):
    if kind == b'moov':
        data[at:at + 8] = struct.pack('>I4sQ', 1, b'moov', 1 << 40)[:8]
        data[at + 8:at + 8] = struct.pack('>Q', 1 << 40)
        break
open(f'{d}/claim-moov.m4a', 'wb').write(data)
# A fragment run of billions of samples with no per-sample fields, sizes and
# durations from the fragment header.
def trun(data, at, size, kind):
    if kind == b'trun':
        flags = struct.unpack('>I', data[at + 8:at + 12])[0] & 0x000001
        struct.pack_into('>II', data, at + 8, flags, HUGE)
seed('claim-trun.mp4', 'frag.mp4', trun)
PY
