"""Failures: bad arguments raise TypeError/ValueError before any C call; the library's
failures raise OstraneError naming the call and the status. One virtual board, whose script
(errors.script) makes it refuse GPIO requests."""
import threading

import pytest

import ostrane
from ostrane import _boards, _channel, _device

D = ostrane.Device
BAD_ARGUMENTS = [  # (call on a device d and a channel c, error)
    (lambda d, c: D.open(index=0, serial="VB0001"), ValueError), (lambda d, c: D.open(index=256), ValueError),
    (lambda d, c: D.open(serial="x" * 32), ValueError), (lambda d, c: ostrane.on_hotplug(None), TypeError),
    (lambda d, c: d.gpio_pull(1, 64), ValueError), (lambda d, c: d.write(0x85, b"x"), ValueError),
    (lambda d, c: d.read(0x85, 4, timeout=-1), ValueError), (lambda d, c: d.readinto(0x85, b"x"), TypeError),
    (lambda d, c: d.readinto(0x85, memoryview(bytearray(8))[::2]), ValueError),
    (lambda d, c: d.memory_read(0xFFFFFFFF, 2), ValueError),
    (lambda d, c: c.send(bytes(129)), ValueError), (lambda d, c: c.receive(128), ValueError),
]


@pytest.mark.parametrize("call, error", BAD_ARGUMENTS)
def test_bad_arguments_fail_before_the_library(monkeypatch, call, error):
    def c_call(*_):
        raise AssertionError("a C call was made")
    for module in (_boards, _channel, _device):
        monkeypatch.setattr(module, "lib", c_call)
    device, channel = ostrane.Device(1, None, False), object.__new__(ostrane.Channel)
    channel._number, channel._lock = 0, threading.Lock()
    with pytest.raises(error):
        call(device, channel)
    device._handle = channel._number = None


def on_device(call):
    def run():
        with ostrane.Device.open() as device:
            call(device)
    return run


def closed_device():
    device = ostrane.Device.open()
    device.close()
    return device


def twice_on_closed_device(call):
    device = closed_device()
    with pytest.raises(ostrane.OstraneError):
        call(device)
    call(device)


@pytest.mark.parametrize("call, name, status, number", [
    (lambda: ostrane.Device.open(serial="NOPE"), "FT_Create", "STATUS_NO_DEVICE", 2),
    (lambda: ostrane.Channel(5), "OstraneCommsUSBOpenByIndex", "CommsOpenFailed", 5),
    (lambda: closed_device().gpio_read(), "FT_ReadGPIO", "STATUS_BAD_HANDLE", 1),
    (lambda: twice_on_closed_device(lambda d: d.on_notification(print)), "FT_SetNotificationCallback",
     "STATUS_BAD_HANDLE", 1),
    (on_device(lambda d: ostrane.Device.open()), "FT_Create", "STATUS_OPEN_FAILED", 3),
    (on_device(lambda d: d.gpio_read()), "FT_ReadGPIO", "STATUS_UNSUPPORTED", 17),
    # Without FIFO mode the pipes do not stream.
    (on_device(lambda d: d.read(0x85, 8, timeout=1)), "FT_ReadPipeEx", "STATUS_BAD_PARAMETER", 6),
])
def test_library_failures_name_the_call_and_status(call, name, status, number):
    with pytest.raises(ostrane.OstraneError) as failed:
        call()
    assert (failed.value.call, failed.value.name, failed.value.status) == (name, status, number)
    assert str(failed.value).startswith(f"{name}: {status} (status {number})")
    assert isinstance(failed.value, OSError) and not isinstance(failed.value, ostrane.OstraneGone)
    assert ("already open" in str(failed.value)) == (number == 3)
