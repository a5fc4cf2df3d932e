// What the board channel's integration tests share: the boards on the process's virtual bus found
// by their place in the library's device list, and the I2C requests a board saw, written as the
// setup bytes on the wire.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "../session/support.h"

namespace board_test {

using session_test::bus;

inline constexpr std::uint8_t i2c_request = 0x05;

// The board the library lists at `index`.
inline vboard::Board& board_at(std::uint32_t index) {
    const std::string serial = session_test::serial_at(index);
    for (const vboard::PluggedBoard& plugged : bus().boards())
        if (plugged.serial == serial)
            return bus().board(plugged.id);
    ADD_FAILURE() << "no plugged board is listed at index " << index;
    return bus().board(bus().boards().front().id);
}

// The eight setup bytes as the host sent them, e.g. "40 05 15 00 0D 01 01 00".
inline std::string setup_hex(const vboard::RequestRecord& r) {
    const vboard::SetupPacket& s = r.setup;
    const unsigned bytes[8] = {s.bmRequestType,   s.bRequest,
                               s.wValue & 0xFFu,  unsigned(s.wValue >> 8),
                               s.wIndex & 0xFFu,  unsigned(s.wIndex >> 8),
                               s.wLength & 0xFFu, unsigned(s.wLength >> 8)};
    std::string out;
    char text[4];
    for (unsigned b : bytes) {
        std::snprintf(text, sizeof text, out.empty() ? "%02X" : " %02X", b);
        out += text;
    }
    return out;
}

// The I2C requests (bridge register accesses) the board has seen since its log was last cleared.
inline std::vector<vboard::RequestRecord> i2c_log(const vboard::Board& board) {
    std::vector<vboard::RequestRecord> out;
    for (vboard::RequestRecord& r : board.request_log())
        if (r.setup.bRequest == i2c_request && (r.setup.bmRequestType & 0x60) == 0x40)
            out.push_back(std::move(r));
    return out;
}

// Register writes of the I2C log as (register, first data byte).
using Write = std::pair<std::uint8_t, std::uint8_t>;
inline std::vector<Write> register_writes(const vboard::Board& board) {
    std::vector<Write> out;
    for (const vboard::RequestRecord& r : i2c_log(board))
        if (!r.setup.is_in() && !r.data.empty())
            out.emplace_back(static_cast<std::uint8_t>(r.setup.wValue & 0x7F), r.data[0]);
    return out;
}

// True when some I2C request read register `reg`.
inline bool read_register(const vboard::Board& board, std::uint8_t reg) {
    for (const vboard::RequestRecord& r : i2c_log(board))
        if (r.setup.is_in() && (r.setup.wValue & 0x7F) == reg)
            return true;
    return false;
}

inline std::vector<std::uint8_t> bytes(std::initializer_list<std::uint8_t> list) {
    return list;
}

} // namespace board_test
