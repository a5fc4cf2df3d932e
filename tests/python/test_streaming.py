"""FIFO-mode streaming through the virtual board's loopback: everything written comes back,
byte for byte, into whatever buffer the reader hands over."""
import array
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

import ostrane
from conftest import BOUND, in_thread, wait_for

IN, OUT, CHUNK = 0x85, 0x05, 1 << 20

# Blocks 15 s in a read, a write and a board channel receive, each until Ctrl-C; then checks that
# nothing moved was lost and the board still works.
CTRL_C_CHILD = f"""
import os, ostrane
def until_ctrl_c(name, call):
    print(name, flush=True)
    try:
        call()
    except KeyboardInterrupt:
        print("interrupted", flush=True)
with ostrane.Device.open(fifo=True) as device:
    device.write({OUT}, b"kept" * 25, timeout={BOUND})
    until_ctrl_c("read", lambda: device.read({IN}, 1 << 20, timeout=15))
    assert device.read({IN}, 100, timeout={BOUND}) == b"kept" * 25
    data, marker = os.urandom(64 << 20), b"after the write!"
    until_ctrl_c("write", lambda: device.write({OUT}, data, timeout=15))
    device.write({OUT}, marker, timeout={BOUND})
    back = b""
    while not back.endswith(marker):
        back += device.read({IN}, max(device.in_waiting, 1), timeout={BOUND}) or exit("no marker")
    assert len(back) > len(marker) and data.startswith(back[:-len(marker)])
with ostrane.Channel(0) as channel:
    until_ctrl_c("receive", lambda: channel.receive(4, timeout=15))
    assert channel.request(b"ping", 4, timeout={BOUND}) == b"ping"
print("usable", flush=True)
"""


def test_ctrl_c_ends_a_blocking_call_at_once():
    # First in this file: the module's device is not open yet, so the child may open the board.
    child = subprocess.Popen([sys.executable, "-c", CTRL_C_CHILD], stdout=subprocess.PIPE, text=True)
    for call in ("read", "write", "receive"):
        assert child.stdout.readline() == call + "\n"
        wait_for(lambda: "futex" in pathlib.Path(f"/proc/{child.pid}/wchan").read_text(), call)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        assert child.stdout.readline() == "interrupted\n"
        assert time.monotonic() - sent < 5, call
    assert child.stdout.readline() == "usable\n" and child.wait(BOUND) == 0


@pytest.fixture(scope="module")
def device():
    with ostrane.Device.open(fifo=True) as d:
        yield d


def test_sixty_four_mebibytes_come_back(device):
    data = memoryview(os.urandom(64 << 20))
    writer, outcome = in_thread(lambda: [device.write(OUT, data[at:at + CHUNK], timeout=BOUND)
                                         for at in range(0, len(data), CHUNK)])
    back = bytearray(len(data))
    view, got, n = memoryview(back), 0, 1
    while got < len(data) and n:  # a read that found nothing for BOUND seconds ends it
        n = device.readinto(IN, view[got:got + CHUNK], timeout=BOUND)
        got += n
    writer.join(BOUND)
    assert outcome["result"] == [CHUNK] * 64 and got == len(data) and back == data


def numpy_array(n):
    return pytest.importorskip("numpy").zeros(n // 4, dtype="uint32")


@pytest.mark.parametrize("target", [bytearray, lambda n: memoryview(bytearray(n + 16))[16:],
                                    lambda n: array.array("I", bytes(n)), numpy_array],
                         ids=["bytearray", "memoryview", "array", "numpy"])
def test_readinto_fills_any_writable_buffer(device, target):
    data, buffer = os.urandom(4096), target(4096)
    assert device.write(OUT, data, timeout=BOUND) == len(data)
    view, got = memoryview(buffer).cast("B"), 0
    while got < len(data):
        got += device.readinto(IN, view[got:], timeout=BOUND)
    assert bytes(view) == data
    # Nothing more was written: a read ends empty when its time is up.
    assert device.read(IN, 6, timeout=0.05) == b""

