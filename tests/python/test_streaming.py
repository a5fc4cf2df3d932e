"""FIFO-mode streaming through the virtual board's loopback: everything written comes back,
byte for byte, into whatever buffer the reader hands over."""
import array
import os

import pytest

import ostrane
from conftest import BOUND, in_thread

IN, OUT, CHUNK = 0x85, 0x05, 1 << 20


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

