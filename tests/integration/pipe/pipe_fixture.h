// What the streaming tests share beyond the common support: a board opened in FIFO mode and the
// counter pattern the data checks use.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "ostrane/ft60x.h"
#include "support/bus.h"
#include "support/log_capture.h"
#include "support/sanitizers.h"
#include "support/wait.h"

namespace pipe_test {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

inline constexpr std::uint8_t fifo = 4; // FIFO mode puts the board's pipes in entry 4
inline constexpr std::uint8_t ep_in = 0x85;
inline constexpr std::uint8_t ep_out = 0x05;

#if defined(OSTRANE_TEST_ASAN) || defined(OSTRANE_TEST_TSAN)
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif

using test_support::eventually;
using test_support::log_capture;
using test_support::text_file;

// Byte `o` of the stream is byte (o % 4) of the little-endian 32-bit word o / 4; the board's
// pattern source produces the same.
inline void fill_pattern(std::uint8_t* p, std::uint64_t offset, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t o = offset + i;
        p[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(o >> 2) >> (8 * (o & 3)));
    }
}

inline std::vector<std::uint8_t> pattern(std::uint64_t offset, std::size_t n) {
    std::vector<std::uint8_t> v(n);
    fill_pattern(v.data(), offset, n);
    return v;
}

using test_support::bus;

// The FIFO-mode configuration; everything else at its defaults.
inline FT_TRANSFER_CONF fifo_mode_conf() {
    FT_TRANSFER_CONF c{};
    c.wStructSize = sizeof(FT_TRANSFER_CONF);
    c.bFifoMode = 1;
    return c;
}

class PipeTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (handle) {
            EXPECT_EQ(FT_Close(handle), 0u);
        }
    }

    void plug(vboard::BoardConfig config = {}) { board_id = bus().plug(std::move(config)).id; }
    vboard::Board& board() { return bus().board(board_id); }

    // Opens board 0 with `conf` for FIFO 0 (record 0 holds the mode).
    void open(FT_TRANSFER_CONF conf) {
        ASSERT_EQ(FT_SetTransferParams(&conf, 0), 0u);
        ASSERT_EQ(FT_Create(nullptr, FT_OPEN_BY_INDEX, &handle), 0u);
        ASSERT_NE(handle, nullptr);
    }
    void plug_and_open(FT_TRANSFER_CONF conf = fifo_mode_conf()) {
        plug();
        open(conf);
    }

    std::uint32_t read_queue() {
        std::uint32_t n = 0;
        EXPECT_EQ(FT_GetReadQueueStatus(handle, fifo, &n), 0u);
        return n;
    }
    std::uint32_t write_queue() {
        std::uint32_t n = 0;
        EXPECT_EQ(FT_GetWriteQueueStatus(handle, fifo, &n), 0u);
        return n;
    }

    // Writes all of `data`, failing the test unless it is queued in one call.
    void write_all(const std::vector<std::uint8_t>& data) {
        std::uint32_t n = 0;
        ASSERT_EQ(FT_WritePipeEx(handle, fifo, data.data(), static_cast<std::uint32_t>(data.size()),
                                 &n, 10000),
                  0u);
        ASSERT_EQ(n, data.size());
    }

    // Fills the board's loopback FIFO with nothing reading it back, so that from here on the board
    // holds every OUT transfer; returns the bytes written (the FIFO's capacity).
    std::uint32_t fill_loopback() {
        const auto fill = static_cast<std::uint32_t>(vboard::Board::loopback_capacity);
        write_all(pattern(0, fill));
        EXPECT_TRUE(eventually([&] { return board().fifo().loopback_level == fill; }));
        EXPECT_TRUE(eventually([&] { return write_queue() == 0; }));
        return fill;
    }

    // One read of up to `length` bytes; the bytes read come back, the status in `status`.
    std::vector<std::uint8_t> read(std::uint32_t length, std::uint32_t timeout_ms,
                                   FT_RESULT& status) {
        std::vector<std::uint8_t> v(length);
        std::uint32_t n = 0;
        status = FT_ReadPipeEx(handle, fifo, v.data(), length, &n, timeout_ms);
        v.resize(n);
        return v;
    }

    // Reads until `n` bytes have come, the pipe fails or the bound passes; what came back is
    // returned, the last read's status in `status`.
    std::vector<std::uint8_t> read_back(std::size_t n, FT_RESULT& status) {
        std::vector<std::uint8_t> got;
        eventually([&] {
            const auto part = read(static_cast<std::uint32_t>(n - got.size()), 100, status);
            got.insert(got.end(), part.begin(), part.end());
            return (status != 0 && status != STATUS_TIMED_OUT) || got.size() >= n;
        });
        return got;
    }

    int board_id = -1;
    void* handle = nullptr;
};

} // namespace pipe_test
