// Receive waits while the board's notification arrives on another thread.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "bridge_double.h"
#include "ostrane/OstraneCommsUSB.h"

using bridge_double::Bridge;

namespace {

class CommsUSBThreaded : public ::testing::Test {
  protected:
    void SetUp() override { Bridge::instance().reset(); }
    void TearDown() override {
        for (int h = 0; h < 256; ++h)
            OstraneCommsUSBClose(h);
        Bridge::instance().reset();
    }
};

TEST_F(CommsUSBThreaded, ReceiveReturnsTheReplyThatArrivesDuringTheWait) {
    int handle = -1;
    ASSERT_EQ(OstraneCommsUSBOpenByIndex(&handle, 0), CommsOk);
    for (int round = 0; round < 20; ++round) {
        std::thread board =
            Bridge::instance().deliver_async({0x90, 0x50, 0xFF}, std::chrono::milliseconds(2));
        std::uint8_t buffer[8] = {};
        std::uint8_t count = 3;
        // Generous bound; the reply ends the wait long before it.
        const unsigned code = OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 10000);
        board.join();
        ASSERT_EQ(code, CommsOk) << "round " << round;
        ASSERT_EQ(count, 3);
        EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 3),
                  (std::vector<std::uint8_t>{0x90, 0x50, 0xFF}));
        Bridge::instance().set_register(0x18, 0);
    }
    EXPECT_EQ(OstraneCommsUSBClose(handle), CommsOk);
}

TEST_F(CommsUSBThreaded, ReplyInTwoPartsIsWaitedForUntilComplete) {
    int handle = -1;
    ASSERT_EQ(OstraneCommsUSBOpenByIndex(&handle, 0), CommsOk);
    Bridge::instance().deliver({1, 2});
    std::thread board = Bridge::instance().deliver_async({3, 4}, std::chrono::milliseconds(5));
    std::uint8_t buffer[8] = {};
    std::uint8_t count = 4;
    const unsigned code = OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 10000);
    board.join();
    EXPECT_EQ(code, CommsOk);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 4),
              (std::vector<std::uint8_t>{1, 2, 3, 4}));
}

} // namespace
