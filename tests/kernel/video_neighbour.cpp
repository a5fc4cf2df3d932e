// The library used beside a running video stream, on the same board (kernel tier).
//
//   video_neighbour SYSFS_DEVICE commands   ten board-channel sessions (open, command and echo,
//       close), then the FT60x handle opened and closed in plain mode; the board's video
//       interfaces stay bound to uvcvideo after every step.
//   video_neighbour SYSFS_DEVICE unplug     opens the FT60x handle, says "open", then waits for
//       the library to report the board gone (its hot-plug callback, and requests failing on the
//       handle) and closes the handle.
// Prints one line per failure and exits 1; "neighbour: ok" and 0 when all went as expected.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

#include "ostrane/OstraneCommsUSB.h"
#include "ostrane/ft60x.h"

namespace {

std::string sysfs;
int failures = 0;

void fail(const std::string& what) {
    std::printf("FAIL: %s\n", what.c_str());
    ++failures;
}

// The control interface and the first streaming interface belong to uvcvideo.
void video_still_bound(const std::string& step) {
    for (const char* interface : {":1.0", ":1.1"}) {
        char link[512] = {};
        const std::string path = sysfs + interface + "/driver";
        const ssize_t n = ::readlink(path.c_str(), link, sizeof link - 1);
        const std::string driver = n > 0 ? std::string(link, static_cast<size_t>(n)) : "(none)";
        if (!driver.ends_with("/uvcvideo")) fail(step + ": " + path + " -> " + driver);
    }
}

void commands() {
    for (int round = 0; round < 10; ++round) {
        const std::string step = "round " + std::to_string(round);
        int channel = OSTRANE_COMMS_INVALID_HANDLE;
        if (const unsigned rc = OstraneCommsUSBOpenByIndex(&channel, 0); rc != CommsOk) {
            fail(step + ": open " + std::to_string(rc));
            return;
        }
        video_still_bound(step + " open");
        const std::string text = "frame check " + std::to_string(round);
        if (const unsigned rc = OstraneCommsUSBTransmit(channel, text.data(), text.size()); rc != CommsOk)
            fail(step + ": transmit " + std::to_string(rc));
        char reply[128] = {};
        auto count = static_cast<uint8_t>(text.size());
        const unsigned rc = OstraneCommsUSBReceive(channel, reply, sizeof reply, &count, 5000);
        if (rc != CommsOk || std::string(reply, count) != text)
            fail(step + ": receive " + std::to_string(rc) + " '" + std::string(reply, count) + "'");
        if (const unsigned closed = OstraneCommsUSBClose(channel); closed != CommsOk)
            fail(step + ": close " + std::to_string(closed));
        video_still_bound(step + " closed");
    }
    void* handle = nullptr;
    if (const FT_RESULT rc = FT_Create(nullptr, FT_OPEN_BY_INDEX, &handle); rc != STATUS_SUCCESS) {
        fail("FT_Create " + std::to_string(rc));
        return;
    }
    video_still_bound("FT_Create");
    uint32_t version = 0;
    if (const FT_RESULT rc = FT_GetFirmwareVersion(handle, &version); rc != STATUS_SUCCESS)
        fail("FT_GetFirmwareVersion " + std::to_string(rc));
    if (const FT_RESULT rc = FT_Close(handle); rc != STATUS_SUCCESS) fail("FT_Close " + std::to_string(rc));
    video_still_bound("FT_Close");
}

std::atomic<bool> departed{false};
void on_hotplug(unsigned long, FT_DEVICE_INFO*, bool arrived, void*) {
    if (!arrived) departed = true;
}

void unplug() {
    if (!FT_SetHotplugCallback(on_hotplug, nullptr, false)) fail("FT_SetHotplugCallback");
    void* handle = nullptr;
    if (const FT_RESULT rc = FT_Create(nullptr, FT_OPEN_BY_INDEX, &handle); rc != STATUS_SUCCESS) {
        fail("FT_Create " + std::to_string(rc));
        return;
    }
    std::printf("open\n");
    std::fflush(stdout);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    FT_RESULT rc = STATUS_SUCCESS;
    uint32_t version = 0;
    while (!departed && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!departed) fail("no departure reported");
    rc = FT_GetFirmwareVersion(handle, &version);
    std::printf("gone: departure reported, a request on the handle: status %u\n", rc);
    if (rc == STATUS_SUCCESS) fail("a request on the unplugged board succeeded");
    if (const FT_RESULT closed = FT_Close(handle); closed != STATUS_SUCCESS) fail("FT_Close " + std::to_string(closed));
    std::printf("closed\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: video_neighbour SYSFS_DEVICE commands|unplug\n");
        return 2;
    }
    sysfs = argv[1];
    if (std::strcmp(argv[2], "commands") == 0) commands();
    else unplug();
    if (failures == 0) std::printf("neighbour: ok\n");
    return failures == 0 ? 0 : 1;
}
