// A small libusb program for the launcher tests: it watches the first board for the effect of a
// script event and prints what it saw. Not linked with the bus: the launcher serves it.
//   script_probe stall   - repeats a GPIO read until a stall, then counts stalls until a success
//   script_probe notify  - waits for one notification and prints its bytes
//   script_probe claim   - retries claiming the vendor interface until it is refused
#include <chrono>
#include <cstdio>
#include <cstring>
#include <libusb.h>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

libusb_device_handle* open_first_board(libusb_context* ctx) {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle* h = nullptr;
    for (ssize_t i = 0; i < n && !h; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == 0x1209 && d.bDeviceClass == 0xEF)
            libusb_open(list[i], &h);
    }
    libusb_free_device_list(list, 1);
    return h;
}

int stall(libusb_device_handle* h) {
    const auto end = Clock::now() + std::chrono::seconds(60);
    unsigned char v = 0;
    int r = 0;
    while ((r = libusb_control_transfer(h, 0xC0, 2, 0, 0x1F, &v, 1, 1000)) == 1) {
        if (Clock::now() > end) return 3;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    int stalls = 0;
    while (r == LIBUSB_ERROR_PIPE) {
        ++stalls;
        r = libusb_control_transfer(h, 0xC0, 2, 0, 0x1F, &v, 1, 1000);
    }
    std::printf("stalls %d then %s\n", stalls, r == 1 ? "ok" : libusb_error_name(r));
    return 0;
}

int notify(libusb_context* ctx, libusb_device_handle* h) {
    unsigned char buf[16] = {};
    int n = 0;
    const int r = libusb_interrupt_transfer(h, 0x86, buf, sizeof buf, &n, 60000);
    (void)ctx;
    if (r != 0) {
        std::printf("notification failed: %s\n", libusb_error_name(r));
        return 3;
    }
    std::printf("notification");
    for (int i = 0; i < n; ++i) std::printf(" %02X", buf[i]);
    std::printf("\n");
    return 0;
}

int claim(libusb_device_handle* h) {
    const auto end = Clock::now() + std::chrono::seconds(60);
    int r = 0;
    while ((r = libusb_claim_interface(h, 2)) == 0) {
        libusb_release_interface(h, 2);
        if (Clock::now() > end) return 3;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::printf("claim %s\n", libusb_error_name(r));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0) return 1;
    libusb_device_handle* h = open_first_board(ctx);
    if (!h) {
        std::printf("no board\n");
        libusb_exit(ctx);
        return 1;
    }
    const std::string mode = argv[1];
    int status = 2;
    if (mode == "stall") status = stall(h);
    else if (mode == "notify") status = notify(ctx, h);
    else if (mode == "claim") status = claim(h);
    libusb_close(h);
    libusb_exit(ctx);
    return status;
}
