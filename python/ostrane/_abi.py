"""Constants, records and prototypes of the library's public C headers (ostrane/ft60x.h and
ostrane/OstraneCommsUSB.h), in one place. tests/python/test_layout.py compiles a C program
against the headers and checks every record and constant here against it."""
from __future__ import annotations

import ctypes
import enum
from ctypes import POINTER, c_bool, c_char, c_int, c_size_t, c_uint8, c_uint16, c_uint32, c_uint64
from ctypes import c_ulong, c_void_p

class Status(enum.IntEnum):
    """enum FT_STATUS_VALUE: the status of every FT_* call that returns one."""
    STATUS_SUCCESS = 0
    STATUS_BAD_HANDLE = 1
    STATUS_NO_DEVICE = 2
    STATUS_OPEN_FAILED = 3
    STATUS_IO_FAILED = 4
    STATUS_TOO_LARGE = 5
    STATUS_BAD_PARAMETER = 6
    STATUS_UNSUPPORTED = 17
    STATUS_TIMED_OUT = 19
    STATUS_TRANSFER_CANCELLED = 20
    STATUS_DEVICE_GONE = 30
    STATUS_SESSION_FAILED = 32


class CommsResult(enum.IntEnum):
    """enum OstraneCommsResult: the result of the board channel's calls."""
    CommsOk = 0
    CommsFailed = 1
    CommsBadLength = 2
    CommsNoData = 4
    CommsOpenFailed = 5
    CommsIndexUsed = 6
    CommsBadHandle = 7
    CommsBufferTooSmall = 8
    CommsNullPointer = 9


# #define constants
FT_OPEN_BY_INDEX = 0x10
FT_OPEN_BY_SERIAL_NUMBER = 0x01
FT_OPEN_BY_DESCRIPTION = 0x02
FT_LIST_NUMBER_ONLY = 0x80000000
FT_LIST_BY_INDEX = 0x40000000
FT_LIST_ALL = 0x20000000
FT_LIST_DESCRIPTION = 0x02
FT_FLAGS_OPENED = 0x1
FT_FLAGS_HISPEED = 0x2
FT_FLAGS_SUPERSPEED = 0x4
FT_DEVICE_602 = 602
FT_NOTIFICATION_CALLBACK_TYPE_INTERRUPT = 2
FT_LOG_LEVEL_NONE = 0
FT_LOG_LEVEL_ERROR = 1
FT_LOG_LEVEL_WARNING = 2
FT_LOG_LEVEL_TRACE = 3
FT_PIPE_DIR_IN = 0
FT_PIPE_DIR_OUT = 1
OSTRANE_COMMS_INVALID_HANDLE = -1
OSTRANE_COMMS_MAX_TRANSFER = 128

# Name -> value tables, for the layout test and the error names.
FT_STATUS = {m.name: int(m) for m in Status}
COMMS_RESULT = {m.name: int(m) for m in CommsResult}
DEFINES = {name: value for name, value in dict(globals()).items()
           if name.startswith(("FT_", "OSTRANE_")) and isinstance(value, int)}

FT_RESULT = c_uint32


class FT_DEVICE_INFO(ctypes.Structure):
    _fields_ = [
        ("flags", c_uint32),
        ("type", c_uint32),
        ("id", c_uint32),
        ("location_id", c_uint32),
        ("serial_number", c_char * 32),
        ("description", c_char * 32),
        ("handle", c_void_p),
    ]


class FT_PIPE_TRANSFER_CONF(ctypes.Structure):
    _fields_ = [
        ("bDisabled", c_uint8),
        ("bNoLock", c_uint8),
        ("bUrbNum", c_uint8),
        ("bReserved0", c_uint8),
        ("wBufNum", c_uint16),
        ("wReserved1", c_uint16),
        ("dwBufSize", c_uint32),
        ("dwExtra", c_uint32),
    ]


class FT_TRANSFER_CONF(ctypes.Structure):
    _fields_ = [
        ("wStructSize", c_uint16),
        ("wReserved0", c_uint16),
        ("aPipe", FT_PIPE_TRANSFER_CONF * 2),
        ("bStopOnShortBuf", c_uint8),
        ("bFifoMode", c_uint8),
        ("bReserved", c_uint8),
        ("bReserved1", c_uint8),
    ]


class FT_CONFIGURATION_DESCRIPTOR(ctypes.Structure):
    _fields_ = [
        ("bLength", c_uint8),
        ("bDescriptorType", c_uint8),
        ("wTotalLength", c_uint16),
        ("bNumInterfaces", c_uint8),
        ("bConfigurationValue", c_uint8),
        ("iConfiguration", c_uint8),
        ("bmAttributes", c_uint8),
        ("MaxPower", c_uint8),
        ("bPad", c_uint8),
    ]


class FT_PIPE_INFORMATION(ctypes.Structure):
    _fields_ = [
        ("bDescriptorType", c_uint8),
        ("bEndpointAddress", c_uint8),
        ("wMaxPacketSize", c_uint16),
        ("bInterval", c_uint8),
    ]


RECORDS = (FT_DEVICE_INFO, FT_PIPE_TRANSFER_CONF, FT_TRANSFER_CONF, FT_CONFIGURATION_DESCRIPTOR,
           FT_PIPE_INFORMATION)

# CFUNCTYPE thunks take the GIL themselves when the library's threads call them.
FT_NOTIFICATION_CALLBACK = ctypes.CFUNCTYPE(None, c_void_p, c_int, c_void_p)
FT_HOTPLUG_CALLBACK = ctypes.CFUNCTYPE(None, c_ulong, POINTER(FT_DEVICE_INFO), c_bool, c_void_p)

_u8p = POINTER(c_uint8)
_u32p = POINTER(c_uint32)

# name: (result type, argument types), as the headers declare them. Buffers are passed as void*
# so that bytes and ctypes arrays go through without copies.
PROTOTYPES = {
    "FT_CreateDeviceInfoList": (FT_RESULT, [_u32p]),
    "FT_GetDeviceInfoList": (FT_RESULT, [POINTER(FT_DEVICE_INFO), _u32p]),
    "FT_Create": (FT_RESULT, [c_void_p, c_uint32, POINTER(c_void_p)]),
    "FT_Close": (FT_RESULT, [c_void_p]),
    "FT_GetLibraryVersion": (FT_RESULT, [_u32p]),
    "FT_GetDriverVersion": (FT_RESULT, [c_void_p, _u32p]),
    "FT_GetFirmwareVersion": (FT_RESULT, [c_void_p, _u32p]),
    "FT_ControlTransfer": (FT_RESULT, [c_void_p, c_uint64, c_void_p, c_uint32, _u32p]),
    "FT_SetNotificationCallback": (FT_RESULT, [c_void_p, FT_NOTIFICATION_CALLBACK, c_void_p]),
    "FT_ClearNotificationCallback": (None, [c_void_p]),
    "FT_SetHotplugCallback": (c_bool, [FT_HOTPLUG_CALLBACK, c_void_p, c_bool]),
    "FT_GetChipConfiguration": (FT_RESULT, [c_void_p, c_void_p]),
    "FT_SetChipConfiguration": (FT_RESULT, [c_void_p, c_void_p]),
    "FT_ResetDevicePort": (FT_RESULT, [c_void_p]),
    "FT_GetVIDPID": (FT_RESULT, [c_void_p, POINTER(c_uint16), POINTER(c_uint16)]),
    "FT_EnableGPIO": (FT_RESULT, [c_void_p, c_uint8, c_uint8]),
    "FT_WriteGPIO": (FT_RESULT, [c_void_p, c_uint8, c_uint8]),
    "FT_ReadGPIO": (FT_RESULT, [c_void_p, _u8p]),
    "FT_SetGPIOPull": (FT_RESULT, [c_void_p, c_uint8, c_uint8]),
    "FT_AccessMemory": (FT_RESULT, [c_void_p, c_bool, c_uint32, c_void_p, c_uint16]),
    "FT_GetChipCRC": (FT_RESULT, [c_void_p, POINTER(c_uint16)]),
    "FT_GetDescriptor": (FT_RESULT, [c_void_p, c_uint8, c_uint8, _u8p, c_uint32, _u32p]),
    "FT_GetPipeInformation": (FT_RESULT, [c_void_p, c_uint8, c_uint8, POINTER(FT_PIPE_INFORMATION)]),
    "FT_SetTransferParams": (FT_RESULT, [POINTER(FT_TRANSFER_CONF), c_uint32]),
    "FT_WritePipe": (FT_RESULT, [c_void_p, c_uint8, c_void_p, c_uint32, _u32p, c_void_p]),
    "FT_WritePipeEx": (FT_RESULT, [c_void_p, c_uint8, c_void_p, c_uint32, _u32p, c_uint32]),
    "FT_ReadPipe": (FT_RESULT, [c_void_p, c_uint8, c_void_p, c_uint32, _u32p, c_void_p]),
    "FT_ReadPipeEx": (FT_RESULT, [c_void_p, c_uint8, c_void_p, c_uint32, _u32p, c_uint32]),
    "FT_FlushPipe": (FT_RESULT, [c_void_p, c_uint8]),
    "FT_SetPipeTimeout": (FT_RESULT, [c_void_p, c_uint8, c_uint32]),
    "FT_GetReadQueueStatus": (FT_RESULT, [c_void_p, c_uint8, _u32p]),
    "FT_GetWriteQueueStatus": (FT_RESULT, [c_void_p, c_uint8, _u32p]),
    "OstraneCommsUSBOpenByIndex": (ctypes.c_uint, [POINTER(c_int), c_int]),
    "OstraneCommsUSBTransmit": (ctypes.c_uint, [c_int, c_void_p, c_size_t]),
    "OstraneCommsUSBReceive": (ctypes.c_uint, [c_int, c_void_p, c_size_t, _u8p, c_int]),
    "OstraneCommsUSBClose": (ctypes.c_uint, [c_int]),
}
