#!/usr/bin/env python3
"""Streaming throughput of the Python package against the C library's on the same transfers:
a FIFO-mode loopback of one virtual board, 1 MiB per write and read call, unchecked.
Python: a writer thread and a reader calling Device.readinto into one preallocated buffer.
C: `ostrane-cli stream --mode loopback --no-check` (the same calls, from C++).
Rounds alternate between the two; prints "name: value" lines with the medians.

Usage: stream_bench.py [--build build/normal] [--mib 256] [--rounds 3]"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time

CHUNK = 1 << 20


def python_child(total):
    """Runs under the launcher: one loopback of `total` bytes; prints MB/s."""
    import ostrane
    out, back = bytes(CHUNK), bytearray(CHUNK)
    with ostrane.Device.open(fifo=True) as device:
        def writer():
            for _ in range(total // CHUNK):
                sent = 0
                while sent < CHUNK:
                    sent += device.write(0x05, memoryview(out)[sent:], timeout=0.2)
        start = time.monotonic()
        thread = threading.Thread(target=writer)
        thread.start()
        got = 0
        while got < total:
            got += device.readinto(0x85, back, timeout=0.2)
        thread.join()
        seconds = time.monotonic() - start
    print(got / seconds / 1e6)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/normal")
    parser.add_argument("--mib", type=int, default=256)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    a = parser.parse_args()
    if a.child:
        return python_child(a.child)
    repo = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
    vboard = os.path.join(a.build, "tools/ostrane-virtual-board/ostrane-virtual-board")
    cli = os.path.join(a.build, "tools/ostrane-cli/ostrane-cli")
    env = dict(os.environ, OSTRANE_LIBRARY=os.path.abspath(os.path.join(a.build, "src")),
               PYTHONPATH=os.path.join(repo, "python"), PYTHONDONTWRITEBYTECODE="1")
    total = a.mib << 20
    runs = {"python": [], "c": []}
    for _ in range(a.rounds):
        out = subprocess.run([vboard, "--", sys.executable, __file__, "--child", str(total)],
                             env=env, check=True, capture_output=True, text=True).stdout
        runs["python"].append(float(out))
        out = subprocess.run([vboard, "--", cli, "stream", "--mode", "loopback", "--bytes", str(total),
                              "--no-check", "--json"], env=env, check=True, capture_output=True, text=True).stdout
        runs["c"].append(json.loads(out)["rate_mb_s"])
    py, c = statistics.median(runs["python"]), statistics.median(runs["c"])
    print(f"python_readinto_loopback_mb_s: {py:.1f}")
    print(f"c_library_loopback_mb_s: {c:.1f}")
    print(f"python_to_c_ratio: {py / c:.3f}")
    print(f"rounds: {a.rounds} of {a.mib} MiB each (python {' '.join(f'{r:.1f}' for r in runs['python'])}; "
          f"c {' '.join(f'{r:.1f}' for r in runs['c'])})")


if __name__ == "__main__":
    main()
