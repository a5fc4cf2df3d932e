// The bridge channel class through the real library on virtual boards: its register accesses as
// the board sees them, opening, notifications and closing.
#include <atomic>
#include <string>
#include <vector>

#include "board_support.h"
#include "ostrane/CommsDirectIO.h"

using namespace board_test;
using namespace Tessory::Ostrane;
using test_support::eventually;
using test_support::log_capture;
using session_test::plug;

namespace {

// Opens `channel` on the only board and clears the board's request log.
vboard::Board& open(CCommsDirectIO& channel, const std::string& serial) {
    vboard::Board& board = bus().board(plug(serial).id);
    EXPECT_EQ(channel.Open(0), DirectIOOk);
    board.clear_request_log();
    return board;
}

TEST(BoardDirectIO, RegisterWriteAndReadSendTheExactSetupBytes) {
    CCommsDirectIO channel;
    vboard::Board& board = open(channel, "REGS");
    board.camera_send({1, 2, 3});
    ASSERT_TRUE(eventually([&] { return board.bridge().rx_fifo.size() == 3; }));

    channel.SetRxInterruptEnable(true);
    std::uint8_t level = 0xFF;
    ASSERT_EQ(channel.GetRxFifoLevel(level), DirectIOOk);
    EXPECT_EQ(level, 3);

    const auto sent = i2c_log(board);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(setup_hex(sent[0]), "40 05 15 00 0D 01 01 00");
    EXPECT_EQ(sent[0].data, bytes({0x10}));
    EXPECT_EQ(setup_hex(sent[1]), "C0 05 12 00 0D 01 01 00");
    EXPECT_EQ(sent[1].data, bytes({3}));
    EXPECT_EQ(board.bridge().control, EnableInterrupts);
}

TEST(BoardDirectIO, OpenRegistersForNotificationsAndOpenWithoutArgumentsDoesNothing) {
    for (const char* serial : {"N0", "N1", "N2"})
        plug(serial);
    CCommsDirectIO idle;
    EXPECT_EQ(idle.Open(), DirectIOOk);
    EXPECT_EQ(idle.GetHandle(), nullptr);
    for (std::uint32_t index : {0u, 1u, 2u})
        EXPECT_TRUE(board_at(index).claimed_interfaces().empty()) << index;

    CCommsDirectIO channel;
    ASSERT_EQ(channel.Open(2), DirectIOOk);
    EXPECT_NE(channel.GetHandle(), nullptr);
    EXPECT_TRUE(board_at(0).claimed_interfaces().empty());
    EXPECT_TRUE(board_at(1).claimed_interfaces().empty());
    EXPECT_FALSE(board_at(2).claimed_interfaces().empty());

    std::atomic<int> calls{0};
    channel.SetCallback([&calls] { ++calls; });
    board_at(2).send_notification();
    EXPECT_TRUE(eventually([&] { return calls.load() == 1; }));
}

TEST(BoardDirectIO, OpenBySerialNumber) {
    plug("OST0000");
    vboard::Board& wanted = bus().board(plug("OST0001").id);
    log_capture log;
    CCommsDirectIO missing;
    EXPECT_EQ(missing.Open("OST0009"), DirectIOOpenFailed);
    EXPECT_EQ(missing.GetHandle(), nullptr);
    EXPECT_TRUE(log.contains("FT_Create failed to find device"));

    CCommsDirectIO channel;
    ASSERT_EQ(channel.Open("OST0001"), DirectIOOk);
    EXPECT_NE(channel.GetHandle(), nullptr);
    EXPECT_FALSE(wanted.claimed_interfaces().empty());
    EXPECT_EQ(bus().boards().size(), 2u);
    for (const vboard::PluggedBoard& other : bus().boards()) {
        if (other.serial != "OST0001") {
            EXPECT_TRUE(bus().board(other.id).claimed_interfaces().empty());
        }
    }
}

TEST(BoardDirectIO, OpenWithNoBoardFailsAndClosesNothing) {
    bus(); // an empty bus, there before the library's first look
    log_capture log;
    {
        CCommsDirectIO channel;
        EXPECT_EQ(channel.Open(0), DirectIOOpenFailed);
        EXPECT_EQ(channel.GetHandle(), nullptr);
    }
    EXPECT_TRUE(log.contains("FT_Create failed to find device"));
    EXPECT_FALSE(log.contains("Failed to close")) << "nothing to close after a failed open";
}

TEST(BoardDirectIO, CloseClearsMaskAndControlThenClosesTheDevice) {
    plug("SHUT");
    log_capture log;
    CCommsDirectIO never_opened;
    EXPECT_EQ(never_opened.Close(), DirectIOOk);
    EXPECT_TRUE(i2c_log(board_at(0)).empty());

    CCommsDirectIO channel;
    ASSERT_EQ(channel.Open(0), DirectIOOk);
    vboard::Board& board = board_at(0);
    board.clear_request_log();
    std::atomic<int> calls{0};
    channel.SetCallback([&calls] { ++calls; });
    EXPECT_EQ(channel.Close(), DirectIOOk);
    EXPECT_EQ(channel.GetHandle(), nullptr);
    EXPECT_EQ(register_writes(board), (std::vector<Write>{{i2c_interrupt_enable_reg_address, 0},
                                                          {i2c_control_reg_address, 0}}));
    EXPECT_TRUE(board.claimed_interfaces().empty());
    // A second close has nothing left to do.
    board.clear_request_log();
    EXPECT_EQ(channel.Close(), DirectIOOk);
    EXPECT_TRUE(board.request_log().empty());
    EXPECT_FALSE(log.contains("Failed to close")) << "no device close without an open device";
    EXPECT_EQ(calls.load(), 0);
}

TEST(BoardDirectIO, TxReadsTheTransmitLevelThenWritesTheBytes) {
    CCommsDirectIO channel;
    vboard::Board& board = open(channel, "TXLVL");
    board.set_camera(vboard::CameraBehaviour::silent());
    const std::uint8_t data[] = {0x81, 0x01, 0x04};
    EXPECT_EQ(channel.Tx(data, sizeof data), DirectIOOk);
    auto sent = i2c_log(board);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(setup_hex(sent[0]), "C0 05 13 00 0D 01 01 00");
    EXPECT_EQ(setup_hex(sent[1]), "40 05 10 00 0D 03 03 00");
    EXPECT_EQ(board.bridge().to_camera, bytes({0x81, 0x01, 0x04}));

    // A failed level read stops the transmit.
    board.clear_request_log();
    board.nak_i2c(1);
    EXPECT_EQ(channel.Tx(data, sizeof data), DirectIOAccessFailed);
    sent = i2c_log(board);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(sent[0].stalled);

    // More than 128 bytes fail the access without traffic for the data.
    board.clear_request_log();
    std::vector<std::uint8_t> big(129);
    EXPECT_EQ(channel.Tx(big.data(), big.size()), DirectIOAccessFailed);
    sent = i2c_log(board);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(setup_hex(sent[0]), "C0 05 13 00 0D 01 01 00");
    EXPECT_EQ(board.bridge().to_camera.size(), 3u);
}

TEST(BoardDirectIO, RxPopsTheRequestedBytesFromTheDataRegister) {
    CCommsDirectIO channel;
    vboard::Board& board = open(channel, "RXPOP");
    board.camera_send({9, 8, 7, 6});
    ASSERT_TRUE(eventually([&] { return board.bridge().rx_fifo.size() == 4; }));
    std::uint8_t buffer[4] = {};
    EXPECT_EQ(channel.Rx(buffer, 3), DirectIOOk);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 3), bytes({9, 8, 7}));
    EXPECT_EQ(board.bridge().rx_fifo, bytes({6}));
    EXPECT_EQ(setup_hex(i2c_log(board).back()), "C0 05 10 00 0D 03 03 00");
    // A null buffer is refused before any traffic.
    board.clear_request_log();
    EXPECT_EQ(channel.Rx(nullptr, 1), DirectIOAccessFailed);
    EXPECT_TRUE(i2c_log(board).empty());
}

TEST(BoardDirectIO, RegisterAccessorsAndFailures) {
    CCommsDirectIO channel;
    vboard::Board& board = open(channel, "ACCESS");
    // Two camera messages of 3 and 2 bytes waiting: every register holds a different value.
    board.camera_send({1, 2, 3});
    board.camera_send({4, 5});
    ASSERT_TRUE(eventually([&] { return board.bridge().rx_msg_level == 2; }));
    const vboard::BridgeState before = board.bridge();
    ASSERT_EQ(before.status, 0x83);
    ASSERT_EQ(before.interrupt_status, 0x06);
    ASSERT_EQ(before.rx_level, 5);
    ASSERT_EQ(before.tx_level, 0);

    std::uint8_t value = 0;
    EXPECT_EQ(channel.GetStatus(value), DirectIOOk);
    EXPECT_EQ(value, 0x83);
    EXPECT_EQ(channel.GetInterruptStatus(value), DirectIOOk);
    EXPECT_EQ(value, 0x06);
    EXPECT_EQ(board.bridge().interrupt_status, 0) << "reading the status clears it";
    value = 0xFF;
    EXPECT_EQ(channel.GetTxFifoLevel(value), DirectIOOk);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(channel.GetRxMsgLevel(value), DirectIOOk);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(channel.GetRxFifoLevel(value), DirectIOOk);
    EXPECT_EQ(value, 5);
    EXPECT_FALSE(channel.IsError());

    channel.SetInterruptPeriod(CCommsDirectIO::InterruptPeriod3ms);
    EXPECT_EQ(channel.SetInterruptMask(0x0E), DirectIOOk);
    EXPECT_EQ(board.bridge().interrupt_period_ms, 3);
    EXPECT_EQ(board.bridge().interrupt_enable, 0x0E);

    board.nak_i2c(1);
    EXPECT_EQ(channel.SetInterruptMask(0x0A), DirectIOAccessFailed);
    EXPECT_EQ(board.bridge().interrupt_enable, 0x0E);
    board.nak_i2c(1);
    EXPECT_EQ(channel.GetStatus(value), DirectIOAccessFailed);
    board.nak_i2c(1);
    EXPECT_TRUE(channel.IsError()) << "an unreadable status counts as an error";
}

TEST(BoardDirectIO, ResetWritesTheBitsThenEnableInterrupts) {
    CCommsDirectIO channel;
    vboard::Board& board = open(channel, "RESET");
    EXPECT_EQ(channel.ResetUART(), DirectIOOk);
    EXPECT_EQ(channel.ResetRxUART(), DirectIOOk);
    EXPECT_EQ(channel.ResetTxUART(), DirectIOOk);
    EXPECT_EQ(board.bridge().control_writes, bytes({0x0F, 0x10, 0x04, 0x10, 0x02, 0x10}));
    for (const vboard::RequestRecord& r : i2c_log(board))
        EXPECT_EQ(setup_hex(r), "40 05 15 00 0D 01 01 00");

    board.clear_request_log();
    board.nak_i2c(1);
    EXPECT_EQ(channel.ResetUART(), DirectIOAccessFailed);
    EXPECT_EQ(i2c_log(board).size(), 1u) << "the second write is not made";
}

} // namespace
