// Faults the hostile-board runs pointed at, pinned down one by one: what a board (or a caller)
// claims about a length must not decide how many bytes the library copies.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ostrane/ft60x.h"
#include "support/bus.h"

namespace {

using test_support::bus;

std::vector<std::uint8_t> record(std::size_t size, std::uint16_t length_field) {
    std::vector<std::uint8_t> r(size, 0x5A);
    r[0] = static_cast<std::uint8_t>(length_field);
    r[1] = static_cast<std::uint8_t>(length_field >> 8);
    return r;
}

TEST(LyingBoard, ChipConfigurationLengthBoundsEveryCopy) {
    const int id = bus().plug().id;
    vboard::Board& board = bus().board(id);
    void* h = nullptr;
    ASSERT_EQ(FT_Create(nullptr, FT_OPEN_BY_INDEX, &h), STATUS_SUCCESS);

    struct Case {
        std::size_t size;
        std::uint16_t length_field;
        FT_RESULT expected;
    };
    // The caller's record is as long as the longest layout; guard bytes follow it.
    constexpr std::size_t room = 4064, guard = 64;
    for (const Case& c : {Case{5000, 5000, STATUS_IO_FAILED}, Case{4064, 0xFFFF, STATUS_IO_FAILED},
                          Case{100, 100, STATUS_IO_FAILED}, Case{2768, 2768, STATUS_SUCCESS},
                          Case{4064, 4064, STATUS_SUCCESS}}) {
        board.set_chip_configuration(record(c.size, c.length_field));
        std::vector<std::uint8_t> mine(room + guard, 0xA5);
        EXPECT_EQ(FT_GetChipConfiguration(h, mine.data()), c.expected) << c.size << " " << c.length_field;
        EXPECT_EQ(std::vector<std::uint8_t>(mine.begin() + room, mine.end()),
                  std::vector<std::uint8_t>(guard, 0xA5))
            << "written past the record: " << c.size << " " << c.length_field;
    }

    // The caller's own record claims 64 KiB: nothing is read past it, nothing is sent.
    board.set_chip_configuration(record(4064, 4064));
    board.clear_request_log();
    std::vector<std::uint8_t> caller = record(4064, 0xFFFF);
    EXPECT_NE(FT_SetChipConfiguration(h, caller.data()), STATUS_SUCCESS);
    for (const auto& r : board.request_log())
        EXPECT_FALSE(r.setup.bmRequestType == 0x40 && r.setup.bRequest == 1) << vboard::describe(r);
    EXPECT_EQ(FT_Close(h), STATUS_SUCCESS);
}

// Serial number strings of any size and honesty end up as terminated text of at most 31 characters.
TEST(LyingBoard, SerialNumberStringsOfAnySize) {
    std::vector<std::uint8_t> long_string(255, 'A');
    long_string[0] = 0xFF;
    long_string[1] = 0x03;
    for (std::size_t i = 3; i < long_string.size(); i += 2) long_string[i] = 0;
    struct Case {
        std::vector<std::uint8_t> raw;
        std::string text;
    };
    const std::vector<Case> cases = {
        {long_string, std::string(31, 'A')},
        {{0x40, 0x03, 'B', 0x00}, ""},                        // claims 64 bytes, sends 4
        {{0x08, 0x03, 'C', 0, 0xE9, 0, 'D', 0}, "C?D"},        // outside ASCII
        {{0x05, 0x03, 'E', 0, 'F'}, "E"},                      // half a character at the end
    };
    int previous = -1;
    for (const Case& c : cases) {
        if (previous >= 0) bus().unplug(previous);
        previous = bus().plug().id;
        bus().board(previous).set_string_descriptor(3, c.raw);
        std::uint32_t count = 0;
        ASSERT_EQ(FT_CreateDeviceInfoList(&count), STATUS_SUCCESS);
        ASSERT_EQ(count, 1u);
        FT_DEVICE_INFO info{};
        ASSERT_EQ(FT_GetDeviceInfoList(&info, &count), STATUS_SUCCESS);
        EXPECT_EQ(std::string(info.serial_number, strnlen(info.serial_number, sizeof info.serial_number)), c.text)
            << c.raw.size();
        EXPECT_LT(strnlen(info.serial_number, sizeof info.serial_number), sizeof info.serial_number);
    }
}

}  // namespace
