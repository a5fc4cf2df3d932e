"""Finding and loading libOstraneCommsUSB.so.0, and turning its status numbers into exceptions."""
from __future__ import annotations

import contextlib
import ctypes
import os
import signal
import threading
from typing import Iterator, List, Optional

from . import _abi

#: Environment variable naming the library to load instead of the system's: the path of
#: libOstraneCommsUSB.so.0 or of the directory holding it (a build tree's ``src`` directory).
LIBRARY_VARIABLE = "OSTRANE_LIBRARY"
LIBRARY_NAME = "libOstraneCommsUSB.so.0"

_lib: Optional[ctypes.CDLL] = None
_load_lock = threading.Lock()


def library_path() -> str:
    """The path or name handed to the dynamic loader: $OSTRANE_LIBRARY when set, else the
    soname, found as the system finds it (ld.so.cache, LD_LIBRARY_PATH)."""
    chosen = os.environ.get(LIBRARY_VARIABLE)
    if not chosen:
        return LIBRARY_NAME
    return os.path.join(chosen, LIBRARY_NAME) if os.path.isdir(chosen) else chosen


def lib() -> ctypes.CDLL:
    """The loaded library with every prototype set; loaded on first use, so that importing the
    package (and help()) works without it."""
    global _lib
    if _lib is not None:
        return _lib
    with _load_lock:
        if _lib is None:
            path = library_path()
            try:
                handle = ctypes.CDLL(path)
            except OSError as e:
                raise OSError(f"cannot load {path} ({e}); install libostranecommsusb0 or set "
                              f"{LIBRARY_VARIABLE} to the library of a build tree") from e
            for name, (restype, argtypes) in _abi.PROTOTYPES.items():
                fn = getattr(handle, name)
                fn.restype = restype
                fn.argtypes = argtypes
            _lib = handle
    return _lib


_STATUS_NAMES = {v: k for k, v in _abi.FT_STATUS.items()}
_COMMS_NAMES = {v: k for k, v in _abi.COMMS_RESULT.items()}


class OstraneError(OSError):
    """A library call failed. An ``OSError``, as the errors of pyserial and pyusb are.

    Attributes:
        call: the C entry point that failed, e.g. ``"FT_ReadPipeEx"``.
        status: the number it returned.
        name: that number's name in the headers, e.g. ``"STATUS_DEVICE_GONE"`` or
            ``"CommsNoData"``.
        transferred: for pipe reads and writes, the bytes moved before the failure (else 0).
    """

    def __init__(self, call: str, status: int, name: Optional[str] = None, transferred: int = 0,
                 detail: str = "") -> None:
        if name is None:
            table = _COMMS_NAMES if call.startswith("OstraneComms") else _STATUS_NAMES
            name = table.get(status, f"status {status}")
        self.call = call
        self.status = int(status)
        self.name = name
        self.transferred = transferred
        text = f"{call}: {name} (status {status})"
        super().__init__(text + (f": {detail}" if detail else ""))

    @property
    def device_gone(self) -> bool:
        """True when the board was unplugged (the error is an ``OstraneGone``)."""
        return isinstance(self, OstraneGone)


class OstraneTimeout(OstraneError, TimeoutError):
    """A call that the library ended with STATUS_TIMED_OUT as a failure. Running out of time in
    ``read``, ``readinto``, ``write`` and ``receive`` is no failure: they return what moved."""


class OstraneGone(OstraneError):
    """The board was unplugged: every later call on its ``Device`` raises this too. Close the
    device; the board, plugged in again, is a new entry of ``list_boards()``."""


def error(call: str, status: int, transferred: int = 0, detail: str = "") -> OstraneError:
    """The exception for a failed call: its class follows the status."""
    cls = OstraneError
    if call.startswith("FT_") and status == _abi.Status.STATUS_DEVICE_GONE:
        cls = OstraneGone
    elif call.startswith("FT_") and status == _abi.Status.STATUS_TIMED_OUT:
        cls = OstraneTimeout
    return cls(call, status, transferred=transferred, detail=detail)


def check(call: str, status: int, transferred: int = 0) -> None:
    """Raises OstraneError unless `status` is success (0)."""
    if status != 0:
        raise error(call, status, transferred)


def version_text(packed: int) -> str:
    """'major.minor.patch' of a version number packed as major<<24 | minor<<16 | patch."""
    return f"{packed >> 24}.{packed >> 16 & 0xFF}.{packed & 0xFFFF}"


#: Longest time one blocking C call of the package lasts: Python runs a Ctrl-C handler only
#: between calls, so a long wait is made of calls this long.
SLICE_MS = 100


@contextlib.contextmanager
def interrupts_deferred() -> Iterator[List[int]]:
    """For a wait made of slices: within the block a Ctrl-C is noted in the list instead of
    raising wherever the main thread happens to be, the block ends after its current slice with
    what it moved put where the caller finds it, and KeyboardInterrupt follows. Only the main
    thread with Python's default handler needs this; elsewhere the list stays empty."""
    seen: List[int] = []
    if (threading.current_thread() is not threading.main_thread()
            or signal.getsignal(signal.SIGINT) is not signal.default_int_handler):
        yield seen
        return
    previous = signal.signal(signal.SIGINT, lambda signum, _frame: seen.append(signum))
    try:
        yield seen
    finally:
        signal.signal(signal.SIGINT, previous)
        if seen:  # Ctrl-C wins over a failure that came with it
            raise KeyboardInterrupt
