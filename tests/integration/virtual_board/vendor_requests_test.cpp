// The FT602's vendor requests through raw libusb control transfers.
#include <cstring>
#include <string>
#include <vector>

#include "fixture.h"

namespace vboard::test {
namespace {

class Vendor : public BusTest {
protected:
    libusb_device_handle* open_board(BoardConfig c = {}) {
        id_ = bus_.plug(c).id;
        h_ = open_serial(bus_.info(id_).serial);
        return h_;
    }
    void TearDown() override {
        if (h_) libusb_close(h_);
        BusTest::TearDown();
    }
    Board& board() { return bus_.board(id_); }
    int in(uint8_t req, uint16_t value, uint16_t index, std::vector<uint8_t>& data, uint16_t len) {
        data.assign(len, 0xCC);
        return libusb_control_transfer(h_, 0xC0, req, value, index, data.data(), len, 1000);
    }
    int out(uint8_t req, uint16_t value, uint16_t index, std::vector<uint8_t> data) {
        return libusb_control_transfer(h_, 0x40, req, value, index, data.data(), static_cast<uint16_t>(data.size()), 1000);
    }
    int write_mem(uint32_t addr, std::vector<uint8_t> data) {
        return out(3, static_cast<uint16_t>(addr >> 16), static_cast<uint16_t>(addr), std::move(data));
    }
    int read_mem(uint32_t addr, std::vector<uint8_t>& data, uint16_t len) {
        return in(3, static_cast<uint16_t>(addr >> 16), static_cast<uint16_t>(addr), data, len);
    }
    int read_byte(uint32_t addr) {
        std::vector<uint8_t> b;
        return read_mem(addr, b, 1) == 1 ? b[0] : -1;
    }
    static std::vector<uint8_t> le24(uint32_t v) {
        return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16)};
    }
    int id_ = -1;
    libusb_device_handle* h_ = nullptr;
};

uint16_t get16(const std::vector<uint8_t>& v, size_t at) { return static_cast<uint16_t>(v[at] | (v[at + 1] << 8)); }
uint32_t get32(const std::vector<uint8_t>& v, size_t at) {
    return v[at] | (v[at + 1] << 8) | (v[at + 2] << 16) | (static_cast<uint32_t>(v[at + 3]) << 24);
}

// CRC-16/CCITT-FALSE, written out independently of the board's.
uint16_t crc16(const std::vector<uint8_t>& data) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : data)
        for (int bit = 7; bit >= 0; --bit) {
            const bool mix = ((crc >> 15) & 1) != ((b >> bit) & 1);
            crc = static_cast<uint16_t>(crc << 1);
            if (mix) crc ^= 0x1021;
        }
    return crc;
}

TEST_F(Vendor, ChipConfigurationOf4064BytesWithVersionAndFrameTables) {
    ASSERT_NE(open_board(), nullptr);
    std::vector<uint8_t> head, all;
    ASSERT_EQ(in(1, 0, 0, head, 4), 4);
    EXPECT_EQ(get16(head, 0), 4064);
    ASSERT_EQ(in(1, 0, 0, head, 44), 44);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&head[28]), 8), "1.2.7-vb");
    ASSERT_EQ(in(1, 0, 0, all, 4064), 4064);
    // Stream 1, super speed (2), entry 0.
    const size_t entry = 940 + 1 * 528 + 2 * 176;
    EXPECT_EQ(get16(all, entry), 1920);
    EXPECT_EQ(get16(all, entry + 2), 1080);
    EXPECT_EQ(get32(all, entry + 8), 333333u);
    // Every frame entry of every stream and speed is valid.
    for (size_t k = 0; k < 4; ++k)
        for (size_t s = 0; s < 3; ++s)
            for (size_t i = 0; i < 14; ++i) {
                const size_t at = 940 + k * 528 + s * 176 + 12 * i;
                ASSERT_NE(get16(all, at), 0) << k << "/" << s << "/" << i;
                ASSERT_NE(get32(all, at + 8), 0u);
            }
    // A write of the whole image is kept; a partial or mislabelled one stalls.
    all[entry] = 0x00;
    all[entry + 1] = 0x05;
    EXPECT_EQ(out(1, 0, 0, all), 4064);
    EXPECT_EQ(get16(board().chip_configuration(), entry), 0x0500);
    EXPECT_EQ(out(1, 0, 0, std::vector<uint8_t>(all.begin(), all.begin() + 2768)), LIBUSB_ERROR_PIPE);
    all[0] = 0;
    EXPECT_EQ(out(1, 0, 0, all), LIBUSB_ERROR_PIPE);
}

TEST_F(Vendor, ChipConfigurationOf2768Bytes) {
    BoardConfig c;
    c.config_layout = ConfigLayout::ft602_2768;
    ASSERT_NE(open_board(c), nullptr);
    std::vector<uint8_t> v;
    ASSERT_EQ(in(1, 0, 0, v, 4), 4);
    EXPECT_EQ(get16(v, 0), 2768);
    // Asking for more than there is returns the image: a short transfer.
    ASSERT_EQ(in(1, 0, 0, v, 4064), 2768);
    const size_t entry4 = 940 + 3 * 204 + 1 * 68 + 12 * 4;
    EXPECT_NE(get16(v, entry4), 0);
}

TEST_F(Vendor, GpioWordsSetLevelDirectionAndPull) {
    ASSERT_NE(open_board(), nullptr);
    std::vector<uint8_t> v;
    ASSERT_EQ(in(2, 0, 0x1F, v, 1), 1);
    EXPECT_EQ(v[0], 0) << "inputs without pull read low";
    // Pull-up on pin 1 (pull word for mask 0x02, value 0x0C: 0x0038).
    ASSERT_EQ(out(2, 3, 0, {0x38, 0x00}), 2);
    ASSERT_EQ(in(2, 0, 0x1F, v, 1), 1);
    EXPECT_EQ(v[0], 0x02);
    // All three pins outputs (word 0x016D for mask 7, value 7), levels 1, 0, 1 (0x0165: mask 7, value 5).
    ASSERT_EQ(out(2, 2, 0, {0x6D, 0x01}), 2);
    ASSERT_EQ(out(2, 1, 0, {0x65, 0x01}), 2);
    ASSERT_EQ(in(2, 0, 0x1F, v, 1), 1);
    EXPECT_EQ(v[0], 0x05);
    ASSERT_EQ(in(2, 0, 0x01, v, 1), 1);
    EXPECT_EQ(v[0], 0x01) << "the read is masked";
    // A word that addresses no pin changes nothing.
    ASSERT_EQ(out(2, 1, 0, {0x00, 0x00}), 2);
    EXPECT_EQ(board().gpio().levels, 0x05);
    // Pin 2 back to input, driven low from outside.
    ASSERT_EQ(out(2, 2, 0, {0x00, 0x01}), 2);
    board().drive_gpio_input(2, false);
    ASSERT_EQ(in(2, 0, 0x1F, v, 1), 1);
    EXPECT_EQ(v[0], 0x01);
    const auto g = board().gpio();
    EXPECT_TRUE(g.pins[0].output);
    EXPECT_FALSE(g.pins[2].output);
    EXPECT_EQ(g.pins[1].pull, 3);
    EXPECT_EQ(g.words.size(), 5u);
    EXPECT_EQ(out(2, 4, 0, {0, 0}), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(out(2, 1, 0, {0}), LIBUSB_ERROR_PIPE);
}

TEST_F(Vendor, MemoryReadsBackWhatWasWritten) {
    ASSERT_NE(open_board(), nullptr);
    std::vector<uint8_t> data(512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 3);
    ASSERT_EQ(write_mem(0x12345, data), 512);
    std::vector<uint8_t> back;
    ASSERT_EQ(read_mem(0x12345, back, 512), 512);
    EXPECT_EQ(back, data);
    EXPECT_EQ(board().memory(0x12345 + 10, 1)[0], data[10]);
    ASSERT_EQ(read_mem(0x12345 + 510, back, 4), 4);
    EXPECT_EQ(back[1], data[511]);
    EXPECT_EQ(back[2], 0) << "untouched memory reads 0";
    EXPECT_EQ(read_mem(0, back, 513), LIBUSB_ERROR_PIPE);
}

TEST_F(Vendor, DebuggerSemaphoreBusyAndCrc) {
    ASSERT_NE(open_board(), nullptr);
    constexpr uint32_t sem = 0x1080B, status = 0x1080D;
    EXPECT_EQ(read_byte(sem), 0) << "acquired";
    EXPECT_NE(read_byte(sem), 0) << "held";
    ASSERT_EQ(write_mem(sem, {1}), 1);
    board().hold_flash_semaphore(2);
    EXPECT_NE(read_byte(sem), 0);
    EXPECT_NE(read_byte(sem), 0);
    EXPECT_EQ(read_byte(sem), 0);
    ASSERT_EQ(write_mem(sem, {1}), 1);

    const uint16_t crc = crc16(board().flash());
    EXPECT_EQ(board().flash_crc(), crc);
    EXPECT_EQ(crc16({'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x29B1) << "the check value of the CRC";
    EXPECT_EQ(read_byte(0x1080E) | (read_byte(0x1080F) << 8), crc);

    EXPECT_EQ(read_byte(status) & 0x40, 0);
    ASSERT_EQ(write_mem(0x10809, {0x06}), 1);
    EXPECT_EQ(read_byte(status) & 0x40, 0x40) << "busy right after a command";
    EXPECT_EQ(read_byte(status) & 0x40, 0);
    board().set_debugger_busy(-1);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(read_byte(status) & 0x40, 0x40);
    board().set_debugger_busy(0);
    EXPECT_EQ(read_byte(status) & 0x40, 0);
}

TEST_F(Vendor, FlashCommandsCopyEraseAndProgram) {
    ASSERT_NE(open_board(), nullptr);
    const auto flash = board().flash();
    // 0xFC: 256 bytes of flash from 0x300 into data memory at 0x2000.
    ASSERT_EQ(write_mem(0x10800, le24(0x2000)), 3);
    ASSERT_EQ(write_mem(0x10803, le24(0x300)), 3);
    ASSERT_EQ(write_mem(0x10806, le24(256)), 3);
    ASSERT_EQ(write_mem(0x10809, {0xFC}), 1);
    std::vector<uint8_t> dm;
    ASSERT_EQ(read_mem(0x2000, dm, 256), 256);
    EXPECT_TRUE(std::equal(dm.begin(), dm.end(), flash.begin() + 0x300));
    // 0xF4: into program memory.
    ASSERT_EQ(write_mem(0x10800, le24(0x100)), 3);
    ASSERT_EQ(write_mem(0x10809, {0xF4}), 1);
    const auto pm = board().program_memory();
    EXPECT_TRUE(std::equal(pm.begin() + 0x100, pm.begin() + 0x200, flash.begin() + 0x300));

    // Erase without write-enable is ignored.
    ASSERT_EQ(write_mem(0x10803, le24(0x1000)), 3);
    ASSERT_EQ(write_mem(0x10809, {0x20}), 1);
    EXPECT_EQ(board().flash(), flash);
    // Programming a sector as the library does: enable, erase, enable, program.
    std::vector<uint8_t> image(300);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(0xA0 + i);
    ASSERT_EQ(write_mem(0x4000, image), 300);
    ASSERT_EQ(write_mem(0x10809, {0x06}), 1);
    ASSERT_EQ(write_mem(0x10809, {0x20}), 1);
    ASSERT_EQ(write_mem(0x10809, {0x06}), 1);
    ASSERT_EQ(write_mem(0x10803, le24(0x1000)), 3);
    ASSERT_EQ(write_mem(0x10800, le24(0x4000)), 3);
    ASSERT_EQ(write_mem(0x10806, le24(512)), 3);
    ASSERT_EQ(write_mem(0x10809, {0xF8}), 1);
    const auto after = board().flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), after.begin() + 0x1000));
    EXPECT_EQ(after[0x1000 + 300], 0x00) << "programmed from untouched (zero) memory";
    EXPECT_EQ(after[0x1000 + 600], 0xFF) << "erased, not programmed";
    EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + 0x1000, after.begin())) << "other sectors untouched";
    EXPECT_EQ(read_byte(0x1080E) | (read_byte(0x1080F) << 8), crc16(after));
    const auto log = board().flash_commands();
    ASSERT_EQ(log.size(), 7u);
    EXPECT_NE(log[2].find("ignored"), std::string::npos);
}

TEST_F(Vendor, ChipModeSelectsFifoModeAndDfu) {
    ASSERT_NE(open_board(), nullptr);
    EXPECT_EQ(board().chip_mode(), 0);
    EXPECT_EQ(out(4, 1, 0, {}), 0);
    EXPECT_TRUE(board().fifo().fifo_mode);
    EXPECT_FALSE(board().dfu_requested());
    EXPECT_EQ(out(4, 0, 0, {}), 0);
    EXPECT_FALSE(board().fifo().fifo_mode);
    EXPECT_EQ(out(4, 2, 0, {}), 0);
    EXPECT_TRUE(board().dfu_requested());
    EXPECT_EQ(board().chip_mode(), 2);
    std::vector<uint8_t> v;
    EXPECT_EQ(in(4, 0, 0, v, 1), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(out(4, 1, 0, {1}), LIBUSB_ERROR_PIPE);
}

TEST_F(Vendor, I2cEncodingIsChecked) {
    ASSERT_NE(open_board(), nullptr);
    std::vector<uint8_t> v;
    // Read the status register: C0 05 11 00 0D 01 01 00.
    ASSERT_EQ(in(5, 0x11, 0x010D, v, 1), 1);
    EXPECT_EQ(v[0], 0x82);
    // The register-address flag (bit 7) reaches the same register.
    ASSERT_EQ(in(5, 0x91, 0x010D, v, 1), 1);
    EXPECT_EQ(v[0], 0x82);
    EXPECT_EQ(in(5, 0x11, 0x010E, v, 1), LIBUSB_ERROR_PIPE) << "other slave";
    EXPECT_EQ(in(5, 0x10, 0x810D, v, 129), LIBUSB_ERROR_PIPE) << "count above 128";
    EXPECT_EQ(in(5, 0x10, 0x800D, v, 128), 128) << "count 128";
    EXPECT_EQ(in(5, 0x11, 0x020D, v, 1), LIBUSB_ERROR_PIPE) << "wLength differs from the count";
    EXPECT_EQ(out(5, 0x16, 0x010D, {0x0E}), 1);
    EXPECT_EQ(board().bridge().interrupt_enable, 0x0E);
    // The request log keeps the setup packet and the data stage.
    const auto log = board().request_log();
    const RequestRecord& last = log.back();
    EXPECT_EQ(last.setup.bmRequestType, 0x40);
    EXPECT_EQ(last.setup.wValue, 0x16);
    EXPECT_EQ(last.setup.wIndex, 0x010D);
    EXPECT_EQ(last.data, std::vector<uint8_t>{0x0E});
    EXPECT_EQ(describe(last), "40 05 0016 010D 1 i2c > 0E");
}

TEST_F(Vendor, UnknownRequestsAndRecipientsStall) {
    ASSERT_NE(open_board(), nullptr);
    std::vector<uint8_t> v;
    EXPECT_EQ(in(9, 0, 0, v, 1), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(out(0, 0, 0, {}), LIBUSB_ERROR_PIPE);
    v.assign(4, 0);
    EXPECT_EQ(libusb_control_transfer(h_, 0xC1, 1, 0, 0, v.data(), 4, 1000), LIBUSB_ERROR_PIPE) << "interface recipient";
    EXPECT_EQ(libusb_control_transfer(h_, 0xA0, 1, 0, 0, v.data(), 4, 1000), LIBUSB_ERROR_PIPE) << "class request";
    EXPECT_TRUE(board().request_log().back().stalled);
}

TEST_F(Vendor, StallFaultHitsTheChosenRequestOnly) {
    ASSERT_NE(open_board(), nullptr);
    std::vector<uint8_t> v;
    board().stall_control(2, 5);
    EXPECT_EQ(in(1, 0, 0, v, 4), 4) << "another request passes";
    EXPECT_EQ(in(5, 0x11, 0x010D, v, 1), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(in(5, 0x11, 0x010D, v, 1), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(in(5, 0x11, 0x010D, v, 1), 1);
    board().stall_control(1);
    EXPECT_EQ(in(2, 0, 0x1F, v, 1), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(in(2, 0, 0x1F, v, 1), 1);
    board().nak_i2c(1);
    EXPECT_EQ(out(5, 0x17, 0x010D, {3}), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(board().bridge().interrupt_period_ms, 0) << "a NAKed write changes nothing";
    EXPECT_EQ(out(5, 0x17, 0x010D, {3}), 1);
    EXPECT_EQ(board().bridge().interrupt_period_ms, 3);
}

TEST_F(Vendor, DelayedAnswerTimesOutAndTheNextOneIsPrompt) {
    ASSERT_NE(open_board(), nullptr);
    std::vector<uint8_t> v;
    board().delay_control(1);
    EXPECT_EQ(in(5, 0x11, 0x010D, v, 1), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(board().request_log().back().delay.count(), 1500);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(in(5, 0x11, 0x010D, v, 1), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
    // A delay shorter than the time-out is only late.
    board().delay_control(1, std::chrono::milliseconds(50));
    EXPECT_EQ(in(5, 0x11, 0x010D, v, 1), 1);
    EXPECT_EQ(v[0], 0x82);
}

// Faults of lying length and size: short answers, stalls on endpoint 0, and strings and chip
// configuration records of any size.
TEST_F(Vendor, ShortRepliesStallsAndRecordsOfAnySize) {
    ASSERT_NE(open_board(), nullptr);
    std::vector<uint8_t> d;
    board().short_control_replies(2, 3, 1);
    EXPECT_EQ(in(5, 0x12, 0x010D, d, 1), 1) << "another request is not cut";
    EXPECT_EQ(in(1, 0, 0, d, 4), 3);
    EXPECT_EQ(in(1, 0, 0, d, 4), 3);
    EXPECT_EQ(in(1, 0, 0, d, 4), 4);

    board().stall_endpoint(0x00, 2);
    unsigned char dev[18];
    EXPECT_EQ(libusb_get_descriptor(h_, LIBUSB_DT_DEVICE, 0, dev, 18), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(in(5, 0x12, 0x010D, d, 1), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_get_descriptor(h_, LIBUSB_DT_DEVICE, 0, dev, 18), 18);

    for (const size_t size : {size_t{0}, size_t{1}, size_t{10}, size_t{5000}}) {
        std::vector<uint8_t> record(size, 0x5A);
        if (size >= 2) record[0] = record[1] = 0xFF;  // a length field that lies
        board().set_chip_configuration(record);
        EXPECT_EQ(in(1, 0, 0, d, 4064), static_cast<int>(std::min<size_t>(size, 4064))) << size;
        EXPECT_EQ(board().chip_configuration(), record);
    }
    board().set_chip_configuration({10, 0, 1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(out(1, 0, 0, {10, 0, 9, 9, 9, 9, 9, 9, 9, 9}), 10) << "a write of the record's own size";
    EXPECT_EQ(out(1, 0, 0, std::vector<uint8_t>(4064, 0)), LIBUSB_ERROR_PIPE);

    struct StringCase {
        uint8_t index;
        std::vector<uint8_t> raw;
        int expected;  // bytes libusb returns, or its error
    };
    std::vector<uint8_t> long_string(255, 0x41);
    long_string[0] = 0xFF;
    long_string[1] = 0x03;
    const std::vector<StringCase> strings = {
        {3, long_string, 255},
        {3, {0x02, 0x03}, 2},
        {3, {0x40, 0x03, 0x41}, 3},  // claims 64 bytes, has 3
        {2, {}, LIBUSB_ERROR_PIPE},
        {0, {0x04, 0x03, 0x09}, 3},
    };
    for (const StringCase& c : strings) {
        board().set_string_descriptor(c.index, c.raw);
        unsigned char text[255] = {};
        EXPECT_EQ(libusb_get_string_descriptor(h_, c.index, 0x0409, text, sizeof text), c.expected)
            << int(c.index) << " " << c.raw.size();
        if (c.expected > 0) {
            EXPECT_EQ(std::vector<uint8_t>(text, text + c.expected), c.raw);
        }
        board().set_string_descriptor(c.index, std::nullopt);
    }
    unsigned char text[64] = {};
    EXPECT_GT(libusb_get_string_descriptor_ascii(h_, 3, text, sizeof text), 0) << "the real one again";
}

}  // namespace
}  // namespace vboard::test
