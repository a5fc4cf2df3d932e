/* Board channel of libOstraneCommsUSB: open an Ostrane board by its FT60x device index, send
 * bytes to the camera behind it, wait for and read its reply, close. C linkage; usable from C99
 * and C++. A channel number is an int from 0 to 255; -1 means no channel. */
#ifndef OSTRANE_OSTRANECOMMSUSB_H
#define OSTRANE_OSTRANECOMMSUSB_H

#include <stddef.h>
#include <stdint.h>

#include "ostrane/OstraneExport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Return codes of the four calls; 3 is never returned. */
enum OstraneCommsResult {
    CommsOk = 0,
    CommsFailed = 1,         /* register access, data transfer or close failed */
    CommsBadLength = 2,      /* receive: requested count of 128 or more */
    CommsNoData = 4,         /* receive: nothing in the receive FIFO when the wait ended */
    CommsOpenFailed = 5,     /* open: device not opened (index never opened before) */
    CommsIndexUsed = 6,      /* open: device not opened, index was opened earlier */
    CommsBadHandle = 7,      /* null channel pointer, table full, or unknown channel */
    CommsBufferTooSmall = 8, /* receive: buffer smaller than the requested count */
    CommsNullPointer = 9     /* null data, buffer or count pointer */
};

/* The channel number that means no channel. */
#define OSTRANE_COMMS_INVALID_HANDLE (-1)

/* Largest number of bytes one transmit or receive moves. */
#define OSTRANE_COMMS_MAX_TRANSFER 128

/* Opens FT60x device number `index` (0 to 255) and stores the new channel number in *handle. */
OSTRANE_API unsigned int OstraneCommsUSBOpenByIndex(int* handle, int index);

/* Sends `length` bytes (at most 128) to the board's UART. */
OSTRANE_API unsigned int OstraneCommsUSBTransmit(int handle, const void* data, size_t length);

/* Waits up to `timeoutMs` milliseconds (0: no waiting) for *count bytes (0 to 127) and reads
 * them into `buffer`; *count then holds the number of bytes delivered. The wait sleeps until the
 * board's notification or the time-out. A bridge register that cannot be read gives CommsFailed
 * with *count untouched, never "nothing there". Called from a notification callback, it asks the
 * board for its receive level instead of waiting for the channel's notification, which would
 * come only after that callback.
 * Threads may share a channel: receives on it take turns, each waiting for its turn within its
 * own time-out, so every byte goes to exactly one of them and none fails because of another. One
 * that does not get its turn in time received nothing: CommsNoData with *count 0 (a zero
 * time-out does not wait for the turn: CommsOk with *count 0). A transmit does not wait for a
 * receive. Closing the channel ends the calls waiting on it (CommsBadHandle). */
OSTRANE_API unsigned int OstraneCommsUSBReceive(int handle, void* buffer, size_t bufferSize,
                                                uint8_t* count, int timeoutMs);

/* Closes the channel; the number is free afterwards, whatever the result. */
OSTRANE_API unsigned int OstraneCommsUSBClose(int handle);

#ifdef __cplusplus
}
#endif

#endif /* OSTRANE_OSTRANECOMMSUSB_H */
