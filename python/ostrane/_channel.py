"""The board channel: commands to the camera behind a board's UART bridge, and its replies."""
from __future__ import annotations

import ctypes
import threading
import time
import weakref
from typing import Optional

from . import _abi
from ._boards import list_boards
from ._device import Buffer, _ms, _open_lock, _uint
from ._library import SLICE_MS, OstraneError, interrupts_deferred, lib

_open_channels: "weakref.WeakSet[Channel]" = weakref.WeakSet()


class Channel:
    """The board channel of board `index` (its position in ``list_boards()``): bytes to the
    camera behind the board and its replies, through the board's UART bridge.

    A context manager; ``close()`` ends it. Failures raise ``OstraneError`` with the C call's
    name and its ``Comms*`` result name.

    Threads may share a channel. Receives take turns, each within its own time-out, so every
    byte goes to exactly one of them; ``request`` sends and receives as one turn, so that a
    reply goes to the thread whose command asked for it.

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
        self._turn = threading.Lock()
        self._held = b""  # what a receive interrupted by Ctrl-C had taken
        self._timeout = 0.1
        number = ctypes.c_int(_abi.OSTRANE_COMMS_INVALID_HANDLE)
        with _open_lock:
            status = lib().OstraneCommsUSBOpenByIndex(ctypes.byref(number), index)
        if status != 0:
            detail = f"board {index}"
            if status in (_abi.CommsResult.CommsOpenFailed, _abi.CommsResult.CommsIndexUsed) and \
                    any(b.index == index and b.open for b in list_boards()):
                detail += " is already open in this process (a Device or Channel holds it)"
            raise OstraneError("OstraneCommsUSBOpenByIndex", status, detail=detail)
        self._number = number.value
        _open_channels.add(self)

    @property
    def closed(self) -> bool:
        """True once ``close()`` was called."""
        return self._number is None

    @property
    def timeout(self) -> float:
        """Seconds that ``receive`` and ``request`` wait when given no time-out: 0.1 unless
        set."""
        return self._timeout

    @timeout.setter
    def timeout(self, seconds: float) -> None:
        _ms(seconds)
        self._timeout = float(seconds)

    def _n(self, call: str) -> int:
        number = self._number
        if number is None:
            raise OstraneError(call, _abi.CommsResult.CommsBadHandle, detail="the channel is closed")
        return number

    def send(self, data: Buffer) -> None:
        """Sends `data` (1 to 128 bytes) to the camera."""
        if isinstance(data, str):
            raise TypeError("send takes bytes, not str (encode it)")
        payload = bytes(memoryview(data).cast("B"))
        if not 0 < len(payload) <= self.MAX_SEND:
            raise ValueError(f"send takes 1 to {self.MAX_SEND} bytes, not {len(payload)}")
        status = lib().OstraneCommsUSBTransmit(self._n("OstraneCommsUSBTransmit"), payload,
                                               len(payload))
        if status != 0:
            raise OstraneError("OstraneCommsUSBTransmit", status)

    def receive(self, count: int = 127, timeout: Optional[float] = None) -> bytes:
        """Waits up to `timeout` seconds (0: not at all; None: ``self.timeout``) for `count`
        bytes (0 to 127) from the camera and returns the bytes delivered: fewer when the time
        ran out, empty bytes when nothing came. A ``close()`` from another thread ends the wait
        (OstraneError, CommsBadHandle). Ctrl-C ends it within a fraction of a second; what it
        had taken comes first in the next receive."""
        return self._exchange(None, count, timeout)

    def request(self, data: Buffer, count: int = 127, timeout: Optional[float] = None) -> bytes:
        """``send(data)`` and then ``receive(count, timeout)`` in one turn: no receive of
        another thread comes between them."""
        return self._exchange(data, count, timeout)

    def _exchange(self, data: Optional[Buffer], count: int, timeout: Optional[float]) -> bytes:
        _uint(count, 7, "count")
        ms = _ms(self._timeout if timeout is None else timeout)
        if ms > 0x7FFFFFFF:
            raise ValueError("timeout too long")
        end = time.monotonic() + ms / 1000
        # One that does not get its turn within its time-out received nothing.
        if not self._turn.acquire(timeout=ms / 1000 if ms else 0):
            return b""
        try:
            if data is not None:
                self.send(data)
            return self._receive(count, end)
        finally:
            self._turn.release()

    def _receive(self, count: int, end: float) -> bytes:
        # In slices, each a receive of its own: a slice that ends early leaves the rest in the
        # bridge for the next one.
        call = "OstraneCommsUSBReceive"
        buffer = (ctypes.c_uint8 * 128)()
        got = min(len(self._held), count)
        ctypes.memmove(buffer, self._held, got)
        self._held = self._held[got:]
        with interrupts_deferred() as interrupted:
            left, more = max(0, round((end - time.monotonic()) * 1000)), got < count or count == 0
            while more:
                n = self._n(call)  # a close between slices ends the receive
                delivered = ctypes.c_uint8(count - got)
                status = lib().OstraneCommsUSBReceive(n, ctypes.addressof(buffer) + got, 128 - got,
                                                      ctypes.byref(delivered), min(left, SLICE_MS))
                if status == _abi.CommsResult.CommsFailed:
                    status = self._recheck(n, buffer, got, count, delivered)
                if status not in (0, _abi.CommsResult.CommsNoData):
                    raise OstraneError(call, status)
                got += delivered.value
                left = max(0, round((end - time.monotonic()) * 1000))
                more = got < count and left > 0 and not interrupted
            if interrupted:
                self._held = bytes(buffer[:got]) + self._held
        return bytes(buffer[:got])

    @staticmethod
    def _recheck(n: int, buffer: "ctypes.Array[ctypes.c_uint8]", got: int, count: int,
                 delivered: "ctypes.c_uint8") -> int:
        """A failed receive asks the board again at once: a failure that the board repeats is
        one, and else the bytes waiting are the answer. Never reports a fault that the board
        does not show."""
        delivered.value = count - got
        return int(lib().OstraneCommsUSBReceive(n, ctypes.addressof(buffer) + got, 128 - got,
                                                ctypes.byref(delivered), 0))

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
