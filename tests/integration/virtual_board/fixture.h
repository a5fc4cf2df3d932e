// Shared fixture: the process's virtual bus and a libusb context started after it.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <libusb.h>

#include "support/bus.h"
#include "support/wait.h"

namespace vboard::test {

using test_support::eventually;

// Runs libusb's event handling on a thread of its own while it lives.
class EventThread {
public:
    explicit EventThread(libusb_context* ctx) : ctx_(ctx), thread_([this] {
        while (!stop_.load()) {
            timeval tv{0, 50000};
            libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
        }
    }) {}
    ~EventThread() {
        stop_.store(true);
        libusb_interrupt_event_handler(ctx_);
        thread_.join();
    }

private:
    libusb_context* ctx_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Runs libusb's event handling on the calling thread until `done` or the bound.
inline bool handle_until(libusb_context* ctx, const std::function<bool()>& done,
                         std::chrono::milliseconds bound = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        timeval tv{0, 10000};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
    }
    return true;
}

class BusTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (ctx_) libusb_exit(ctx_);
        ctx_ = nullptr;
    }
    // I2C access to the bridge (slave 0x0D) as the board channel encodes it.
    int i2c_write(libusb_device_handle* h, uint8_t reg, std::vector<uint8_t> data) {
        return libusb_control_transfer(h, 0x40, 5, reg, static_cast<uint16_t>(0x0D | (data.size() << 8)),
                                       data.data(), static_cast<uint16_t>(data.size()), 1000);
    }
    int i2c_read(libusb_device_handle* h, uint8_t reg, std::vector<uint8_t>& out, size_t count) {
        out.assign(count, 0xCC);
        return libusb_control_transfer(h, 0xC0, 5, reg, static_cast<uint16_t>(0x0D | (count << 8)), out.data(),
                                       static_cast<uint16_t>(count), 1000);
    }
    int reg(libusb_device_handle* h, uint8_t r) {
        std::vector<uint8_t> v;
        const int n = i2c_read(h, r, v, 1);
        return n == 1 ? v[0] : -1000 + n;
    }
    libusb_context* ctx() {
        if (!ctx_) {
            EXPECT_EQ(libusb_init(&ctx_), 0);
        }
        return ctx_;
    }
    // Opens the board with this serial number; null when not found.
    // Waits for the board to be listed: on the kernel, libusb lists a device once udevd has
    // handled its arrival, which on a busy machine comes well after the plug has returned.
    libusb_device_handle* open_serial(const std::string& serial) {
        libusb_device_handle* found = nullptr;
        std::string last;  // what the last look saw, for a failure
        test_support::eventually([&] { return (found = find_serial(serial, last)) != nullptr; });
        if (!found) ADD_FAILURE() << "board " << serial << " not found: " << last << "; " << elsewhere(serial);
        return found;
    }

    // Where sysfs shows a board this context cannot find: nowhere means the kernel dropped it.
    static std::string elsewhere(const std::string& serial) {
        std::string seen = "in sysfs:";
        std::error_code ec;
        for (const auto& d : std::filesystem::directory_iterator("/sys/bus/usb/devices", ec)) {
            std::ifstream in(d.path() / "serial");
            std::string s;
            if (std::getline(in, s) && s == serial) seen += " " + d.path().filename().string();
        }
        return seen;
    }

    libusb_device_handle* find_serial(const std::string& serial, std::string& seen) {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx(), &list);
        seen = std::to_string(n) + " devices listed";
        libusb_device_handle* found = nullptr;
        for (ssize_t i = 0; i < n && !found; ++i) {
            libusb_device_descriptor d{};
            if (libusb_get_device_descriptor(list[i], &d) != 0 || d.idVendor != 0x1209 || d.bDeviceClass != 0xEF) continue;
            libusb_device_handle* h = nullptr;
            if (const int rc = libusb_open(list[i], &h); rc != 0) {
                seen += std::string("; open: ") + libusb_error_name(rc);
                continue;
            }
            unsigned char text[64] = {};
            const int got = libusb_get_string_descriptor_ascii(h, d.iSerialNumber, text, sizeof text);
            if (got > 0 && serial == reinterpret_cast<char*>(text)) {
                found = h;
                continue;
            }
            seen += "; serial: " + (got > 0 ? std::string(reinterpret_cast<char*>(text)) : libusb_error_name(got));
            libusb_close(h);
        }
        libusb_free_device_list(list, 1);
        return found;
    }

    VirtualBus& bus_ = test_support::bus();  // made before the libusb context
    libusb_context* ctx_ = nullptr;
};

}  // namespace vboard::test
