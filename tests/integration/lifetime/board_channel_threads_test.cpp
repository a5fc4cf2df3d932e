// The board channel under threads: a close while another thread waits in a receive on the same
// channel, channels opened, used and closed from several threads at once, and a receive made from
// a notification callback, on the thread that delivers the channel's own notifications.
#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "../board/board_support.h"
#include "ostrane/OstraneCommsUSB.h"
#include "support.h"

using namespace lifetime_test;
using namespace std::chrono_literals;

namespace {

TEST(BoardChannelThreads, CloseEndsAWaitingReceiveAndWaitsForIt)
{
    plug("WAITING");
    int channel = OSTRANE_COMMS_INVALID_HANDLE;
    ASSERT_EQ(OstraneCommsUSBOpenByIndex(&channel, 0), CommsOk);
    vboard::Board& board = board_at(0);
    board.clear_request_log();

    std::atomic<unsigned> status{99};
    std::thread receiver([&] {
        std::uint8_t buffer[16] = {};
        std::uint8_t count = 4;
        // Nothing comes: the receive would poll for a minute.
        status = OstraneCommsUSBReceive(channel, buffer, sizeof buffer, &count, 60000);
    });
    // The receive has looked at the receive level and is now polling.
    ASSERT_TRUE(eventually([&] { return !board.request_log().empty(); }));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OstraneCommsUSBClose(channel), CommsOk);
    // Once the close has returned, the receive asks the board nothing more. (Which thread then
    // runs first is the scheduler's: the receiver's return is not ordered against it.)
    const std::size_t logged_at_close = board.request_log().size();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    receiver.join();
    EXPECT_EQ(board.request_log().size(), logged_at_close) << "the close returned under a running receive";
    EXPECT_EQ(status.load(), CommsBadHandle);
    EXPECT_TRUE(board.claimed_interfaces().empty());
    std::uint8_t count = 1;
    std::uint8_t byte = 0;
    EXPECT_EQ(OstraneCommsUSBReceive(channel, &byte, 1, &count, 0), CommsBadHandle);
    EXPECT_EQ(OstraneCommsUSBTransmit(channel, &byte, 1), CommsBadHandle);
}

// Each thread owns one board: opens a channel, echoes through it, closes, again and again, while
// the others do the same. Every round trip must return its own bytes.
TEST(BoardChannelThreads, ChannelsOpenTalkAndCloseInParallel)
{
    constexpr int threads = 4;
    const int rounds = cycles(5);
    for (int t = 0; t < threads; ++t)
        plug("PARALLEL" + std::to_string(t));
    std::uint32_t listed = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&listed), STATUS_SUCCESS);
    ASSERT_EQ(listed, static_cast<std::uint32_t>(threads));

    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int round = 0; round < rounds; ++round) {
                int channel = OSTRANE_COMMS_INVALID_HANDLE;
                if (OstraneCommsUSBOpenByIndex(&channel, t) != CommsOk) {
                    ++failures;
                    continue;
                }
                const std::uint8_t command[3] = {0x90, static_cast<std::uint8_t>(t),
                                                 static_cast<std::uint8_t>(round)};
                std::uint8_t reply[8] = {};
                std::uint8_t count = 3;
                if (OstraneCommsUSBTransmit(channel, command, sizeof command) != CommsOk ||
                    OstraneCommsUSBReceive(channel, reply, sizeof reply, &count, 10000) != CommsOk ||
                    count != 3 || std::memcmp(reply, command, 3) != 0)
                    ++failures;
                if (OstraneCommsUSBClose(channel) != CommsOk)
                    ++failures;
            }
        });
    }
    for (auto& w : workers)
        w.join();
    EXPECT_EQ(failures.load(), 0);
    // Every number came back: the next opens get 0, 1, ...
    std::set<int> numbers;
    for (int t = 0; t < threads; ++t) {
        int channel = OSTRANE_COMMS_INVALID_HANDLE;
        ASSERT_EQ(OstraneCommsUSBOpenByIndex(&channel, t), CommsOk);
        numbers.insert(channel);
    }
    EXPECT_EQ(numbers, (std::set<int>{0, 1, 2, 3}));
    for (int channel : numbers)
        EXPECT_EQ(OstraneCommsUSBClose(channel), CommsOk);
}

struct talk_in_callback {
    int channel = OSTRANE_COMMS_INVALID_HANDLE;
    std::atomic<bool> done{false};
    std::atomic<unsigned> status{99};
    std::atomic<int> count{-1};
    std::uint8_t reply[8] = {};
};

void transmits_and_receives(void* context, int, void*)
{
    auto* t = static_cast<talk_in_callback*>(context);
    if (t->done)
        return;
    const std::uint8_t command[3] = {0x90, 0x11, 0x22};
    std::uint8_t count = 3;
    unsigned status = OstraneCommsUSBTransmit(t->channel, command, sizeof command);
    if (status == CommsOk)
        status = OstraneCommsUSBReceive(t->channel, t->reply, sizeof t->reply, &count, 2000);
    t->count = count;
    t->status = status;
    t->done = true;
}

// The channel's notification waits behind the callback that receives: the reply must still be
// found, not a time-out with no data.
TEST(BoardChannelThreads, ReceiveFromANotificationCallbackGetsTheReply)
{
    plug("CHANNEL");
    plug("TRIGGER");
    const int channel_index = index_of("CHANNEL");
    const int trigger_index = index_of("TRIGGER");
    ASSERT_GE(channel_index, 0);
    ASSERT_GE(trigger_index, 0);
    talk_in_callback talk;
    ASSERT_EQ(OstraneCommsUSBOpenByIndex(&talk.channel, channel_index), CommsOk);
    // The reply comes after the receive has begun to wait.
    board_at(static_cast<std::uint32_t>(channel_index)).set_camera(vboard::CameraBehaviour::slow());
    void* trigger = open_board(static_cast<std::uint32_t>(trigger_index), false);
    ASSERT_NE(trigger, nullptr);
    ASSERT_EQ(FT_SetNotificationCallback(trigger, &transmits_and_receives, &talk), STATUS_SUCCESS);
    board_at(static_cast<std::uint32_t>(trigger_index)).send_notification();
    ASSERT_TRUE(eventually([&] { return talk.done.load(); }));
    EXPECT_EQ(talk.status.load(), CommsOk);
    EXPECT_EQ(talk.count.load(), 3);
    EXPECT_EQ(std::memcmp(talk.reply, "\x90\x11\x22", 3), 0);
    EXPECT_EQ(FT_Close(trigger), STATUS_SUCCESS);
    EXPECT_EQ(OstraneCommsUSBClose(talk.channel), CommsOk);
}

} // namespace
