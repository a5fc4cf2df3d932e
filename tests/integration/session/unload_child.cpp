// Child process of the teardown tests: sets up the library as a host would and exits normally,
// so that the parent can read what the library logged at exit.
#include <cstdio>
#include <cstring>

#include "ostrane/OstraneCommsUSB.h"
#include "ostrane/ft60x.h"
#include "umockdev/virtual_bus.h"

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    static vboard::VirtualBus bus;
    FT_SetDebug(stdout, FT_LOG_LEVEL_TRACE);
    if (std::strcmp(mode, "debug-only") == 0)
        return 0;
    bus.plug();
    std::uint32_t count = 0;
    if (FT_CreateDeviceInfoList(&count) != STATUS_SUCCESS || count != 1)
        return 2;
    if (std::strcmp(mode, "open") == 0) {
        // Left open on purpose: the session closes it at exit.
        void* handle = nullptr;
        if (FT_Create(nullptr, FT_OPEN_BY_INDEX, &handle) != STATUS_SUCCESS)
            return 3;
    }
    if (std::strcmp(mode, "channel") == 0) {
        // A board channel left open: left as it is at exit, its device closed by the session.
        int channel = -1;
        if (OstraneCommsUSBOpenByIndex(&channel, 0) != CommsOk)
            return 4;
    }
    std::printf("main returns\r\n");
    return 0;
}
