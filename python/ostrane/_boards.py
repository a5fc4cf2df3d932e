"""Discovery and hot-plug: the boards attached, and a callback for each arrival and departure."""
from __future__ import annotations

import ctypes
import itertools
import logging
import threading
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional

from . import _abi
from ._library import check, lib

log = logging.getLogger("ostrane")


@dataclass(frozen=True)
class Board:
    """One attached board as the library lists it.

    Attributes:
        index: its position in the list (what ``Channel(index)`` and ``Device.open(index=)``
            take); None in a hot-plug event, which comes with no list.
        serial: serial number, e.g. ``"VB0001"``.
        description: product text, e.g. ``"Q.V. Ostrane SDI Adapter"``.
        vid, pid: USB vendor and product IDs.
        speed: ``"super"``, ``"high"`` or ``"full"``.
        open: True while some handle (in this process) has it open.
        location: the library's location number of the USB port.
    """

    index: Optional[int]
    serial: str
    description: str
    vid: int
    pid: int
    speed: str
    open: bool
    location: int = 0

    @classmethod
    def _from_info(cls, info: _abi.FT_DEVICE_INFO, index: Optional[int]) -> "Board":
        flags = info.flags
        speed = ("super" if flags & _abi.FT_FLAGS_SUPERSPEED else
                 "high" if flags & _abi.FT_FLAGS_HISPEED else "full")
        return cls(index=index, serial=info.serial_number.decode("utf-8", "replace"),
                   description=info.description.decode("utf-8", "replace"),
                   vid=info.id >> 16, pid=info.id & 0xFFFF, speed=speed,
                   open=bool(flags & _abi.FT_FLAGS_OPENED), location=info.location_id)


def _device_infos() -> "ctypes.Array[_abi.FT_DEVICE_INFO]":
    count = ctypes.c_uint32()
    check("FT_CreateDeviceInfoList", lib().FT_CreateDeviceInfoList(ctypes.byref(count)))
    infos = (_abi.FT_DEVICE_INFO * max(count.value, 1))()
    if count.value == 0:
        return infos[:0]
    copied = ctypes.c_uint32(count.value)
    check("FT_GetDeviceInfoList", lib().FT_GetDeviceInfoList(infos, ctypes.byref(copied)))
    # The list may have shrunk between the two calls.
    return infos[:min(copied.value, count.value)]


def list_boards() -> List[Board]:
    """The boards attached now, in the library's index order.

    >>> [(b.index, b.serial, b.speed) for b in ostrane.list_boards()]  # doctest: +SKIP
    [(0, 'VB0001', 'super'), (1, 'VB0002', 'super')]
    """
    return [Board._from_info(info, i) for i, info in enumerate(_device_infos())]


@dataclass(frozen=True)
class HotplugEvent:
    """A board arrived (``arrived`` True) or departed. ``uid`` is the library's number for that
    attachment: the departure of a board carries the uid of its arrival."""

    arrived: bool
    board: Board
    uid: int


HotplugCallback = Callable[[HotplugEvent], None]

# Context number -> callback. One thunk for the whole process, never freed: the library may call
# it until a removal returns, and a removal from the callback itself does not wait for it.
_clients: Dict[int, HotplugCallback] = {}
_clients_lock = threading.Lock()
_numbers = itertools.count(1)


def _on_hotplug(uid: int, info: "ctypes._Pointer[_abi.FT_DEVICE_INFO]", arrived: bool,
                context: Optional[int]) -> None:
    try:
        callback = _clients.get(context or 0)
        if callback is None or not info:
            return
        callback(HotplugEvent(arrived=bool(arrived), board=Board._from_info(info.contents, None),
                              uid=int(uid)))
    except BaseException:
        # Nothing may unwind into the library's thread.
        log.exception("ostrane: hot-plug callback failed")


_hotplug_thunk = _abi.FT_HOTPLUG_CALLBACK(_on_hotplug)


class HotplugSubscription:
    """What ``on_hotplug`` returns: ``remove()`` it (or leave its ``with`` block) to stop the
    callbacks. After ``remove()`` returns no callback of it runs any more (called from the
    callback itself, it does not wait for that call)."""

    def __init__(self, callback: HotplugCallback) -> None:
        self.callback = callback
        self._number = next(_numbers)
        self._active = False

    def _add(self) -> None:
        with _clients_lock:
            _clients[self._number] = self.callback
        self._active = True
        if not lib().FT_SetHotplugCallback(_hotplug_thunk, self._number, False):
            self._active = False
            with _clients_lock:
                _clients.pop(self._number, None)
            raise OSError("FT_SetHotplugCallback refused the registration (no USB hot-plug "
                          "support, or the library could not start)")

    def remove(self) -> None:
        """Stops the callbacks; a second call does nothing."""
        if not self._active:
            return
        self._active = False
        lib().FT_SetHotplugCallback(_hotplug_thunk, self._number, True)
        with _clients_lock:
            _clients.pop(self._number, None)

    def __enter__(self) -> "HotplugSubscription":
        return self

    def __exit__(self, *exc: object) -> None:
        self.remove()


def on_hotplug(callback: HotplugCallback) -> HotplugSubscription:
    """Calls ``callback(event)`` with a ``HotplugEvent`` for every board that arrives or
    departs, on a thread of the library's (one per event, possibly several at once). The boards
    already attached and not open anywhere in the process are announced as arrivals before
    this returns.

    The callback may call anything in this package, ``Device.open`` and ``close`` included. An
    exception it raises is logged (logger ``"ostrane"``) and goes no further.

    Returns a ``HotplugSubscription``; call its ``remove()`` to stop.
    """
    if not callable(callback):
        raise TypeError("on_hotplug needs a callable")
    sub = HotplugSubscription(callback)
    sub._add()
    return sub


def _remove_all() -> None:
    """At exit: no hot-plug thread may enter Python while the interpreter shuts down."""
    with _clients_lock:
        numbers = list(_clients)
    for n in numbers:
        lib().FT_SetHotplugCallback(_hotplug_thunk, n, True)
        with _clients_lock:
            _clients.pop(n, None)
