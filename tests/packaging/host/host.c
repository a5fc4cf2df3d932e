/* A host application as a user of the Debian packages writes it: counts the boards, then sends a
 * command to the camera of the first one and checks that the echo camera sends it back. */
#include <ostrane/OstraneCommsUSB.h>
#include <ostrane/ft60x.h>

#include <stdio.h>
#include <string.h>

int main(void)
{
    uint32_t boards = 0;
    if (FT_CreateDeviceInfoList(&boards) != 0 || boards == 0) {
        fprintf(stderr, "host: no board listed\n");
        return 1;
    }
    int channel = OSTRANE_COMMS_INVALID_HANDLE;
    if (OstraneCommsUSBOpenByIndex(&channel, 0) != CommsOk) {
        fprintf(stderr, "host: open failed\n");
        return 1;
    }
    static const char command[] = "ping";
    uint8_t reply[127] = {0};
    uint8_t count = 4;
    unsigned int sent = OstraneCommsUSBTransmit(channel, command, 4);
    unsigned int got = OstraneCommsUSBReceive(channel, reply, sizeof reply, &count, 2000);
    OstraneCommsUSBClose(channel);
    if (sent != CommsOk || got != CommsOk || count != 4 || memcmp(reply, command, 4) != 0) {
        fprintf(stderr, "host: exchange failed (transmit %u, receive %u, %u bytes)\n", sent, got, count);
        return 1;
    }
    printf("host: %u board(s), reply \"%.4s\"\n", (unsigned)boards, (const char*)reply);
    return 0;
}
