#!/usr/bin/env python3
"""Checks YUY2 frames a V4L2 client wrote from a virtual board's video stream, recomputing the
test pattern from its description in docs/02-without-hardware.md (not from the board's code):
frame k holds k as a little-endian 64-bit number in its first 8 bytes; elsewhere every row shows
eight 75 % colour bars, pixel x showing bar ((x + k) mod width) * 8 // width, each pixel pair
sharing the U and V of its left pixel.

usage: uvc_frames_check.py FILE WIDTH HEIGHT COUNT [--fewer] [--cut] [--sequences LOG]
COUNT frames numbered 0 to COUNT-1 must be there (with --fewer: fewer than COUNT, at least one,
numbered from 0 on; with --cut a last frame cut short, by stopping the client, is left out).
With --sequences, LOG is `v4l2-ctl --verbose` output: a host that falls behind misses frames, and
uvcvideo counts those in the buffers' sequence numbers, so frame i must carry the i-th dequeued
buffer's sequence instead of i (the board itself never skips one: it sends frames late instead).
Prints one summary line; exit status 1 on the first wrong frame."""
import re
import sys

BARS = [(180, 128, 128), (162, 44, 142), (131, 156, 44), (112, 72, 58),
        (84, 184, 198), (65, 100, 212), (35, 212, 114), (16, 128, 128)]


def expected(k, width, height):
    row = bytearray()
    for x in range(0, width, 2):
        left = BARS[(x + k) % width * 8 // width]
        right = BARS[(x + 1 + k) % width * 8 // width]
        row += bytes((left[0], left[1], right[0], left[2]))
    frame = bytearray(row * height)
    frame[0:8] = k.to_bytes(8, 'little')
    return frame


def main():
    path, width, height, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    fewer, cut = '--fewer' in sys.argv[5:], '--cut' in sys.argv[5:]
    sequences = None
    if '--sequences' in sys.argv[5:]:
        log = open(sys.argv[sys.argv.index('--sequences') + 1], errors='replace').read()
        sequences = [int(s) for s in re.findall(r'dqbuf: *\d+ seq: *(\d+)', log)]
    data = open(path, 'rb').read()
    size = width * height * 2
    frames, rest = divmod(len(data), size)
    if rest and not cut:
        sys.exit(f'FAIL: {len(data)} bytes is not a whole number of {width}x{height} frames')
    if (frames >= count or frames == 0) if fewer else frames != count:
        sys.exit(f'FAIL: {frames} frames, expected {"fewer than " if fewer else ""}{count}')
    if sequences is not None and cut and len(sequences) == frames - 1:
        frames -= 1  # the client was stopped between writing its last frame and logging it
    if sequences is not None and len(sequences) < frames:
        sys.exit(f'FAIL: {frames} frames but {len(sequences)} dequeued buffers in the log')
    for i in range(frames):
        frame = data[i * size:(i + 1) * size]
        number = int.from_bytes(frame[:8], 'little')
        want_number = i if sequences is None else sequences[i]
        if number != want_number:
            sys.exit(f'FAIL: frame {i} carries number {number}, expected {want_number}')
        if i > 0 and number <= previous:
            sys.exit(f'FAIL: frame {i} carries number {number} after {previous}')
        previous = number
        want = expected(number, width, height)
        if frame != want:
            at = next(j for j in range(size) if frame[j] != want[j])
            sys.exit(f'FAIL: frame {i}: byte {at} is {frame[at]}, the pattern says {want[at]}')
    last = frames - 1 if sequences is None else sequences[frames - 1]
    skipped = last + 1 - frames
    print(f'{path}: {frames} frames of {width}x{height}, numbered 0 to {last}'
          f'{f" ({skipped} missed by the host, by their sequence)" if skipped else ""}, pattern exact')


main()
