// The board channel end to end through the real library: open a board, send a command, receive
// the camera's echo, close; two boards at once; and a board unplugged in the middle of a call.
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "../session/support.h"
#include "ostrane/OstraneCommsUSB.h"

using namespace session_test;

namespace {

std::string receive(int channel, std::size_t wanted, int timeout_ms, unsigned* code = nullptr)
{
    char buffer[OSTRANE_COMMS_MAX_TRANSFER] = {};
    auto count = static_cast<std::uint8_t>(wanted);
    const unsigned rc = OstraneCommsUSBReceive(channel, buffer, sizeof buffer, &count, timeout_ms);
    if (code != nullptr)
        *code = rc;
    if (rc != CommsOk)
        return "<code " + std::to_string(rc) + ">";
    return std::string(buffer, count);
}

unsigned transmit(int channel, const std::string& text)
{
    return OstraneCommsUSBTransmit(channel, text.data(), text.size());
}

TEST(BoardChannel, CommandAndEcho)
{
    const auto plugged = plug("ECHO");
    int channel = OSTRANE_COMMS_INVALID_HANDLE;
    ASSERT_EQ(OstraneCommsUSBOpenByIndex(&channel, 0), CommsOk);
    EXPECT_EQ(channel, 0);
    vboard::Board* board = model(plugged.id);
    if (board != nullptr) {
        EXPECT_EQ(board->bridge().interrupt_enable, 0x0E);
    }

    ASSERT_EQ(transmit(channel, "hello"), CommsOk);
    EXPECT_EQ(receive(channel, 5, 2000), "hello");
    ASSERT_EQ(transmit(channel, "second command"), CommsOk);
    EXPECT_EQ(receive(channel, 14, 2000), "second command");
    if (board != nullptr) {
        const auto sent = board->bridge().to_camera;
        EXPECT_EQ(std::string(sent.begin(), sent.end()), "hellosecond command");
    }

    EXPECT_EQ(OstraneCommsUSBClose(channel), CommsOk);
    if (board != nullptr) {
        EXPECT_TRUE(board->claimed_interfaces().empty());
    }
    EXPECT_EQ(transmit(channel, "late"), CommsBadHandle);

    // The device is free again for a new channel.
    ASSERT_EQ(OstraneCommsUSBOpenByIndex(&channel, 0), CommsOk);
    EXPECT_EQ(OstraneCommsUSBClose(channel), CommsOk);
}

TEST(BoardChannel, SilentCameraEndsInNoData)
{
    const auto plugged = plug("SILENT");
    if (vboard::Board* board = model(plugged.id))
        board->set_camera(vboard::CameraBehaviour::silent());
    int channel = OSTRANE_COMMS_INVALID_HANDLE;
    ASSERT_EQ(OstraneCommsUSBOpenByIndex(&channel, 0), CommsOk);
    ASSERT_EQ(transmit(channel, "ping"), CommsOk);
    unsigned code = 0;
    receive(channel, 4, 100, &code);
    EXPECT_EQ(code, CommsNoData);
    EXPECT_EQ(OstraneCommsUSBClose(channel), CommsOk);
}

TEST(BoardChannel, TwoBoardsAtOnce)
{
    plug("LEFT");
    plug("RIGHT");
    int left = OSTRANE_COMMS_INVALID_HANDLE;
    int right = OSTRANE_COMMS_INVALID_HANDLE;
    ASSERT_EQ(OstraneCommsUSBOpenByIndex(&left, 0), CommsOk);
    ASSERT_EQ(OstraneCommsUSBOpenByIndex(&right, 1), CommsOk);
    EXPECT_NE(left, right);

    // Both channels talk at the same time from two threads.
    auto talk = [](int channel, const std::string& prefix) {
        for (int i = 0; i < 20; ++i) {
            const std::string text = prefix + std::to_string(i);
            if (transmit(channel, text) != CommsOk)
                return "transmit failed at " + text;
            const std::string reply = receive(channel, text.size(), 2000);
            if (reply != text)
                return "sent " + text + ", got " + reply;
        }
        return std::string("ok");
    };
    auto a = std::async(std::launch::async, talk, left, "left-");
    auto b = std::async(std::launch::async, talk, right, "right-");
    EXPECT_EQ(a.get(), "ok");
    EXPECT_EQ(b.get(), "ok");

    EXPECT_EQ(OstraneCommsUSBClose(left), CommsOk);
    EXPECT_EQ(OstraneCommsUSBClose(right), CommsOk);
}

TEST(BoardChannel, UnplugDuringReceive)
{
    const auto plugged = plug("GONE-RX");
    if (vboard::Board* silent = model(plugged.id))
        silent->set_camera(vboard::CameraBehaviour::silent());
    int channel = OSTRANE_COMMS_INVALID_HANDLE;
    ASSERT_EQ(OstraneCommsUSBOpenByIndex(&channel, 0), CommsOk);
    ASSERT_EQ(transmit(channel, "wait"), CommsOk);

    vboard::Board* board = model(plugged.id);
    const std::size_t before = board != nullptr ? board->request_log().size() : 0;
    auto waiting = std::async(std::launch::async, [&] {
        unsigned code = 0;
        receive(channel, 4, 1000, &code);
        return code;
    });
    // Unplugged once the receive has read the level and waits for a message, so that its
    // recording always holds that read (a replay unplugs after it, as recorded).
    if (board != nullptr) {
        ASSERT_TRUE(eventually([&] { return board->request_log().size() > before; }));
    }
    ASSERT_TRUE(unplug(plugged.id));
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(60)), std::future_status::ready)
        << "receive hangs after the board is gone";
    const unsigned code = waiting.get();
    EXPECT_TRUE(code == CommsNoData || code == CommsFailed) << code;

    // Further calls fail cleanly; closing reports the failure but frees the channel.
    EXPECT_EQ(transmit(channel, "more"), CommsFailed);
    const auto start = std::chrono::steady_clock::now();
    OstraneCommsUSBClose(channel);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(OstraneCommsUSBClose(channel), CommsBadHandle);

    plug("NEXT");
    int next = OSTRANE_COMMS_INVALID_HANDLE;
    ASSERT_EQ(OstraneCommsUSBOpenByIndex(&next, 0), CommsOk);
    EXPECT_EQ(next, channel) << "the closed channel number is free again";
    EXPECT_EQ(OstraneCommsUSBClose(next), CommsOk);
}

TEST(BoardChannel, UnplugDuringTransmit)
{
    const auto plugged = plug("GONE-TX");
    int channel = OSTRANE_COMMS_INVALID_HANDLE;
    ASSERT_EQ(OstraneCommsUSBOpenByIndex(&channel, 0), CommsOk);
    // The transmit's first request is held by the board until it is unplugged (a replay holds
    // it as recorded and unplugs as recorded).
    vboard::Board* board = model(plugged.id);
    if (board != nullptr)
        board->delay_control(1, std::chrono::milliseconds(3000));
    const std::size_t before = board != nullptr ? board->request_log().size() : 0;

    auto sending = std::async(std::launch::async, [&] { return transmit(channel, "lost"); });
    if (board != nullptr) {
        ASSERT_TRUE(eventually([&] { return board->request_log().size() > before; }));
        EXPECT_EQ(sending.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
            << "the held request must still be in progress";
    }
    ASSERT_TRUE(unplug(plugged.id));
    ASSERT_EQ(sending.wait_for(std::chrono::seconds(60)), std::future_status::ready)
        << "transmit hangs after the board is gone";
    EXPECT_EQ(sending.get(), CommsFailed);

    unsigned code = 0;
    receive(channel, 4, 100, &code);
    EXPECT_TRUE(code == CommsNoData || code == CommsFailed) << code;
    OstraneCommsUSBClose(channel);
    EXPECT_EQ(OstraneCommsUSBClose(channel), CommsBadHandle);
}

} // namespace
