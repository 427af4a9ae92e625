#!/usr/bin/env python3
"""Separates what the patch generator chooses from what the patch format costs.

usage: delta_oracle.py OLD NEW ZQ_PATCH BSDIFF_PATCH

Reads the segments (NEW start, OLD start, length) of zqdiff's patch and of
bsdiff's file, encodes both segmentations in the updater's patch format and
prints, for each, the bzip2 -9 sizes of the control, diff and extra blocks
alone and of the whole file. If bsdiff's segmentation in our format is no
smaller than ours, the rest of the gap to bsdiff's file comes from its
container (three separately compressed streams), not from the search.
"""
import bz2
import struct
import sys


def sign_magnitude(b):
    value = int.from_bytes(b[:7] + bytes([b[7] & 0x7F]), "little")
    return -value if b[7] & 0x80 else value


def bsdiff_segments(data):
    control_size = sign_magnitude(data[8:16])
    control = bz2.decompress(data[32:32 + control_size])
    segments, new_pos, old_pos = [], 0, 0
    for i in range(0, len(control), 24):
        diff, extra, seek = (sign_magnitude(control[i + k:i + k + 8]) for k in (0, 8, 16))
        if diff:
            segments.append((new_pos, old_pos, diff))
        new_pos += diff + extra
        old_pos += diff + seek
    return segments


def zq_segments(data):
    control_size = struct.unpack(">I", data[20:24])[0]
    segments, new_pos, old_pos = [], 0, 0
    for i in range(32, 32 + control_size, 12):
        diff, extra, seek = struct.unpack(">IIi", data[i:i + 12])
        if diff:
            segments.append((new_pos, old_pos, diff))
        new_pos += diff + extra
        old_pos += diff + seek
    return segments


def encode(old, new, segments):
    """Control, diff and extra blocks for `segments` (the header is left out)."""
    control, diff, extra = bytearray(), bytearray(), bytearray()
    cursor, new_pos = 0, 0
    if not segments or segments[0][0] > 0:
        end = segments[0][0] if segments else len(new)
        target = segments[0][1] if segments else 0
        control += struct.pack(">IIi", 0, end, target)
        extra += new[:end]
        cursor, new_pos = target, end
    for i, (n0, o0, length) in enumerate(segments):
        diff += bytes((new[n0 + k] - old[o0 + k]) & 0xFF for k in range(length))
        cursor = o0 + length
        last = i + 1 == len(segments)
        gap_end = len(new) if last else segments[i + 1][0]
        target = cursor if last else segments[i + 1][1]
        control += struct.pack(">IIi", length, gap_end - n0 - length, target - cursor)
        extra += new[n0 + length:gap_end]
        cursor = target
    return bytes(control), bytes(diff), bytes(extra)


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__.strip().splitlines()[2])
    old, new, zq, bsd = (open(p, "rb").read() for p in sys.argv[1:])
    size = lambda b: len(bz2.compress(b, 9))
    print("%-8s %6s %9s %9s %9s %9s %9s" %
          ("segments", "count", "control", "diff", "extra", "sum", "whole"))
    for name, segments in (("zqdiff", zq_segments(zq)), ("bsdiff", bsdiff_segments(bsd))):
        blocks = encode(old, new, segments)
        parts = [size(b) for b in blocks]
        print("%-8s %6d %9d %9d %9d %9d %9d" % (name, len(segments), *parts, sum(parts),
                                                  size(bytes(32) + b"".join(blocks))))
    print("bsdiff's own file: %d" % len(bsd))


if __name__ == "__main__":
    main()
