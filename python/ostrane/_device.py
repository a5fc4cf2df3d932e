"""FT60x device handles: open and close, device control, notifications, streaming pipes."""
from __future__ import annotations

import ctypes
import itertools
import logging
import queue
import threading
import time
import weakref
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Tuple
from typing import Union

from . import _abi, _chipconfig
from ._boards import Board, _device_infos
from ._library import SLICE_MS, OstraneError, OstraneGone, check, error, interrupts_deferred, lib
from ._library import version_text

if TYPE_CHECKING:
    import array
    import mmap

log = logging.getLogger("ostrane")

# What a call fills (a read into it) and what it only reads. A NumPy array works as either at run
# time; a type checker wants it wrapped as memoryview(array).
WritableBuffer = Union[bytearray, memoryview, "array.array[Any]", "mmap.mmap", "ctypes.Array[Any]"]
Buffer = Union[bytes, WritableBuffer]


class Notification(NamedTuple):
    """A message from the board's interrupt endpoint: ``type`` as the library passes it (2 for
    the FT602) and ``time``, the ``time.monotonic()`` at its arrival in Python."""

    type: int
    time: float


NotificationCallback = Callable[["Device", Notification], None]

# One open at a time in the process, Device and Channel alike: the transfer configuration is the
# next open's, whichever thread makes it, so an open between another's FT_SetTransferParams and
# FT_Create would take that configuration.
_open_lock = threading.Lock()
# Context number -> device, for the one notification thunk of the process. The thunk is never
# freed: FT_Close from a callback returns before that callback has. Weak: a registration does not
# keep a dropped device open.
_notified: "weakref.WeakValueDictionary[int, Device]" = weakref.WeakValueDictionary()
_numbers = itertools.count(1)
_open_devices: "weakref.WeakSet[Device]" = weakref.WeakSet()
_END = object()
_GONE = "the board was unplugged; close the device"


def _on_notification(context: Optional[int], type_: int, _info: Optional[int]) -> None:
    try:
        device = _notified.get(context or 0)
        if device is not None:
            device._deliver(Notification(int(type_), time.monotonic()))
    except BaseException:
        # Nothing may unwind into the library's thread.
        log.exception("ostrane: notification callback failed")


_notification_thunk = _abi.FT_NOTIFICATION_CALLBACK(_on_notification)


def _ms(timeout: Optional[float], what: str = "timeout") -> int:
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"{what} must be a number of seconds")
    if not 0 <= timeout <= 0xFFFFFFFF / 1000:
        raise ValueError(f"{what} must be 0 to {0xFFFFFFFF // 1000} seconds, not {timeout}")
    return int(round(timeout * 1000))


def _uint(value: int, bits: int, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int")
    if not 0 <= value < 1 << bits:
        raise ValueError(f"{what} must be 0 to {(1 << bits) - 1}, not {value}")
    return value


def _pipe(pipe: int, inbound: bool) -> int:
    _uint(pipe, 8, "pipe")
    if bool(pipe & 0x80) != inbound or pipe & 0x7F == 0:
        raise ValueError(f"pipe 0x{pipe:02X} is not an {'IN' if inbound else 'OUT'} pipe "
                         f"(e.g. {'0x85' if inbound else '0x05'})")
    return pipe


def _writable(buffer: WritableBuffer) -> Tuple[Any, int]:
    """A ctypes view of a writable, contiguous buffer (no copy) and its size in bytes."""
    if isinstance(buffer, str):
        raise TypeError("a writable buffer is needed, not str")
    try:
        view = memoryview(buffer)
    except TypeError:
        raise TypeError(f"a writable buffer is needed, not {type(buffer).__name__}") from None
    if view.readonly:
        raise TypeError(f"the buffer ({type(buffer).__name__}) is read-only")
    if not view.c_contiguous:
        raise ValueError("the buffer must be contiguous")
    view = view.cast("B")
    if view.nbytes > 0xFFFFFFFF:
        raise ValueError("one call moves at most 4 GiB - 1")
    # from_buffer keeps the buffer exported (not resizable) while the C call uses it.
    return (ctypes.c_uint8 * view.nbytes).from_buffer(view) if view.nbytes else None, view.nbytes


def _readable(data: Buffer) -> Tuple[Any, int]:
    if isinstance(data, bytes):
        return data, len(data)
    if isinstance(data, str):
        raise TypeError("bytes-like data is needed, not str (encode it)")
    try:
        view = memoryview(data).cast("B")
    except TypeError:
        raise TypeError(f"bytes-like data is needed, not {type(data).__name__}") from None
    if view.nbytes > 0xFFFFFFFF:
        raise ValueError("one call moves at most 4 GiB - 1")
    if view.readonly or view.nbytes == 0:
        return view.tobytes(), view.nbytes
    return (ctypes.c_uint8 * view.nbytes).from_buffer(view), view.nbytes


def _fifo(pipe: int) -> int:
    """The FIFO number that the Ex pipe calls and the queue status take for an endpoint."""
    return (pipe & 0x7F) - 1


def _address(c_buf: Any) -> Optional[int]:
    """Where a buffer from _readable or _writable starts, for calls that take part of it."""
    if c_buf is None:
        return None
    if isinstance(c_buf, bytes):
        return ctypes.cast(ctypes.c_char_p(c_buf), ctypes.c_void_p).value
    return ctypes.addressof(c_buf)


class _NotificationIterator(Iterator[Notification]):
    """What ``Device.notifications()`` returns: listening from its creation, not from the first
    ``next()``; once ended (or dropped) it leaves nothing registered with the device."""

    def __init__(self, device: "Device", timeout: Optional[float]) -> None:
        self._timeout = timeout
        self._queue: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        self._device: Optional[Device] = device
        device._queues.append(self._queue)
        try:
            device._register()
        except BaseException:
            self._end()
            raise

    def __next__(self) -> Notification:
        device = self._device
        item: Any = _END
        if device is not None and device._handle is not None:
            try:
                item = self._queue.get(timeout=self._timeout)
            except queue.Empty:
                pass
        if item is _END:
            self._end()
            raise StopIteration
        return item

    def _end(self) -> None:
        device, self._device = self._device, None
        if device is not None:
            try:
                device._queues.remove(self._queue)
            except ValueError:
                pass

    def __del__(self) -> None:
        self._end()


class Device:
    """An open FT60x device: one board's chip, for device control and streaming.

    Open with ``Device.open(...)``; use as a context manager or call ``close()``. Every method
    raises ``OstraneError`` (with the C call's name and status) when the library fails, and
    ``TypeError``/``ValueError`` for bad arguments before calling it. After ``close()`` every
    method raises ``OstraneError`` with STATUS_BAD_HANDLE; once the board is unplugged, every
    method raises ``OstraneGone``.

    Methods may be called from several threads at once and from the package's callbacks, as
    the library allows: a read blocked on one thread ends (STATUS_TRANSFER_CANCELLED) when
    another closes the device, and with ``OstraneGone`` when the board is unplugged. Reads of
    one pipe take turns, as do writes.
    """

    def __init__(self, handle: int, board: Optional[Board], fifo: bool) -> None:
        """Use ``Device.open``."""
        self._handle: Optional[int] = handle
        self._board = board
        self.fifo = fifo
        self._lock = threading.Lock()
        self._number = 0
        self._gone = False
        self._callback: Optional[NotificationCallback] = None
        self._queues: List["queue.SimpleQueue[Any]"] = []
        self._timeout = 1.0
        self._timeouts: Dict[int, float] = {}
        # Per pipe: its turn, and (IN pipes) the bytes a read interrupted by Ctrl-C had taken.
        self._turns: Dict[int, threading.Lock] = {}
        self._held: Dict[int, bytes] = {}
        _open_devices.add(self)

    @classmethod
    def open(cls, index: Optional[int] = None, serial: Optional[str] = None,
             description: Optional[str] = None, fifo: bool = False) -> "Device":
        """Opens a board's FT60x device, chosen by list index (default 0), serial number or
        product description (at most one of them).

        ``fifo=True`` opens it in FIFO mode: the chip streams through the single FIFO whose
        pipes are 0x85 (IN) and 0x05 (OUT), as ``read``/``write`` use them.
        """
        chosen = [name for name, v in (("index", index), ("serial", serial),
                                       ("description", description)) if v is not None]
        if len(chosen) > 1:
            raise ValueError(f"give at most one of index, serial and description, not "
                             f"{' and '.join(chosen)}")
        if not isinstance(fifo, bool):
            raise TypeError("fifo must be True or False")
        if serial is not None or description is not None:
            text = serial if serial is not None else description
            if not isinstance(text, str):
                raise TypeError(f"{chosen[0]} must be a str")
            key = text.encode("utf-8")
            if not 0 < len(key) < 32 or b"\0" in key:
                raise ValueError(f"{chosen[0]} must be 1 to 31 bytes without NUL, not {text!r}")
            identifier: Any = ctypes.c_char_p(key)
            flags = (_abi.FT_OPEN_BY_SERIAL_NUMBER if serial is not None
                     else _abi.FT_OPEN_BY_DESCRIPTION)
        else:
            identifier = _uint(0 if index is None else index, 8, "index")
            flags = _abi.FT_OPEN_BY_INDEX
        handle = ctypes.c_void_p()
        with _open_lock:
            if fifo:
                _set_fifo_mode(True)
            try:
                status = lib().FT_Create(identifier, flags, ctypes.byref(handle))
            finally:
                if fifo:
                    _set_fifo_mode(False)
        if status == _abi.Status.STATUS_OPEN_FAILED and _already_open(flags, identifier):
            raise OstraneError("FT_Create", status, detail="the board is already open in this "
                               "process (a Device or Channel holds it)")
        check("FT_Create", status)
        if not handle.value:
            raise OstraneError("FT_Create", _abi.Status.STATUS_OPEN_FAILED)
        device = cls(handle.value, None, fifo)
        device._board = device._listing()
        return device

    # Lifetime

    def _h(self, call: str) -> int:
        handle = self._handle
        if handle is None:
            raise OstraneError(call, _abi.Status.STATUS_BAD_HANDLE, detail="the device is closed")
        if self._gone:
            raise OstraneGone(call, _abi.Status.STATUS_DEVICE_GONE, detail=_GONE)
        return handle

    def _error(self, call: str, status: int, transferred: int = 0,
               detail: str = "") -> OstraneError:
        """The exception for a failed call on this device: OstraneGone once the board has left.
        Pipe calls say so; a request fails with one status or another, and then the board no
        longer answers even a standard request (the board list shows the unplug only later).
        Once gone, always gone: the handle never works again."""
        handle = self._handle
        if not self._gone and handle is not None:
            descriptor, got = (ctypes.c_uint8 * 18)(), ctypes.c_uint32()
            self._gone = status == _abi.Status.STATUS_DEVICE_GONE or lib().FT_GetDescriptor(
                handle, 1, 0, descriptor, len(descriptor), ctypes.byref(got)) != 0
        if self._gone:
            return OstraneGone(call, status, transferred=transferred, detail=detail or _GONE)
        return error(call, status, transferred, detail)

    def _check(self, call: str, status: int) -> None:
        if status != 0:
            raise self._error(call, status)

    @property
    def closed(self) -> bool:
        """True once ``close()`` was called."""
        return self._handle is None

    def close(self) -> None:
        """Closes the device; a second call does nothing.

        Wakes reads and writes blocked on it, waits until a running notification callback of
        it has returned and every call in flight has ended, then releases the device. Called
        from this device's notification callback it returns at once; the release follows when
        the callback has returned (until then, opening the board again fails with
        STATUS_OPEN_FAILED). Iterators from ``notifications()`` end.
        """
        with self._lock:
            handle, self._handle = self._handle, None
        if handle is None:
            return
        try:
            status = lib().FT_Close(handle)
        finally:
            _notified.pop(self._number, None)
            self._held.clear()
            for q in list(self._queues):
                q.put(_END)
        check("FT_Close", status)

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            if getattr(self, "_handle", None) is not None:
                self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        board = self._board
        what = f"{board.serial!r}" if board else "?"
        return f"<ostrane.Device {what}{' (closed)' if self.closed else ''}>"

    # Identity and versions

    def _listing(self) -> Optional[Board]:
        for i, info in enumerate(_device_infos()):
            if info.handle == self._handle:
                return Board._from_info(info, i)
        return None

    def info(self) -> Board:
        """This device's entry in the board list (serial, description, IDs, speed)."""
        self._h("FT_GetDeviceInfoList")
        board = self._listing()
        if board is None:
            self._gone = True
            raise OstraneGone("FT_GetDeviceInfoList", _abi.Status.STATUS_DEVICE_GONE,
                              detail="the board is no longer listed")
        return board

    def vid_pid(self) -> Tuple[int, int]:
        """The USB vendor and product IDs."""
        vid, pid = ctypes.c_uint16(), ctypes.c_uint16()
        self._check("FT_GetVIDPID", lib().FT_GetVIDPID(self._h("FT_GetVIDPID"), ctypes.byref(vid),
                                                 ctypes.byref(pid)))
        return vid.value, pid.value

    def firmware_version(self) -> str:
        """The chip's firmware version, e.g. ``"1.2.7"``."""
        v = ctypes.c_uint32()
        self._check("FT_GetFirmwareVersion",
              lib().FT_GetFirmwareVersion(self._h("FT_GetFirmwareVersion"), ctypes.byref(v)))
        return version_text(v.value)

    # GPIO: pins 0 to 2, bit n of a mask or value for pin n.

    def gpio_read(self) -> int:
        """The levels of the three GPIO pins, bit n for pin n."""
        level = ctypes.c_uint8()
        self._check("FT_ReadGPIO", lib().FT_ReadGPIO(self._h("FT_ReadGPIO"), ctypes.byref(level)))
        return level.value & 7

    def gpio_enable(self, mask: int, direction: int) -> None:
        """Sets the direction of the pins in `mask`: bit n of `direction` 1 output, 0 input."""
        self._gpio("FT_EnableGPIO", _uint(mask, 3, "mask"), _uint(direction, 3, "direction"))

    def gpio_write(self, mask: int, value: int) -> None:
        """Sets the output level of the pins in `mask` to bit n of `value`."""
        self._gpio("FT_WriteGPIO", _uint(mask, 3, "mask"), _uint(value, 3, "value"))

    def gpio_pull(self, mask: int, pull: int) -> None:
        """Sets the pull of the pins in `mask`: bits 2n and 2n+1 of `pull` hold pin n's code
        (0 pull-down, 1 high impedance, 2 and 3 pull-up)."""
        self._gpio("FT_SetGPIOPull", _uint(mask, 3, "mask"), _uint(pull, 6, "pull"))

    def _gpio(self, call: str, mask: int, value: int) -> None:
        self._check(call, getattr(lib(), call)(self._h(call), mask, value))

    # Chip configuration and memory

    def chip_config(self) -> Dict[str, Any]:
        """The chip configuration as a dict: ``length``, ``raw`` (the image as bytes) and, for
        the known layouts, ``firmware_version`` and ``streams`` (four dicts mapping "full",
        "high" and "super" to lists of ``{"width", "height", "interval"}``, the interval in
        100 ns units). Edit it and hand it to ``set_chip_config``."""
        image = (ctypes.c_uint8 * _chipconfig.MAX_IMAGE)()
        self._check("FT_GetChipConfiguration",
              lib().FT_GetChipConfiguration(self._h("FT_GetChipConfiguration"), image))
        raw = bytes(image)
        length = int.from_bytes(raw[:2], "little")
        return _chipconfig.decode(raw[:min(length, len(raw))])

    def set_chip_config(self, config: Dict[str, Any]) -> None:
        """Writes a configuration from ``chip_config()``, edited: ``firmware_version`` and
        ``streams`` override the bytes of ``raw``. The image keeps the board's length."""
        image = _chipconfig.encode(config, self.chip_config()["length"])
        self._check("FT_SetChipConfiguration",
              lib().FT_SetChipConfiguration(self._h("FT_SetChipConfiguration"), image))

    def memory_read(self, address: int, n: int) -> bytes:
        """`n` bytes of the chip's memory from `address`."""
        buffer = bytearray(self._memory_range(address, n))
        self._memory(False, address, buffer)
        return bytes(buffer)

    def memory_write(self, address: int, data: Buffer) -> None:
        """Writes `data` into the chip's memory from `address`."""
        buffer = bytearray(memoryview(data).cast("B"))
        self._memory_range(address, len(buffer))
        self._memory(True, address, buffer)

    @staticmethod
    def _memory_range(address: int, n: int) -> int:
        _uint(address, 32, "address")
        _uint(n, 32, "length")
        if address + n > 1 << 32:
            raise ValueError(f"{n} bytes from 0x{address:08X} run past the 32-bit address space")
        return n

    def _memory(self, write: bool, address: int, buffer: bytearray) -> None:
        step = 4096
        view = memoryview(buffer)
        for at in range(0, len(buffer), step):
            chunk = view[at:at + step]
            # This call returns 1 when done (and for a bad handle, ruled out here), 0 on failure.
            if lib().FT_AccessMemory(self._h("FT_AccessMemory"), write, address + at,
                                     (ctypes.c_uint8 * len(chunk)).from_buffer(chunk),
                                     len(chunk)) != 1:
                raise self._error("FT_AccessMemory", _abi.Status.STATUS_IO_FAILED,
                                  detail=f"{'write' if write else 'read'} of {len(chunk)} bytes "
                                   f"at 0x{address + at:08X} refused")

    # Notifications

    def on_notification(self, callback: Optional[NotificationCallback]) -> None:
        """Calls ``callback(device, notification)`` for each notification of the board, on the
        library's callback thread, one at a time in arrival order; None stops the calls.

        The callback may call anything in this package, ``close()`` of this device included.
        An exception it raises is logged (logger ``"ostrane"``) and goes no further."""
        if callback is not None and not callable(callback):
            raise TypeError("on_notification needs a callable or None")
        self._h("FT_SetNotificationCallback")
        if callback is not None:
            self._register()
        self._callback = callback

    def notifications(self, timeout: Optional[float] = None) -> Iterator[Notification]:
        """An iterator over the notifications that arrive from this call on; it ends when none
        came for `timeout` seconds (None: wait until the device is closed) and when the device
        is closed. It holds the device only until it ends.

        >>> for n in device.notifications(timeout=2):  # doctest: +SKIP
        ...     print(n.type)
        """
        if timeout is not None:
            _ms(timeout)
        return _NotificationIterator(self, timeout)

    def _register(self) -> None:
        handle = self._h("FT_SetNotificationCallback")
        with self._lock:
            if self._number:
                return
            number = self._number = next(_numbers)
            _notified[number] = self
        status = lib().FT_SetNotificationCallback(handle, _notification_thunk, number)
        if status != 0:
            with self._lock:
                _notified.pop(number, None)
                self._number = 0
            self._check("FT_SetNotificationCallback", status)

    def _deliver(self, n: Notification) -> None:
        for q in list(self._queues):
            q.put(n)
        callback = self._callback
        if callback is not None:
            callback(self, n)

    # Streaming pipes. A pipe is an endpoint address: 0x85 (IN) and 0x05 (OUT) in FIFO mode.
    # timeout None uses the pipe's own time-out (``timeout``, unless set_pipe_timeout changed
    # it); running out of time is no error: the call returns what moved by then. Ctrl-C ends a
    # call within a fraction of a second: what a read had taken comes first in the next read of
    # that pipe, and what a write had handed over goes to the board.

    @property
    def timeout(self) -> float:
        """Seconds that ``read``, ``readinto`` and ``write`` wait when given no time-out: 1.0
        unless set. Setting it sets every pipe's, as ``set_pipe_timeout`` sets one pipe's."""
        return self._timeout

    @timeout.setter
    def timeout(self, seconds: float) -> None:
        _ms(seconds)
        self._timeout = float(seconds)
        self._timeouts.clear()

    @property
    def in_waiting(self) -> int:
        """Bytes that have arrived on IN pipe 0x85 and wait to be read."""
        n = ctypes.c_uint32()
        self._check("FT_GetReadQueueStatus", lib().FT_GetReadQueueStatus(
            self._h("FT_GetReadQueueStatus"), _fifo(0x85), ctypes.byref(n)))
        return n.value + len(self._held.get(0x85, b""))

    def write(self, pipe: int, data: Buffer, timeout: Optional[float] = None) -> int:
        """Writes `data` to OUT pipe `pipe`; returns the bytes taken (fewer only when the
        time ran out). A failure raises OstraneError whose ``transferred`` says how many
        bytes went before it."""
        _pipe(pipe, False)
        c_data, n = _readable(data)
        return self._transfer("FT_WritePipeEx", pipe, c_data, n, timeout)

    def read(self, pipe: int, n: int, timeout: Optional[float] = None) -> bytes:
        """Reads up to `n` bytes from IN pipe `pipe`: what came by the time-out (possibly
        nothing)."""
        buffer = bytearray(_uint(n, 32, "n"))
        got = self.readinto(pipe, buffer, timeout)
        return bytes(buffer) if got == n else bytes(memoryview(buffer)[:got])

    def readinto(self, pipe: int, buffer: WritableBuffer, timeout: Optional[float] = None) -> int:
        """Reads from IN pipe `pipe` into `buffer` (any writable contiguous buffer:
        bytearray, memoryview, array.array, a NumPy array) with no copy; returns the bytes
        read. A failure raises OstraneError whose ``transferred`` counts the bytes that
        arrived in `buffer` before it."""
        _pipe(pipe, True)
        c_buf, n = _writable(buffer)
        return self._transfer("FT_ReadPipeEx", pipe, c_buf, n, timeout)

    def _transfer(self, call: str, pipe: int, c_buf: Any, n: int, timeout: Optional[float]) -> int:
        # FT_ReadPipeEx or FT_WritePipeEx, in slices: a slice that ends early ends nothing, the
        # library keeps the order and the bytes between slices.
        ms = _ms(self._timeouts.get(pipe, self._timeout) if timeout is None else timeout)
        fn = getattr(lib(), call)
        end = time.monotonic() + ms / 1000
        reading = pipe & 0x80
        address = _address(c_buf)
        with self._turns.setdefault(pipe, threading.Lock()):
            h = self._h(call)
            done = 0
            if reading and n and self._held.get(pipe):
                held = self._held.pop(pipe)
                done = min(len(held), n)
                ctypes.memmove(c_buf, held, done)
                if done < len(held):
                    self._held[pipe] = held[done:]
            moved = ctypes.c_uint32()
            with interrupts_deferred() as interrupted:
                left, more = ms, done < n or n == 0
                while more:
                    status = fn(h, _fifo(pipe), None if address is None else address + done,
                                n - done, ctypes.byref(moved), min(left, SLICE_MS))
                    done += moved.value
                    if status == _abi.Status.STATUS_BAD_HANDLE and self._handle is None:
                        status = _abi.Status.STATUS_TRANSFER_CANCELLED  # closed between slices
                    if status not in (0, _abi.Status.STATUS_TIMED_OUT):
                        raise self._error(call, status, transferred=done)
                    left = max(0, round((end - time.monotonic()) * 1000))
                    more = done < n and left > 0 and not interrupted
                if interrupted and reading and done:
                    taken = ctypes.string_at(c_buf, done)
                    self._held[pipe] = taken + self._held.get(pipe, b"")
        return done

    def set_pipe_timeout(self, pipe: int, timeout: float) -> None:
        """Sets the time-out that ``read``/``write`` use on `pipe` when given none."""
        _uint(pipe, 8, "pipe")
        self._check("FT_SetPipeTimeout",
                    lib().FT_SetPipeTimeout(self._h("FT_SetPipeTimeout"), pipe, _ms(timeout)))
        self._timeouts[pipe] = float(timeout)

    def flush_pipe(self, pipe: int) -> None:
        """Drops the data queued on `pipe`."""
        _uint(pipe, 8, "pipe")
        self._check("FT_FlushPipe", lib().FT_FlushPipe(self._h("FT_FlushPipe"), pipe))

    def reset_port(self) -> None:
        """Resets the board's USB port (the loopback FIFO of a virtual board empties)."""
        self._check("FT_ResetDevicePort", lib().FT_ResetDevicePort(self._h("FT_ResetDevicePort")))


def _already_open(flags: int, identifier: Any) -> bool:
    """Whether the board that an open chose is listed as open by a handle of this process."""
    try:
        infos = _device_infos()
    except OstraneError:
        return False
    for i, info in enumerate(infos):
        if flags == _abi.FT_OPEN_BY_INDEX:
            chosen = i == identifier
        else:
            by_serial = flags == _abi.FT_OPEN_BY_SERIAL_NUMBER
            chosen = identifier.value == (info.serial_number if by_serial else info.description)
        if chosen:
            return bool(info.flags & _abi.FT_FLAGS_OPENED)
    return False


def _set_fifo_mode(on: bool) -> None:
    conf = _abi.FT_TRANSFER_CONF()
    conf.wStructSize = ctypes.sizeof(conf)
    conf.bFifoMode = 1 if on else 0
    check("FT_SetTransferParams", lib().FT_SetTransferParams(ctypes.byref(conf), 0))


def driver_version() -> str:
    """The library's own version, e.g. ``"0.5.25"``."""
    v = ctypes.c_uint32()
    check("FT_GetDriverVersion", lib().FT_GetDriverVersion(None, ctypes.byref(v)))
    return version_text(v.value)


def usb_library_version() -> str:
    """The version of the libusb-1.0 the library runs on."""
    v = ctypes.c_uint32()
    check("FT_GetLibraryVersion", lib().FT_GetLibraryVersion(ctypes.byref(v)))
    return version_text(v.value)


def _close_all() -> None:
    for device in list(_open_devices):
        try:
            device.close()
        except Exception:
            pass
