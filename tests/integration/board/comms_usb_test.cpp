// The four board channel calls through the real library on virtual boards: what each one sends to
// the UART bridge, read back from the board's request log and registers.
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <string>
#include <vector>

#include "board_support.h"
#include "ostrane/CommsDirectIO.h"
#include "ostrane/OstraneCommsUSB.h"

using namespace board_test;
using namespace Tessory::Ostrane;
using test_support::eventually;
using test_support::log_capture;
using session_test::plug;

namespace {

// Opens a channel on the board at `index` and clears that board's request log.
int open(int index = 0) {
    int handle = OSTRANE_COMMS_INVALID_HANDLE;
    EXPECT_EQ(OstraneCommsUSBOpenByIndex(&handle, index), CommsOk) << "index " << index;
    board_at(static_cast<std::uint32_t>(index)).clear_request_log();
    return handle;
}

// Sends `reply` from the camera once a receive has looked at the (empty) receive level, so that
// the receive finds nothing waiting and waits for the notification.
std::thread reply_once_waiting(vboard::Board& board, std::vector<std::uint8_t> reply) {
    return std::thread([&board, reply] {
        eventually([&] {
            for (const vboard::RequestRecord& r : i2c_log(board))
                if (setup_hex(r) == "C0 05 12 00 0D 01 01 00")
                    return true;
            return false;
        });
        board.camera_send(reply);
    });
}

// Waits until the board's receive FIFO holds `level` bytes.
bool fifo_holds(vboard::Board& board, std::size_t level) {
    return eventually([&] { return board.bridge().rx_fifo.size() == level; });
}

TEST(BoardCommsUSB, OpenSetsUpTheBridgeInterrupts) {
    for (const char* serial : {"IDX0", "IDX1", "IDX2", "IDX3"})
        plug(serial);
    int handle = OSTRANE_COMMS_INVALID_HANDLE;
    ASSERT_EQ(OstraneCommsUSBOpenByIndex(&handle, 3), CommsOk);
    EXPECT_EQ(handle, 0);
    // Only the board at index 3 was opened and set up.
    for (std::uint32_t other : {0u, 1u, 2u}) {
        EXPECT_TRUE(board_at(other).claimed_interfaces().empty()) << other;
        EXPECT_TRUE(i2c_log(board_at(other)).empty()) << other;
    }
    vboard::Board& board = board_at(3);
    EXPECT_FALSE(board.claimed_interfaces().empty());
    EXPECT_EQ(register_writes(board),
              (std::vector<Write>{{i2c_interrupt_period_ms_reg_address, 3},
                                  {i2c_interrupt_enable_reg_address, 0x0E},
                                  {i2c_control_reg_address, EnableInterrupts}}));
    const vboard::BridgeState bridge = board.bridge();
    EXPECT_EQ(bridge.interrupt_period_ms, 3);
    EXPECT_EQ(bridge.interrupt_enable, 0x0E);
    EXPECT_EQ(bridge.control, EnableInterrupts);

    // Registered for notifications: the camera's bytes wake a waiting receive.
    board.clear_request_log();
    std::thread reply = reply_once_waiting(board, {0x90, 0x51});
    std::uint8_t buffer[4] = {};
    std::uint8_t count = 2;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 5000), CommsOk);
    reply.join();
    EXPECT_EQ(count, 2);
    EXPECT_TRUE(read_register(board, i2c_interrupt_status_reg_address));
}

TEST(BoardCommsUSB, OpenClearsAStaleMessageFlag) {
    plug("STALE");
    const int handle = open();
    vboard::Board& board = board_at(0);
    // Two notifications: the board sends the second only once the host has taken the first, and
    // the library hands the first to the channel before it asks for the next.
    board.send_notification();
    board.send_notification();
    ASSERT_TRUE(eventually([&] { return board.notifications_sent().size() == 2; }));
    // The channel is closed without consuming its message flag, then opened again.
    ASSERT_EQ(OstraneCommsUSBClose(handle), CommsOk);
    ASSERT_EQ(open(), handle);
    std::uint8_t buffer[4];
    std::uint8_t count = 1;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 1), CommsNoData);
    // A fresh channel has no message: the wait never looked at the interrupt status.
    EXPECT_FALSE(read_register(board, i2c_interrupt_status_reg_address));
}

TEST(BoardCommsUSB, OpenFailureCodesDependOnTheIndexHistory) {
    plug("HISTORY");
    log_capture log;
    int handle = 99;
    EXPECT_EQ(OstraneCommsUSBOpenByIndex(nullptr, 0), CommsBadHandle);
    EXPECT_TRUE(i2c_log(board_at(0)).empty());
    EXPECT_TRUE(board_at(0).claimed_interfaces().empty());

    // Past the end of the device list, never opened.
    EXPECT_EQ(OstraneCommsUSBOpenByIndex(&handle, 1), CommsOpenFailed);
    EXPECT_TRUE(log.contains("FT_Create failed to find device"));

    // Opened once, then refused while it is still open elsewhere.
    int first = OSTRANE_COMMS_INVALID_HANDLE;
    ASSERT_EQ(OstraneCommsUSBOpenByIndex(&first, 0), CommsOk);
    board_at(0).set_refuse_claim(true);
    EXPECT_EQ(OstraneCommsUSBOpenByIndex(&handle, 0), CommsIndexUsed);
    EXPECT_EQ(handle, OSTRANE_COMMS_INVALID_HANDLE) << "a failed open hands out no number";
    EXPECT_EQ(OstraneCommsUSBTransmit(handle, "x", 1), CommsBadHandle);
    board_at(0).set_refuse_claim(false);

    // Still marked after closing, even once the board is gone.
    ASSERT_EQ(OstraneCommsUSBClose(first), CommsOk);
    bus().unplug(bus().boards().front().id);
    EXPECT_EQ(OstraneCommsUSBOpenByIndex(&handle, 0), CommsIndexUsed);
}

TEST(BoardCommsUSB, IndexOutsideTheTableIsRefusedWithoutOpening) {
    plug("RANGE");
    log_capture log;
    for (int index : {-1, 256, 100000}) {
        int handle = 42;
        EXPECT_EQ(OstraneCommsUSBOpenByIndex(&handle, index), CommsOpenFailed) << index;
        EXPECT_EQ(handle, OSTRANE_COMMS_INVALID_HANDLE);
    }
    EXPECT_FALSE(log.contains("FT_Create")) << "no device open was tried";
    EXPECT_TRUE(board_at(0).claimed_interfaces().empty());
    EXPECT_EQ(open(), 0) << "no number was taken";
}

TEST(BoardCommsUSB, ChannelNumbersAreLowestFreeFirst) {
    for (int i = 0; i < 7; ++i)
        plug("NUM" + std::to_string(i));
    std::vector<int> handles;
    for (int i = 0; i < 6; ++i)
        handles.push_back(open(i));
    EXPECT_EQ(handles, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    ASSERT_EQ(OstraneCommsUSBClose(3), CommsOk);
    EXPECT_EQ(open(3), 3);
    EXPECT_EQ(open(6), 6);
    for (int h = 0; h < 7; ++h)
        EXPECT_EQ(OstraneCommsUSBClose(h), CommsOk);
}

TEST(BoardCommsUSB, TransmitWritesTheBytesIntoTheDataRegister) {
    plug("TX");
    const int handle = open();
    vboard::Board& board = board_at(0);
    board.set_camera(vboard::CameraBehaviour::silent());
    const std::uint8_t command[] = {0x81, 0x09, 0x04, 0x47, 0xFF};
    EXPECT_EQ(OstraneCommsUSBTransmit(handle, command, sizeof command), CommsOk);
    const auto camera = board.bridge().to_camera;
    EXPECT_EQ(camera, std::vector<std::uint8_t>(command, command + 5));
    const auto sent = i2c_log(board);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(setup_hex(sent[0]), "C0 05 13 00 0D 01 01 00");
    EXPECT_EQ(setup_hex(sent[1]), "40 05 10 00 0D 05 05 00");
    EXPECT_EQ(sent[1].data, camera);

    // The bridge does not answer the level read: nothing is written.
    board.clear_request_log();
    board.nak_i2c(1);
    EXPECT_EQ(OstraneCommsUSBTransmit(handle, command, sizeof command), CommsFailed);
    EXPECT_EQ(i2c_log(board).size(), 1u);
    EXPECT_EQ(board.bridge().to_camera.size(), 5u);
}

TEST(BoardCommsUSB, TransmitRefusesMoreThan128BytesAndSendsNothing) {
    plug("TX128");
    const int handle = open();
    vboard::Board& board = board_at(0);
    board.set_camera(vboard::CameraBehaviour::silent());
    std::vector<std::uint8_t> data(300, 0x55);
    EXPECT_EQ(OstraneCommsUSBTransmit(handle, data.data(), 128), CommsOk);
    EXPECT_EQ(board.bridge().to_camera.size(), 128u);
    board.clear_request_log();
    for (std::size_t length : {129u, 256u, 300u})
        EXPECT_EQ(OstraneCommsUSBTransmit(handle, data.data(), length), CommsFailed) << length;
    EXPECT_TRUE(i2c_log(board).empty());
    EXPECT_EQ(board.bridge().to_camera.size(), 128u);
}

TEST(BoardCommsUSB, ArgumentChecksComeBeforeTheChannelLookup) {
    plug("ARGS");
    std::uint8_t buffer[8];
    std::uint8_t count = 1;
    EXPECT_EQ(OstraneCommsUSBTransmit(77, nullptr, 1), CommsNullPointer);
    EXPECT_EQ(OstraneCommsUSBReceive(77, nullptr, 8, &count, 0), CommsNullPointer);
    EXPECT_EQ(OstraneCommsUSBReceive(77, buffer, 8, nullptr, 0), CommsNullPointer);
    EXPECT_EQ(OstraneCommsUSBTransmit(77, buffer, 1), CommsBadHandle);
    EXPECT_EQ(OstraneCommsUSBReceive(77, buffer, 8, &count, 0), CommsBadHandle);
    EXPECT_EQ(OstraneCommsUSBClose(77), CommsBadHandle);
    EXPECT_EQ(OstraneCommsUSBTransmit(-1, buffer, 1), CommsBadHandle);

    const int handle = open();
    ASSERT_EQ(OstraneCommsUSBClose(handle), CommsOk);
    board_at(0).clear_request_log();
    EXPECT_EQ(OstraneCommsUSBTransmit(handle, buffer, 1), CommsBadHandle);
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, 8, &count, 0), CommsBadHandle);
    EXPECT_EQ(OstraneCommsUSBClose(handle), CommsBadHandle);
    EXPECT_TRUE(i2c_log(board_at(0)).empty());
}

TEST(BoardCommsUSB, ReceiveChecksCountAndBufferSize) {
    plug("SIZES");
    const int handle = open();
    vboard::Board& board = board_at(0);
    std::vector<std::uint8_t> buffer(256);
    for (std::uint8_t asked : {128, 200}) {
        std::uint8_t count = asked;
        EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer.data(), buffer.size(), &count, 0),
                  CommsBadLength);
        EXPECT_EQ(count, asked);
    }
    std::uint8_t count = 6;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer.data(), 5, &count, 0), CommsBufferTooSmall);
    EXPECT_TRUE(i2c_log(board).empty());

    // The largest count allowed, in one read.
    board.camera_send(std::vector<std::uint8_t>(127, 1));
    ASSERT_TRUE(fifo_holds(board, 127));
    count = 127;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer.data(), 127, &count, 0), CommsOk);
    EXPECT_EQ(count, 127);
    EXPECT_EQ(setup_hex(i2c_log(board).back()), "C0 05 10 00 0D 7F 7F 00");
}

TEST(BoardCommsUSB, ReceiveWithoutInterruptTimesOutWithNoData) {
    plug("QUIET");
    const int handle = open();
    vboard::Board& board = board_at(0);
    std::uint8_t buffer[16];
    std::uint8_t count = 4;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 20), CommsNoData);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    EXPECT_EQ(count, 0);
    // Only the level was looked at, once, before the wait; the receive interrupt ends enabled.
    const auto sent = i2c_log(board);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(setup_hex(sent[0]), "C0 05 12 00 0D 01 01 00");
    EXPECT_EQ(setup_hex(sent[1]), "40 05 15 00 0D 01 01 00");
    EXPECT_EQ(sent[1].data, bytes({EnableInterrupts}));
    EXPECT_EQ(board.bridge().control, EnableInterrupts);
}

TEST(BoardCommsUSB, ReceiveWithoutWaitingReadsWhatTheFifoHolds) {
    plug("NOWAIT");
    const int handle = open();
    vboard::Board& board = board_at(0);
    board.camera_send({0x90, 0x41, 0xFF});
    ASSERT_TRUE(fifo_holds(board, 3));
    std::uint8_t buffer[16] = {};
    std::uint8_t count = 10;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 0), CommsOk);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 3), bytes({0x90, 0x41, 0xFF}));
    EXPECT_EQ(setup_hex(i2c_log(board).back()), "C0 05 10 00 0D 03 03 00");
    EXPECT_TRUE(board.bridge().rx_fifo.empty());

    // An empty FIFO: the data register is not read, and no-wait never reports missing data.
    board.clear_request_log();
    count = 5;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 0), CommsOk);
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(read_register(board, i2c_data_reg_address));
}

// A level read the bridge does not answer is a failure, not "nothing there", though bytes wait
// (sent with the bridge's interrupts masked: no notification takes the receive another way).
TEST(BoardCommsUSB, ReceiveWithoutWaitingFailsWhenTheLevelCannotBeRead) {
    plug("NAKLEVEL");
    const int handle = open();
    vboard::Board& board = board_at(0);
    std::uint8_t buffer[8] = {};
    board.control({0x40, i2c_request, i2c_interrupt_enable_reg_address, 0x010D, 1}, buffer, {});
    board.camera_send({0x42, 0x43});
    ASSERT_TRUE(fifo_holds(board, 2));
    board.nak_i2c(2);
    std::uint8_t count = 5;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 0), CommsFailed);
    EXPECT_EQ(count, 5);
}

TEST(BoardCommsUSB, ReceiveAfterInterruptReadsTheRequestedCount) {
    plug("SIX");
    const int handle = open();
    vboard::Board& board = board_at(0);
    std::uint8_t buffer[16] = {};
    std::uint8_t count = 4;
    std::thread later = reply_once_waiting(board, {10, 11, 12, 13, 14, 15});
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 5000), CommsOk);
    later.join();
    EXPECT_EQ(count, 4);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 4), bytes({10, 11, 12, 13}));
    EXPECT_EQ(board.bridge().rx_fifo, bytes({14, 15}));

    // Level (empty), receive interrupt off, status and level read, interrupt on, level again,
    // data.
    const auto sent = i2c_log(board);
    ASSERT_EQ(sent.size(), 7u);
    EXPECT_EQ(setup_hex(sent[0]), "C0 05 12 00 0D 01 01 00");
    EXPECT_EQ(sent[0].data, bytes({0}));
    EXPECT_EQ(setup_hex(sent[1]), "40 05 15 00 0D 01 01 00");
    EXPECT_EQ(sent[1].data, bytes({0}));
    EXPECT_EQ(setup_hex(sent[2]), "C0 05 18 00 0D 01 01 00");
    EXPECT_NE(sent[2].data, bytes({0})) << "the receive interrupt was latched";
    EXPECT_EQ(setup_hex(sent[3]), "C0 05 12 00 0D 01 01 00");
    EXPECT_EQ(sent[3].data, bytes({6}));
    EXPECT_EQ(setup_hex(sent[4]), "40 05 15 00 0D 01 01 00");
    EXPECT_EQ(sent[4].data, bytes({EnableInterrupts}));
    EXPECT_EQ(setup_hex(sent[5]), "C0 05 12 00 0D 01 01 00");
    EXPECT_EQ(setup_hex(sent[6]), "C0 05 10 00 0D 04 04 00");
}

TEST(BoardCommsUSB, DataAlreadyWaitingIsReadWithoutANotification) {
    plug("WAITING");
    const int handle = open();
    vboard::Board& board = board_at(0);
    std::vector<std::uint8_t> reply(200);
    for (std::size_t i = 0; i < reply.size(); ++i)
        reply[i] = static_cast<std::uint8_t>(i);
    board.camera_send(reply);
    ASSERT_TRUE(fifo_holds(board, 200));
    std::uint8_t buffer[128] = {};
    std::uint8_t count = 127;
    ASSERT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 1000), CommsOk);
    ASSERT_EQ(count, 127);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 127),
              std::vector<std::uint8_t>(reply.begin(), reply.begin() + 127));
    // The rest is read by the next receive, though no new notification comes for it.
    count = 127;
    ASSERT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 100), CommsOk);
    ASSERT_EQ(count, 73);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 73),
              std::vector<std::uint8_t>(reply.begin() + 127, reply.end()));
    EXPECT_TRUE(board.bridge().rx_fifo.empty());
}

TEST(BoardCommsUSB, ReceiveOfAShortReplyReportsWhatArrivedAfterTheWait) {
    plug("SHORT");
    const int handle = open();
    vboard::Board& board = board_at(0);
    board.camera_send({7, 8});
    ASSERT_TRUE(fifo_holds(board, 2));
    ASSERT_TRUE(eventually([&] { return !board.notifications_sent().empty(); }));
    std::uint8_t buffer[16] = {};
    std::uint8_t count = 4;
    // The wait lasts the whole time-out: the reply is short of the count.
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 300), CommsOk);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(buffer[1], 8);
    EXPECT_EQ(setup_hex(i2c_log(board).back()), "C0 05 10 00 0D 02 02 00");
    EXPECT_EQ(board.bridge().control_writes.back(), EnableInterrupts);
}

// The reply lands during the wait, well after the receive began.
TEST(BoardCommsUSB, ReceiveReturnsTheReplyThatArrivesDuringTheWait) {
    plug("DURING");
    const int handle = open();
    vboard::Board& board = board_at(0);
    board.set_camera(vboard::CameraBehaviour::slow(std::chrono::milliseconds(2)));
    const std::uint8_t command[] = {0x90, 0x50, 0xFF};
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(OstraneCommsUSBTransmit(handle, command, sizeof command), CommsOk);
        std::uint8_t buffer[8] = {};
        std::uint8_t count = 3;
        // Generous bound; the reply ends the wait long before it.
        ASSERT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 10000), CommsOk)
            << "round " << round;
        ASSERT_EQ(count, 3);
        EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 3), bytes({0x90, 0x50, 0xFF}));
    }
    EXPECT_EQ(OstraneCommsUSBClose(handle), CommsOk);
}

TEST(BoardCommsUSB, ReplyInTwoPartsIsReadWhole) {
    plug("PARTS");
    const int handle = open();
    vboard::Board& board = board_at(0);
    // The command's answer comes 100 ms later; the first part is there at once.
    board.set_camera(vboard::CameraBehaviour::slow(std::chrono::milliseconds(100)));
    board.set_camera_responder([](std::span<const std::uint8_t>) {
        return std::vector<std::vector<std::uint8_t>>{{3, 4}};
    });
    ASSERT_EQ(OstraneCommsUSBTransmit(handle, "?", 1), CommsOk);
    board.camera_send({1, 2});
    std::uint8_t buffer[8] = {};
    std::uint8_t count = 4;
    // The first part's notification does not end the wait: the bridge's interrupt is enabled again
    // and the second part's does.
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 2000), CommsOk);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 4), bytes({1, 2, 3, 4}));
    // The first part alone did not end the wait.
    bool saw_first_part = false;
    for (const vboard::RequestRecord& r : i2c_log(board))
        if (setup_hex(r) == "C0 05 12 00 0D 01 01 00" && r.data == bytes({2}))
            saw_first_part = true;
    EXPECT_TRUE(saw_first_part);
    EXPECT_EQ(board.bridge().control, EnableInterrupts);
}

std::chrono::nanoseconds thread_cpu_time() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

// A waiting receive sleeps until the reply's notification (the tests above) or its time-out, and
// receives on one channel take turns: two threads never take each other's signal (one failed on
// a healthy board, or read a byte twice).
TEST(BoardCommsUSB, ReceiveSleepsWhileItWaitsAndReceivesTakeTurns) {
    plug("SLEEPS");
    const int handle = open();
    vboard::Board& board = board_at(0);
    board.set_camera(vboard::CameraBehaviour::silent());
    std::uint8_t buffer[128] = {};
    std::uint8_t count = 4;
    const auto cpu = thread_cpu_time();
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 1000), CommsNoData);
    EXPECT_LT(thread_cpu_time() - cpu, std::chrono::milliseconds(200)) << "a second's wait spun";

    // Two threads receive one byte at a time while the camera sends 60.
    constexpr int messages = 60;
    std::atomic<int> received{0}, failed{0};
    auto receive_all = [&] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (received.load() < messages && std::chrono::steady_clock::now() < end) {
            std::uint8_t b[8], n = 1;
            const unsigned r = OstraneCommsUSBReceive(handle, b, sizeof b, &n, 50);
            if (r == CommsOk)
                received += n;
            else if (r != CommsNoData)
                ++failed;
        }
    };
    std::thread first(receive_all), second(receive_all);
    for (int i = 0; i < messages; ++i) {
        board.camera_send({static_cast<std::uint8_t>(i)});
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    first.join();
    second.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(received.load(), messages);
    EXPECT_EQ(OstraneCommsUSBClose(handle), CommsOk);
}

TEST(BoardCommsUSB, CloseClearsMaskAndControlThenCloses) {
    plug("CLOSE");
    const int handle = open();
    vboard::Board& board = board_at(0);
    EXPECT_EQ(OstraneCommsUSBClose(handle), CommsOk);
    EXPECT_EQ(register_writes(board), (std::vector<Write>{{i2c_control_reg_address, 0},
                                                          {i2c_interrupt_enable_reg_address, 0},
                                                          {i2c_control_reg_address, 0}}));
    EXPECT_EQ(board.bridge().interrupt_enable, 0);
    EXPECT_EQ(board.bridge().control, 0);
    EXPECT_TRUE(board.claimed_interfaces().empty());

    // A bridge that no longer answers still closes, and the number is free again.
    const int silent = open();
    board.nak_i2c(3);
    EXPECT_EQ(OstraneCommsUSBClose(silent), CommsOk);
    EXPECT_TRUE(board.claimed_interfaces().empty());
    EXPECT_EQ(open(), silent);
}

} // namespace
