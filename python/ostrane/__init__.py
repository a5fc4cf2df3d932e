"""Ostrane camera interface boards from Python, over libOstraneCommsUSB.so.0.

Discovery and hot-plug:
    list_boards()            the boards attached now (Board records)
    on_hotplug(callback)     a callback for every arrival and departure (HotplugEvent)

Board channel (commands to the camera behind a board):
    Channel(index)           send(data), receive(count, timeout), request(data, count, timeout),
                             timeout, close()

FT60x device (device control and streaming):
    Device.open(index=None, serial=None, description=None, fifo=False)
        info(), firmware_version(), vid_pid(), gpio_read/enable/write/pull,
        chip_config()/set_chip_config(), memory_read/memory_write,
        write(pipe, data), read(pipe, n), readinto(pipe, buffer), in_waiting, timeout,
        on_notification(callback), notifications(timeout), close()

Failures raise OstraneError, an OSError (.call, .status, .name); OstraneGone once the board was
unplugged, OstraneTimeout (a TimeoutError) for a time-out the library reports as a failure. Bad
arguments raise TypeError or ValueError before any C call. Ctrl-C ends a blocking call within a
fraction of a second. ostrane.abi holds the headers' constants and records (abi.Status,
abi.CommsResult, abi.FT_DEVICE_INFO, ...). Callbacks run on the library's threads; an exception
in one is logged on the "ostrane" logger.

The library is loaded as the system finds it (the libostranecommsusb0 package); set
OSTRANE_LIBRARY to a build tree's library (file or directory) to use that one instead.
"""
from __future__ import annotations

import atexit as _atexit

from . import _abi as abi
from ._boards import Board, HotplugEvent, HotplugSubscription, list_boards, on_hotplug
from ._channel import Channel
from ._device import Device, Notification, driver_version, usb_library_version
from ._library import LIBRARY_VARIABLE, OstraneError, OstraneGone, OstraneTimeout, library_path

__version__ = "0.5.25"

__all__ = [
    "Board", "Channel", "Device", "HotplugEvent", "HotplugSubscription", "LIBRARY_VARIABLE",
    "Notification", "OstraneError", "OstraneGone", "OstraneTimeout", "abi", "driver_version",
    "library_path", "list_boards", "on_hotplug", "usb_library_version",
]


def _at_exit() -> None:
    # No library thread may call into Python once the interpreter shuts down: stop the callbacks
    # and close what is still open while it still runs.
    from . import _boards, _channel, _device, _library
    if _library._lib is None:
        return
    _boards._remove_all()
    _device._close_all()
    _channel._close_all()


_atexit.register(_at_exit)
