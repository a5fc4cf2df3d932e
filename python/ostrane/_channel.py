"""The board channel: commands to the camera behind a board's UART bridge, and its replies."""
from __future__ import annotations

import ctypes
import threading
import weakref
from typing import Optional

from . import _abi
from ._device import Buffer, _ms, _uint
from ._library import OstraneError, lib

_open_channels: "weakref.WeakSet[Channel]" = weakref.WeakSet()


class Channel:
    """The board channel of board `index` (its position in ``list_boards()``): bytes to the
    camera behind the board and its replies, through the board's UART bridge.

    A context manager; ``close()`` ends it. Failures raise ``OstraneError`` with the C call's
    name and its ``Comms*`` result name.

    >>> with ostrane.Channel(0) as ch:  # doctest: +SKIP
    ...     ch.send(b"ping")
    ...     ch.receive(4, timeout=0.5)
    b'ping'
    """

    #: Most bytes one ``send`` takes; ``receive`` asks for at most one less.
    MAX_SEND = _abi.OSTRANE_COMMS_MAX_TRANSFER

    def __init__(self, index: int = 0) -> None:
        _uint(index, 8, "index")
        self.index = index
        self._number: Optional[int] = None
        self._lock = threading.Lock()
        number = ctypes.c_int(_abi.OSTRANE_COMMS_INVALID_HANDLE)
        status = lib().OstraneCommsUSBOpenByIndex(ctypes.byref(number), index)
        if status != 0:
            raise OstraneError("OstraneCommsUSBOpenByIndex", status,
                               detail=f"board {index}")
        self._number = number.value
        _open_channels.add(self)

    @property
    def closed(self) -> bool:
        """True once ``close()`` was called."""
        return self._number is None

    def _n(self, call: str) -> int:
        number = self._number
        if number is None:
            raise OstraneError(call, _abi.CommsResult.CommsBadHandle, detail="the channel is closed")
        return number

    def send(self, data: Buffer) -> None:
        """Sends `data` (1 to 128 bytes) to the camera."""
        payload = bytes(memoryview(data).cast("B"))
        if not 0 < len(payload) <= self.MAX_SEND:
            raise ValueError(f"send takes 1 to {self.MAX_SEND} bytes, not {len(payload)}")
        status = lib().OstraneCommsUSBTransmit(self._n("OstraneCommsUSBTransmit"), payload,
                                               len(payload))
        if status != 0:
            raise OstraneError("OstraneCommsUSBTransmit", status)

    def receive(self, count: int = 127, timeout: float = 0.1) -> bytes:
        """Waits up to `timeout` seconds (0: not at all) for `count` bytes (0 to 127) from the
        camera and returns the bytes delivered: fewer when the time ran out, empty bytes when
        nothing came. A ``close()`` from another thread ends the wait (OstraneError,
        CommsBadHandle)."""
        _uint(count, 7, "count")
        ms = _ms(timeout)
        if ms > 0x7FFFFFFF:
            raise ValueError("timeout too long")
        buffer = (ctypes.c_uint8 * 128)()
        got = ctypes.c_uint8(count)
        status = lib().OstraneCommsUSBReceive(self._n("OstraneCommsUSBReceive"), buffer, 128,
                                              ctypes.byref(got), ms)
        if status not in (0, _abi.CommsResult.CommsNoData):
            raise OstraneError("OstraneCommsUSBReceive", status)
        return bytes(buffer[:got.value])

    def close(self) -> None:
        """Closes the channel; a second call does nothing. A ``receive`` waiting on it on
        another thread ends."""
        with self._lock:
            number, self._number = self._number, None
        if number is None:
            return
        status = lib().OstraneCommsUSBClose(number)
        if status != 0:
            raise OstraneError("OstraneCommsUSBClose", status)

    def __enter__(self) -> "Channel":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            if getattr(self, "_number", None) is not None:
                self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        return f"<ostrane.Channel board {self.index}{' (closed)' if self.closed else ''}>"


def _close_all() -> None:
    for channel in list(_open_channels):
        try:
            channel.close()
        except Exception:
            pass
