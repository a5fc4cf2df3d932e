/* FT60x device interface of libOstraneCommsUSB: discovery, open and close, device control,
 * notifications, streaming pipes and logging. C linkage; usable from C99 and C++. */
#ifndef OSTRANE_FT60X_H
#define OSTRANE_FT60X_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(OSTRANE_BUILDING_LIBRARY)
#define FT60X_API __attribute__((visibility("default")))
#else
#define FT60X_API
#endif

#ifdef __cplusplus
#define FT60X_STATIC_ASSERT(cond, name) static_assert(cond, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define FT60X_STATIC_ASSERT(cond, name) _Static_assert(cond, #name)
#else
#define FT60X_STATIC_ASSERT(cond, name) typedef char ft60x_assert_##name[(cond) ? 1 : -1]
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status returned by every FT_* entry point that returns a status. */
typedef uint32_t FT_RESULT;

enum FT_STATUS_VALUE {
    STATUS_SUCCESS = 0,
    STATUS_BAD_HANDLE = 1,
    STATUS_NO_DEVICE = 2,
    STATUS_OPEN_FAILED = 3,
    STATUS_IO_FAILED = 4,
    STATUS_TOO_LARGE = 5,
    STATUS_BAD_PARAMETER = 6,
    STATUS_UNSUPPORTED = 17,
    STATUS_TIMED_OUT = 19,
    STATUS_TRANSFER_CANCELLED = 20,
    STATUS_DEVICE_GONE = 30,
    STATUS_SESSION_FAILED = 32
};

/* Open flags of FT_Create. */
#define FT_OPEN_BY_INDEX 0x10u
#define FT_OPEN_BY_SERIAL_NUMBER 0x01u
#define FT_OPEN_BY_DESCRIPTION 0x02u

/* Flags of FT_ListDevices. */
#define FT_LIST_NUMBER_ONLY 0x80000000u
#define FT_LIST_BY_INDEX 0x40000000u
#define FT_LIST_ALL 0x20000000u
#define FT_LIST_DESCRIPTION 0x02u

/* FT_DEVICE_INFO.flags bits. */
#define FT_FLAGS_OPENED 0x1u
#define FT_FLAGS_HISPEED 0x2u
#define FT_FLAGS_SUPERSPEED 0x4u

/* Device type of the FT602. */
#define FT_DEVICE_602 602u

/* Notification type passed by FT602 handles for an interrupt-endpoint message. */
#define FT_NOTIFICATION_CALLBACK_TYPE_INTERRUPT 2

/* Log levels; the threshold set with FT_SetDebug. */
typedef enum {
    FT_LOG_LEVEL_NONE = 0,
    FT_LOG_LEVEL_ERROR = 1,
    FT_LOG_LEVEL_WARNING = 2,
    FT_LOG_LEVEL_TRACE = 3
} FT_LOG_LEVEL;

/* One attached device, 88 bytes on LP64 (host byte order, natural alignment). */
typedef struct {
    uint32_t flags;
    uint32_t type;
    uint32_t id; /* vendor ID << 16 | product ID */
    uint32_t location_id;
    char serial_number[32];
    char description[32];
    void* handle;
} FT_DEVICE_INFO;

/* Transfer configuration of one pipe, 16 bytes. */
typedef struct {
    uint8_t bDisabled;
    uint8_t bNoLock;
    uint8_t bUrbNum;
    uint8_t bReserved0;
    uint16_t wBufNum;
    uint16_t wReserved1;
    uint32_t dwBufSize;
    uint32_t dwExtra;
} FT_PIPE_TRANSFER_CONF;

/* Transfer configuration of one FIFO channel, 40 bytes; aPipe[0] is IN, aPipe[1] is OUT. */
typedef struct _FT_TRANSFER_CONF {
    uint16_t wStructSize;
    uint16_t wReserved0;
    FT_PIPE_TRANSFER_CONF aPipe[2];
    uint8_t bStopOnShortBuf;
    uint8_t bFifoMode;
    uint8_t bReserved;
    uint8_t bReserved1;
} FT_TRANSFER_CONF;

#define FT_PIPE_DIR_IN 0
#define FT_PIPE_DIR_OUT 1

/* Standard configuration descriptor fields, 10 bytes with one pad byte. */
typedef struct {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t wTotalLength;
    uint8_t bNumInterfaces;
    uint8_t bConfigurationValue;
    uint8_t iConfiguration;
    uint8_t bmAttributes;
    uint8_t MaxPower;
    uint8_t bPad;
} FT_CONFIGURATION_DESCRIPTOR;

/* Pipe information record of FT_GetPipeInformation. */
typedef struct {
    uint8_t bDescriptorType;
    uint8_t bEndpointAddress;
    uint16_t wMaxPacketSize;
    uint8_t bInterval;
} FT_PIPE_INFORMATION;

FT60X_STATIC_ASSERT(sizeof(FT_PIPE_TRANSFER_CONF) == 16, pipe_conf_size);
FT60X_STATIC_ASSERT(offsetof(FT_PIPE_TRANSFER_CONF, bDisabled) == 0, pipe_conf_disabled);
FT60X_STATIC_ASSERT(offsetof(FT_PIPE_TRANSFER_CONF, bNoLock) == 1, pipe_conf_nolock);
FT60X_STATIC_ASSERT(offsetof(FT_PIPE_TRANSFER_CONF, bUrbNum) == 2, pipe_conf_urbnum);
FT60X_STATIC_ASSERT(offsetof(FT_PIPE_TRANSFER_CONF, wBufNum) == 4, pipe_conf_bufnum);
FT60X_STATIC_ASSERT(offsetof(FT_PIPE_TRANSFER_CONF, dwBufSize) == 8, pipe_conf_bufsize);
FT60X_STATIC_ASSERT(offsetof(FT_PIPE_TRANSFER_CONF, dwExtra) == 12, pipe_conf_extra);

FT60X_STATIC_ASSERT(sizeof(FT_TRANSFER_CONF) == 40, xfr_conf_size);
FT60X_STATIC_ASSERT(offsetof(FT_TRANSFER_CONF, wStructSize) == 0, xfr_conf_structsize);
FT60X_STATIC_ASSERT(offsetof(FT_TRANSFER_CONF, aPipe) == 4, xfr_conf_pipe);
FT60X_STATIC_ASSERT(offsetof(FT_TRANSFER_CONF, bStopOnShortBuf) == 36, xfr_conf_stop);
FT60X_STATIC_ASSERT(offsetof(FT_TRANSFER_CONF, bFifoMode) == 37, xfr_conf_fifomode);
FT60X_STATIC_ASSERT(offsetof(FT_TRANSFER_CONF, bReserved) == 38, xfr_conf_reserved);

FT60X_STATIC_ASSERT(offsetof(FT_DEVICE_INFO, flags) == 0, info_flags);
FT60X_STATIC_ASSERT(offsetof(FT_DEVICE_INFO, type) == 4, info_type);
FT60X_STATIC_ASSERT(offsetof(FT_DEVICE_INFO, id) == 8, info_id);
FT60X_STATIC_ASSERT(offsetof(FT_DEVICE_INFO, location_id) == 12, info_location);
FT60X_STATIC_ASSERT(offsetof(FT_DEVICE_INFO, serial_number) == 16, info_serial);
FT60X_STATIC_ASSERT(offsetof(FT_DEVICE_INFO, description) == 48, info_description);
FT60X_STATIC_ASSERT(sizeof(void*) != 8 || offsetof(FT_DEVICE_INFO, handle) == 80, info_handle);
FT60X_STATIC_ASSERT(sizeof(void*) != 8 || sizeof(FT_DEVICE_INFO) == 88, info_size);

FT60X_STATIC_ASSERT(sizeof(FT_CONFIGURATION_DESCRIPTOR) == 10, config_descriptor_size);
FT60X_STATIC_ASSERT(offsetof(FT_CONFIGURATION_DESCRIPTOR, MaxPower) == 8, config_descriptor_power);
FT60X_STATIC_ASSERT(offsetof(FT_PIPE_INFORMATION, wMaxPacketSize) == 2, pipe_info_mps);
FT60X_STATIC_ASSERT(offsetof(FT_PIPE_INFORMATION, bInterval) == 4, pipe_info_interval);

/* Called on the library's callback thread (never the USB event thread), one at a time in arrival
 * order; it may call any entry point. FT602 handles pass type 2 and a null info. */
typedef void (*FT_NOTIFICATION_CALLBACK)(void* context, int type, void* info);

/* Called on a thread of its own for each attachment (arrived true) or detachment, and for each
 * listed board when the client is registered. */
typedef void (*FT_HOTPLUG_CALLBACK)(unsigned long uid, FT_DEVICE_INFO* info, bool arrived,
                                    void* context);

/* Enumeration, open and close. FT_GetDeviceInfoList copies at most as many records as the
 * calling thread was last told by FT_CreateDeviceInfoList or FT_ListDevices (on a thread never
 * told, the count last told to any thread), whatever other threads' enumerations found since.
 * A handle value is never given out twice in the life of the process. */
FT60X_API FT_RESULT FT_CreateDeviceInfoList(uint32_t* numDevices);
FT60X_API FT_RESULT FT_GetDeviceInfoList(FT_DEVICE_INFO* list, uint32_t* numDevices);
FT60X_API FT_RESULT FT_GetDeviceInfoDetail(uint32_t index, uint32_t* flags, uint32_t* type,
                                           uint32_t* id, uint32_t* locationId,
                                           void* serialNumber, void* description,
                                           void** handle);
FT60X_API FT_RESULT FT_ListDevices(void* firstArgument, void* secondArgument, uint32_t flags);
FT60X_API FT_RESULT FT_Create(void* identifier, uint32_t flags, void** handle);
FT60X_API FT_RESULT FT_Close(void* handle);
FT60X_API FT_RESULT FT_GetLibraryVersion(uint32_t* version);
FT60X_API FT_RESULT FT_GetDriverVersion(void* handle, uint32_t* version);
/* 6 for a null, unknown or closed handle, as for a null version pointer. */
FT60X_API FT_RESULT FT_GetFirmwareVersion(void* handle, uint32_t* version);

/* Device control. The setup packet carries bmRequestType in its least significant byte,
 * then bRequest, wValue, wIndex and wLength. wLength must fit bufferLength (else 6);
 * *lengthTransferred receives the bytes that moved, also when the request failed. */
FT60X_API FT_RESULT FT_ControlTransfer(void* handle, uint64_t setupPacket, uint8_t* buffer,
                                       uint32_t bufferLength, uint32_t* lengthTransferred);
FT60X_API FT_RESULT FT_SetNotificationCallback(void* handle, FT_NOTIFICATION_CALLBACK callback,
                                               void* context);
FT60X_API void FT_ClearNotificationCallback(void* handle);
/* A removal from a host thread returns once no callback of the client runs; from inside a
 * callback of the library it does not wait (see the README, "Threads and callbacks"). */
FT60X_API bool FT_SetHotplugCallback(FT_HOTPLUG_CALLBACK callback, void* context, bool remove);
/* 6 for a null, unknown or closed handle, as for a null configuration pointer. */
FT60X_API FT_RESULT FT_GetChipConfiguration(void* handle, void* configuration);
FT60X_API FT_RESULT FT_SetChipConfiguration(void* handle, void* configuration);
/* Stops the pipes (OUT data drains for up to 10 s per pipe) and resets the port; two resets of
 * one handle run one after the other. */
FT60X_API FT_RESULT FT_ResetDevicePort(void* handle);
FT60X_API void FT_DumpStatus(void* handle, uint8_t pipeIndex, bool outPipe);
FT60X_API FT_RESULT FT_GetVIDPID(void* handle, uint16_t* vid, uint16_t* pid);
FT60X_API FT_RESULT FT_EnableGPIO(void* handle, uint8_t mask, uint8_t direction);
FT60X_API FT_RESULT FT_WriteGPIO(void* handle, uint8_t mask, uint8_t level);
FT60X_API FT_RESULT FT_ReadGPIO(void* handle, uint8_t* level);
FT60X_API FT_RESULT FT_SetGPIOPull(void* handle, uint8_t mask, uint8_t pull);
FT60X_API FT_RESULT FT_AccessMemory(void* handle, bool write, uint32_t address, uint8_t* buffer,
                                    uint16_t length);
FT60X_API FT_RESULT FT_GetChipCRC(void* handle, uint16_t* crc);
FT60X_API FT_RESULT FT_GetDescriptor(void* handle, uint8_t descriptorType, uint8_t index,
                                     uint8_t* buffer, uint32_t bufferLength,
                                     uint32_t* lengthTransferred);
FT60X_API FT_RESULT FT_GetStringDescriptor(void* handle, uint8_t index, void* descriptor);
FT60X_API FT_RESULT FT_GetDeviceDescriptor(void* handle, void* descriptor);
FT60X_API FT_RESULT FT_GetConfigurationDescriptor(void* handle, void* descriptor);
FT60X_API FT_RESULT FT_GetInterfaceDescriptor(void* handle, uint8_t index, void* descriptor);
FT60X_API FT_RESULT FT_GetPipeInformation(void* handle, uint8_t interfaceIndex, uint8_t pipeIndex,
                                          void* information);
FT60X_API bool FT_EnterDFUMode(void* handle);
FT60X_API bool FT_UpdateCfgProfile(void* handle, void* profile);
FT60X_API bool FT_UpdateCfgProfileSS(void* handle, uint8_t selector, void* profile, uint8_t count);
FT60X_API bool FT_UpdateCfgProfileHS(void* handle, uint8_t selector, void* profile, uint8_t count);
FT60X_API bool FT_UpdateCfgProfileFS(void* handle, uint8_t selector, void* profile, uint8_t count);

/* Logging: stream (null: standard output) and threshold. */
FT60X_API void FT_SetDebug(FILE* stream, FT_LOG_LEVEL level);

/* Transfer configuration for the next open; fifoId 0 to 3, 4 is taken as 0. Buffers larger
 * than 256 MiB, or more than 4 GiB of them for one pipe, are refused with 5.
 * The next open of the process takes it, whichever thread makes it: FT_Create, or the FT_Create
 * inside OstraneCommsUSBOpenByIndex. An open of another thread between this call and the
 * FT_Create meant for it takes the configuration, and that FT_Create opens without it (no FIFO
 * mode: pipe calls fail with 6). A program that opens from several threads therefore holds one
 * lock of its own around every open: this call with its FT_Create, and every other FT_Create
 * and OstraneCommsUSBOpenByIndex. */
FT60X_API FT_RESULT FT_SetTransferParams(FT_TRANSFER_CONF* conf, uint32_t fifoId);

/* Streaming pipes. Calls on one pipe take turns; waiting for the turn counts against the call's
 * time-out (timeoutMs, or FT_SetPipeTimeout's for the calls without one). A read or write reports
 * the bytes it moved in *transferred whatever its status; one of length 0 reports the pipe's
 * state. FT_FlushPipe drops the data an IN pipe received that no read has started on (the rest of
 * a buffer a read took part of comes first in the next read) or an OUT pipe's unsent data, and
 * streams again. FT_GetUnsentBuffer stops an OUT pipe (until a flush) and with a null buffer
 * reports the unsent byte count in *length, else copies up to *length unsent bytes, drops the
 * rest and reports the bytes copied. */
FT60X_API FT_RESULT FT_WritePipe(void* handle, uint8_t pipeId, const uint8_t* data,
                                 uint32_t length, uint32_t* transferred, void* overlapped);
FT60X_API FT_RESULT FT_WritePipeEx(void* handle, uint8_t fifoId, const uint8_t* data,
                                   uint32_t length, uint32_t* transferred, uint32_t timeoutMs);
FT60X_API FT_RESULT FT_ReadPipe(void* handle, uint8_t pipeId, uint8_t* buffer, uint32_t length,
                                uint32_t* transferred, void* overlapped);
FT60X_API FT_RESULT FT_ReadPipeEx(void* handle, uint8_t fifoId, uint8_t* buffer, uint32_t length,
                                  uint32_t* transferred, uint32_t timeoutMs);
FT60X_API FT_RESULT FT_FlushPipe(void* handle, uint8_t pipeId);
FT60X_API FT_RESULT FT_SetPipeTimeout(void* handle, uint8_t pipeId, uint32_t timeoutMs);
FT60X_API FT_RESULT FT_GetReadQueueStatus(void* handle, uint8_t fifoId, uint32_t* bytes);
FT60X_API FT_RESULT FT_GetWriteQueueStatus(void* handle, uint8_t fifoId, uint32_t* bytes);
FT60X_API FT_RESULT FT_GetUnsentBuffer(void* handle, uint8_t fifoId, uint8_t* buffer,
                                       uint32_t* length);

#ifdef __cplusplus
}
#endif

#endif /* OSTRANE_FT60X_H */
