/* The public C headers used from a C99 translation unit. */
#include "ostrane/OstraneCommsUSB.h"
#include "ostrane/ft60x.h"

/* Compatible redeclarations: these fail to compile if a prototype changes. */
unsigned int OstraneCommsUSBOpenByIndex(int* handle, int index);
unsigned int OstraneCommsUSBTransmit(int handle, const void* data, size_t length);
unsigned int OstraneCommsUSBReceive(int handle, void* buffer, size_t bufferSize, uint8_t* count,
                                    int timeoutMs);
unsigned int OstraneCommsUSBClose(int handle);
void FT_SetDebug(FILE* stream, FT_LOG_LEVEL level);
FT_RESULT FT_SetTransferParams(FT_TRANSFER_CONF* conf, uint32_t fifoId);

int main(void) {
    FT_DEVICE_INFO info[3];
    FT_TRANSFER_CONF conf;
    FT_NOTIFICATION_CALLBACK callback = 0;
    (void)callback;
    conf.wStructSize = sizeof conf;
    /* Records pack at 88 bytes each, as the host sees them. */
    if ((char*)&info[2] - (char*)&info[0] != 2 * 88 || conf.wStructSize != 40)
        return 1;
    return CommsOk == 0 && CommsNullPointer == 9 && STATUS_SESSION_FAILED == 32 ? 0 : 1;
}
