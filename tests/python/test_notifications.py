"""Notifications and hot-plug on one virtual board that notifies every 100 ms for 8 s once opened,
is unplugged once a test reads its FIFO pipe and is followed by a camera board (the script in
CMakeLists.txt). Callbacks call back into the package and close from inside; an exception in one
is logged, not raised into C."""
import itertools
import logging
import threading

import pytest

import ostrane
from conftest import BOUND, in_thread, wait_for, wait_inside


def test_callback_reenters_and_closes_its_device(caplog):
    device, seen, levels, done = ostrane.Device.open(), [], [], threading.Event()

    def on_notification(dev, n):
        seen.append(n.type)
        if len(seen) == 1:
            raise RuntimeError("a faulty callback")
        if len(seen) == 3:
            levels.append(dev.gpio_read())
            dev.close()
            done.set()

    with caplog.at_level(logging.ERROR, logger="ostrane"):
        device.on_notification(on_notification)
        assert done.wait(BOUND)
    assert device.closed and levels == [0] and seen[:3] == [2, 2, 2]
    assert "notification callback failed" in caplog.text and "a faulty callback" in caplog.text

    # The release follows the callback's return: then the board opens again.
    wait_for(lambda: ostrane.Device.open().close() is None, "the board released", errors="STATUS_OPEN_FAILED")


def test_notifications_listen_from_the_call_and_hold_nothing_once_ended():
    device, arrived = ostrane.Device.open(), threading.Event()
    listening = device.notifications(timeout=0)
    device.on_notification(lambda _device, _n: arrived.set())
    assert arrived.wait(BOUND)
    # That one came before the first next(); the iterator ends on an empty queue.
    assert [n.type for n in listening][:1] == [2]
    del device  # dropped unclosed, beside its ended iterator: it closes itself
    with ostrane.Device.open() as again:
        with pytest.raises(ValueError):
            again.notifications(timeout=-1)


def test_hotplug_callback_opens_and_closes_the_announced_board():
    # A new client hears of the boards not open, on hot-plug threads: open, use, close from there.
    seen, done = [], threading.Event()

    def on_hotplug(event):
        with ostrane.Device.open(serial=event.board.serial) as device:
            seen.append((event.arrived, event.board.serial, device.firmware_version()))
        done.set()

    with ostrane.on_hotplug(on_hotplug):
        assert done.wait(BOUND)
    assert seen == [(True, "VB0001", "1.2.7")]


def test_unplug_ends_the_calls_in_flight():
    device, events = ostrane.Device.open(fifo=True), []
    subscription = ostrane.on_hotplug(events.append)
    reader, read_outcome = in_thread(lambda: [device.read(0x85, 16, BOUND) for _ in itertools.count()])
    waiter, wait_outcome = in_thread(lambda: list(device.notifications()))  # ends with the close
    wait_inside(reader, "readinto")
    reader.join(4 * BOUND)
    assert read_outcome["error"].name == "STATUS_DEVICE_GONE"
    wait_for(lambda: "VB0001" not in [b.serial for b in ostrane.list_boards()], "the board unlisted")
    # Every call says gone, whatever status the library gives it.
    for call, name in [(device.info, "FT_GetDeviceInfoList"), (device.gpio_read, "FT_ReadGPIO"),
                       (device.firmware_version, "FT_GetFirmwareVersion")]:
        with pytest.raises(ostrane.OstraneGone) as failed:
            call()
        assert failed.value.call == name
    device.close()
    waiter.join(BOUND)
    assert not waiter.is_alive() and "error" not in wait_outcome
    wait_for(lambda: len(events) >= 2, "the departure and the camera's arrival")
    assert [(e.arrived, e.board.serial, e.board.pid) for e in events] == [(False, "VB0001", 1), (True, "CAM7", 2)]
    subscription.remove()
