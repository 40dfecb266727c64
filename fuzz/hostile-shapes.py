#!/usr/bin/env python3
"""Writes a fragmented recording of a hostile shape around the movie box and
first AAC frame of a real fragmented recording (made by ffmpeg):

  trafs N    one moof holding N track fragments of one sample each
  tracks N   the same, each track fragment naming another track
  moofs N    N fragments of one track fragment each
  nesting N  boxes nested N deep inside the movie box and inside a fragment

Every sample is the same real AAC frame, so the file decodes.
Usage: hostile-shapes.py SHAPE N FRAGMENTED.mp4 OUT
"""
import struct
import sys


def box(kind, payload):
    return struct.pack(">I4s", 8 + len(payload), kind) + payload


def full_box(kind, version, flags, payload):
    return box(kind, struct.pack(">I", (version << 24) | flags) + payload)


def children(data, start, end):
    at = start
    while at + 8 <= end:
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        if size < 8 or at + size > end:
            break
        yield kind, at, size
        at += size


def find(data, start, end, path):
    for kind, at, size in children(data, start, end):
        if kind == path[0]:
            return (at, size) if len(path) == 1 else find(data, at + 8, at + size, path[1:])
    raise SystemExit("no %s in the source recording" % b"/".join(path).decode())


def first_frame(data):
    """The source's ftyp and moov, the track ID and the first frame's bytes and duration."""
    ftyp = find(data, 0, len(data), [b"ftyp"])
    moov = find(data, 0, len(data), [b"moov"])
    trex_at, _ = find(data, moov[0] + 8, moov[0] + moov[1], [b"mvex", b"trex"])
    track_id, _, duration, size = struct.unpack(">IIII", data[trex_at + 12:trex_at + 28])
    moof_at, moof_size = find(data, 0, len(data), [b"moof"])
    tfhd_at, _ = find(data, moof_at + 8, moof_at + moof_size, [b"traf", b"tfhd"])
    flags = struct.unpack(">I", data[tfhd_at + 8:tfhd_at + 12])[0] & 0xffffff
    at = tfhd_at + 16 + (8 if flags & 1 else 0) + (4 if flags & 2 else 0)
    if flags & 8:
        duration = struct.unpack(">I", data[at:at + 4])[0]
        at += 4
    if flags & 0x10:
        size = struct.unpack(">I", data[at:at + 4])[0]
    trun_at, _ = find(data, moof_at + 8, moof_at + moof_size, [b"traf", b"trun"])
    tflags = struct.unpack(">I", data[trun_at + 8:trun_at + 12])[0] & 0xffffff
    at = trun_at + 16 + (4 if tflags & 1 else 0) + (4 if tflags & 4 else 0)
    if tflags & 0x100:
        duration = struct.unpack(">I", data[at:at + 4])[0]
        at += 4
    if tflags & 0x200:
        size = struct.unpack(">I", data[at:at + 4])[0]
    mdat_at, _ = find(data, moof_at + moof_size, len(data), [b"mdat"])
    frame = data[mdat_at + 8:mdat_at + 8 + size]
    head = data[ftyp[0]:ftyp[0] + ftyp[1]]
    return head, data[moov[0]:moov[0] + moov[1]], track_id, frame, duration or 1024


def traf(track_id, duration, size, data_offset, decode_time=None, inner=b""):
    # Base at the moof, default duration and size in the header, one sample in the run.
    tfhd = full_box(b"tfhd", 0, 0x020018, struct.pack(">III", track_id, duration, size))
    tfdt = b"" if decode_time is None else full_box(b"tfdt", 1, 0, struct.pack(">Q", decode_time))
    trun = full_box(b"trun", 0, 0x1, struct.pack(">Ii", 1, data_offset))
    return box(b"traf", tfhd + tfdt + trun + inner)


def nested(kind, depth, inner=b""):
    for _ in range(depth):
        inner = box(kind, inner)
    return inner


def main():
    shape, count, source, out = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    head, moov, track_id, frame, duration = first_frame(open(source, "rb").read())
    mdat = box(b"mdat", frame)
    mfhd = full_box(b"mfhd", 0, 0, struct.pack(">I", 1))
    with open(out, "wb") as f:
        f.write(head)
        if shape == "nesting":
            f.write(box(b"moov", moov[8:] + nested(b"udta", count)))
            size = 8 + len(mfhd) + len(traf(track_id, duration, len(frame), 0, 0, nested(b"traf", count)))
            f.write(box(b"moof", mfhd + traf(track_id, duration, len(frame), size + 8, 0, nested(b"traf", count))))
            f.write(mdat)
        elif shape in ("trafs", "tracks"):
            f.write(moov)
            one = len(traf(track_id, duration, len(frame), 0))
            size = 8 + len(mfhd) + count * one
            f.write(struct.pack(">I4s", size, b"moof") + mfhd)
            for i in range(count):
                f.write(traf(track_id + i if shape == "tracks" else track_id, duration, len(frame), size + 8))
            f.write(mdat)
        elif shape == "moofs":
            f.write(moov)
            for i in range(count):
                one = traf(track_id, duration, len(frame), 0, i * duration)
                size = 8 + len(mfhd) + len(one)
                f.write(box(b"moof", mfhd + traf(track_id, duration, len(frame), size + 8, i * duration)))
                f.write(mdat)
        else:
            raise SystemExit("shape: trafs, moofs or nesting")


if __name__ == "__main__":
    main()
