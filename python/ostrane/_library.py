"""Finding and loading libOstraneCommsUSB.so.0, and turning its status numbers into exceptions."""
from __future__ import annotations

import ctypes
import os
import threading
from typing import Optional

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


class OstraneError(Exception):
    """A library call failed.

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
        """True when the board was unplugged (pipe calls say so with STATUS_DEVICE_GONE,
        requests with STATUS_IO_FAILED, which other failures share)."""
        return self.status == _abi.Status.STATUS_DEVICE_GONE and not self.call.startswith("OstraneComms")


def check(call: str, status: int, transferred: int = 0) -> None:
    """Raises OstraneError unless `status` is success (0)."""
    if status != 0:
        raise OstraneError(call, status, transferred=transferred)


def version_text(packed: int) -> str:
    """'major.minor.patch' of a version number packed as major<<24 | minor<<16 | patch."""
    return f"{packed >> 24}.{packed >> 16 & 0xFF}.{packed & 0xFFFF}"
