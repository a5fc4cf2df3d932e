// What the session's integration tests share beyond the common support: boards plugged by serial
// number and read back by their place in the library's list.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ostrane/ft60x.h"
#include "support/bus.h"
#include "support/log_capture.h"
#include "support/wait.h"

namespace session_test {

using test_support::bus;
using test_support::eventually;
using test_support::log_capture;
using test_support::model;
using test_support::replaying;
using test_support::unplug;

// Plugs a default board with this serial number (under replay, the capture's next board).
inline vboard::PluggedBoard plug(const std::string& serial)
{
    vboard::BoardConfig config;
    config.serial = serial;
    return test_support::plug_board(config);
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
