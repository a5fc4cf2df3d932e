// What the library's integration tests share: the process's virtual bus, made before the
// library's first call, a capture of the library's log, and a bounded wait.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "ostrane/ft60x.h"
#include "umockdev/virtual_bus.h"

namespace session_test {

// One bus per process (each test case runs in a process of its own). Made on first use, before
// the first FT_* call: libusb must start after the bus exists, and the library's session, made by
// that first call, is then torn down at exit before the bus.
inline vboard::VirtualBus& bus()
{
    static vboard::VirtualBus instance;
    return instance;
}

// Waits for `done`, checking often, for at most `bound`; true when it came true.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds bound = std::chrono::seconds(60))
{
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Installs a temporary file as the library's log; the library closes it when it is replaced.
class log_capture {
public:
    explicit log_capture(FT_LOG_LEVEL level = FT_LOG_LEVEL_TRACE) : file(std::tmpfile())
    {
        FT_SetDebug(file, level);
    }
    ~log_capture() { FT_SetDebug(nullptr, FT_LOG_LEVEL_NONE); }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    std::string text() const
    {
        std::fflush(file);
        std::string out;
        char chunk[4096];
        off_t at = 0;
        for (;;) {
            const ssize_t n = pread(fileno(file), chunk, sizeof chunk, at);
            if (n <= 0)
                break;
            out.append(chunk, static_cast<std::size_t>(n));
            at += n;
        }
        return out;
    }
    bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }
    std::size_t count(const std::string& s) const
    {
        const std::string t = text();
        std::size_t n = 0;
        for (auto at = t.find(s); at != std::string::npos; at = t.find(s, at + s.size()))
            ++n;
        return n;
    }

private:
    FILE* file;
};

// Plugs a default board with this serial number.
inline vboard::PluggedBoard plug(const std::string& serial)
{
    vboard::BoardConfig config;
    config.serial = serial;
    return bus().plug(config);
}

inline std::string serial_at(std::uint32_t index)
{
    char serial[32] = {};
    if (FT_GetDeviceInfoDetail(index, nullptr, nullptr, nullptr, nullptr, serial, nullptr,
                               nullptr) != STATUS_SUCCESS)
        return "<none>";
    return std::string(serial, strnlen(serial, sizeof serial));
}

} // namespace session_test
