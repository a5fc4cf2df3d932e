// The bridge channel class and the I2C transaction encoding, over the register model.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "board/i2c_access.h"
#include "bridge_double.h"
#include "ostrane/CommsDirectIO.h"
#include "ostrane/DirectIOStatus.h"

using bridge_double::Bridge;
using bridge_double::hex;
using bridge_double::Transfer;
using namespace Tessory::Ostrane;

namespace {

class DirectIO : public ::testing::Test {
  protected:
    void SetUp() override { Bridge::instance().reset(); }
    void TearDown() override { Bridge::instance().reset(); }

    // An opened channel with the open's own traffic cleared.
    void open(CCommsDirectIO& channel) {
        ASSERT_EQ(channel.Open(0), DirectIOOk);
        Bridge::instance().clear_transfers();
    }

    static std::vector<Transfer> transfers() { return Bridge::instance().transfers(); }
};

TEST_F(DirectIO, RegisterWriteAndReadSendTheExactSetupBytes) {
    CCommsDirectIO channel;
    open(channel);

    channel.SetRxInterruptEnable(true);
    std::uint8_t level = 0xFF;
    Bridge::instance().push_rx({1, 2, 3});
    ASSERT_EQ(channel.GetRxFifoLevel(level), DirectIOOk);
    EXPECT_EQ(level, 3);

    const auto sent = transfers();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(hex(sent[0].setup_bytes()), "40 05 15 00 0D 01 01 00");
    EXPECT_EQ(sent[0].data, std::vector<std::uint8_t>{0x10});
    EXPECT_EQ(hex(sent[1].setup_bytes()), "C0 05 12 00 0D 01 01 00");
    EXPECT_EQ(sent[1].data, std::vector<std::uint8_t>{3});
}

TEST_F(DirectIO, I2CAccessEncodesCountDirectionAndRegisterFlag) {
    CCommsDirectIO channel;
    open(channel);
    void* handle = channel.GetHandle();
    std::vector<std::uint8_t> data(200, 0xA5);

    const i2c_access largest{0x0D, 128, 0x10, false, false};
    EXPECT_EQ(FT_I2CAccess(handle, &largest, data.data()), STATUS_SUCCESS);
    const i2c_access too_large{0x0D, 129, 0x10, false, false};
    EXPECT_EQ(FT_I2CAccess(handle, &too_large, data.data()), STATUS_TOO_LARGE);
    EXPECT_EQ(FT_I2CAccess(handle, nullptr, data.data()), STATUS_BAD_PARAMETER);
    EXPECT_EQ(FT_I2CAccess(handle, &largest, nullptr), STATUS_BAD_PARAMETER);

    // Only the accepted access reached the device.
    auto sent = transfers();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].request_type(), 0x40);
    EXPECT_EQ(sent[0].request(), 0x05);
    EXPECT_EQ(sent[0].length(), 128);
    EXPECT_EQ(sent[0].index(), 0x800D);
    EXPECT_EQ(Bridge::instance().tx_bytes(), std::vector<std::uint8_t>(128, 0xA5));

    // The flag decides bit 7 of the register address; the upper byte travels unchanged.
    Bridge::instance().clear_transfers();
    const i2c_access flagged{0x0D, 1, 0x0112, true, true};
    const i2c_access cleared{0x0D, 1, 0x0192, false, true};
    FT_I2CAccess(handle, &flagged, data.data());
    FT_I2CAccess(handle, &cleared, data.data());
    sent = transfers();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].request_type(), 0xC0);
    EXPECT_EQ(sent[0].value(), 0x0192);
    EXPECT_EQ(sent[1].value(), 0x0112);
}

TEST_F(DirectIO, OpenRegistersForNotificationsAndOpenWithoutArgumentsDoesNothing) {
    CCommsDirectIO idle;
    EXPECT_EQ(idle.Open(), DirectIOOk);
    EXPECT_EQ(idle.GetHandle(), nullptr);
    EXPECT_TRUE(Bridge::instance().creates().empty());

    CCommsDirectIO channel;
    ASSERT_EQ(channel.Open(2), DirectIOOk);
    ASSERT_EQ(Bridge::instance().creates().size(), 1u);
    EXPECT_EQ(Bridge::instance().creates()[0].identifier, 2u);
    EXPECT_EQ(Bridge::instance().creates()[0].flags, FT_OPEN_BY_INDEX);
    EXPECT_NE(channel.GetHandle(), nullptr);

    int calls = 0;
    channel.SetCallback([&calls] { ++calls; });
    Bridge::instance().notify();
    EXPECT_EQ(calls, 1);
}

TEST_F(DirectIO, OpenBySerialNumberPassesTheTextWithTheSerialFlag) {
    CCommsDirectIO channel;
    EXPECT_EQ(channel.Open("OST0001"), DirectIOOpenFailed); // the model opens by index only
    ASSERT_EQ(Bridge::instance().creates().size(), 1u);
    EXPECT_EQ(Bridge::instance().creates()[0].flags, FT_OPEN_BY_SERIAL_NUMBER);
    EXPECT_EQ(Bridge::instance().creates()[0].text, "OST0001");
    EXPECT_EQ(channel.GetHandle(), nullptr);
}

TEST_F(DirectIO, OpenFailures) {
    {
        Bridge::instance().fail_create(STATUS_NO_DEVICE);
        CCommsDirectIO channel;
        EXPECT_EQ(channel.Open(0), DirectIOOpenFailed);
        EXPECT_EQ(channel.GetHandle(), nullptr);
    }
    EXPECT_EQ(Bridge::instance().close_calls(), 0);

    Bridge::instance().reset();
    {
        // Registration refused (not an FT602): the handle stays set and the destructor closes it.
        Bridge::instance().fail_set_notification(STATUS_UNSUPPORTED);
        CCommsDirectIO channel;
        EXPECT_EQ(channel.Open(0), DirectIOOpenFailed);
        EXPECT_NE(channel.GetHandle(), nullptr);
        EXPECT_EQ(Bridge::instance().open_handles(), 1);
    }
    EXPECT_EQ(Bridge::instance().close_calls(), 1);
    EXPECT_EQ(Bridge::instance().open_handles(), 0);
}

TEST_F(DirectIO, CloseClearsMaskAndControlThenClosesTheDevice) {
    CCommsDirectIO never_opened;
    EXPECT_EQ(never_opened.Close(), DirectIOOk);
    EXPECT_TRUE(transfers().empty());
    EXPECT_EQ(Bridge::instance().close_calls(), 0);

    CCommsDirectIO channel;
    open(channel);
    int calls = 0;
    channel.SetCallback([&calls] { ++calls; });
    EXPECT_EQ(channel.Close(), DirectIOOk);
    EXPECT_EQ(channel.GetHandle(), nullptr);
    using Write = std::pair<std::uint8_t, std::uint8_t>;
    EXPECT_EQ(
        Bridge::instance().register_writes(),
        (std::vector<Write>{{i2c_interrupt_enable_reg_address, 0}, {i2c_control_reg_address, 0}}));
    EXPECT_EQ(Bridge::instance().close_calls(), 1);
    EXPECT_EQ(Bridge::instance().open_handles(), 0);
    // A second close has nothing left to do.
    EXPECT_EQ(channel.Close(), DirectIOOk);
    EXPECT_EQ(Bridge::instance().close_calls(), 1);
    EXPECT_EQ(calls, 0);
}

TEST_F(DirectIO, CloseFailureIsReportedAndStillLeavesTheChannelClosed) {
    CCommsDirectIO channel;
    open(channel);
    Bridge::instance().fail_all_writes(true);
    Bridge::instance().fail_close(STATUS_IO_FAILED);
    EXPECT_EQ(channel.Close(), DirectIOAccessFailed);
    EXPECT_EQ(channel.GetHandle(), nullptr);
}

TEST_F(DirectIO, CallbackIsEmptiedBeforeTheDeviceIsClosed) {
    CCommsDirectIO channel;
    open(channel);
    int calls = 0;
    channel.SetCallback([&calls] { ++calls; });
    // A notification that was already on its way when the channel closed.
    const auto [callback, context] = Bridge::instance().last_registration();
    ASSERT_NE(callback, nullptr);
    callback(context, FT_NOTIFICATION_CALLBACK_TYPE_INTERRUPT, nullptr);
    EXPECT_EQ(calls, 1);
    channel.Close();
    callback(context, FT_NOTIFICATION_CALLBACK_TYPE_INTERRUPT, nullptr);
    EXPECT_EQ(calls, 1);
}

TEST_F(DirectIO, TxReadsTheTransmitLevelThenWritesTheBytes) {
    CCommsDirectIO channel;
    open(channel);
    const std::uint8_t bytes[] = {0x81, 0x01, 0x04};
    EXPECT_EQ(channel.Tx(bytes, sizeof bytes), DirectIOOk);
    const auto sent = transfers();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(hex(sent[0].setup_bytes()), "C0 05 13 00 0D 01 01 00");
    EXPECT_EQ(hex(sent[1].setup_bytes()), "40 05 10 00 0D 03 03 00");
    EXPECT_EQ(Bridge::instance().tx_bytes(), (std::vector<std::uint8_t>{0x81, 0x01, 0x04}));

    // A failed level read stops the transmit.
    Bridge::instance().clear_transfers();
    Bridge::instance().fail_read(i2c_tx_fifo_level_reg_address, 1);
    EXPECT_EQ(channel.Tx(bytes, sizeof bytes), DirectIOAccessFailed);
    EXPECT_EQ(transfers().size(), 1u);

    // More than 128 bytes fail the access without traffic for the data.
    Bridge::instance().clear_transfers();
    std::vector<std::uint8_t> big(129);
    EXPECT_EQ(channel.Tx(big.data(), big.size()), DirectIOAccessFailed);
    EXPECT_EQ(transfers().size(), 1u);
}

TEST_F(DirectIO, RxPopsTheRequestedBytesFromTheDataRegister) {
    CCommsDirectIO channel;
    open(channel);
    Bridge::instance().push_rx({9, 8, 7, 6});
    std::uint8_t buffer[4] = {};
    EXPECT_EQ(channel.Rx(buffer, 3), DirectIOOk);
    EXPECT_EQ(buffer[0], 9);
    EXPECT_EQ(buffer[2], 7);
    EXPECT_EQ(Bridge::instance().rx_fifo_size(), 1u);
    EXPECT_EQ(hex(transfers().back().setup_bytes()), "C0 05 10 00 0D 03 03 00");
    // A null buffer is refused before any traffic.
    Bridge::instance().clear_transfers();
    EXPECT_EQ(channel.Rx(nullptr, 1), DirectIOAccessFailed);
    EXPECT_TRUE(transfers().empty());
}

TEST_F(DirectIO, RegisterAccessorsAndFailures) {
    CCommsDirectIO channel;
    open(channel);
    Bridge::instance().set_register(i2c_status_reg_address, 0x83);
    Bridge::instance().set_register(i2c_interrupt_status_reg_address, 0x05);
    Bridge::instance().set_register(i2c_tx_fifo_level_reg_address, 17);
    Bridge::instance().set_register(i2c_rx_msg_level_reg_address, 2);
    std::uint8_t value = 0;
    EXPECT_EQ(channel.GetStatus(value), DirectIOOk);
    EXPECT_EQ(value, 0x83);
    EXPECT_EQ(channel.GetInterruptStatus(value), DirectIOOk);
    EXPECT_EQ(value, 0x05);
    EXPECT_EQ(channel.GetTxFifoLevel(value), DirectIOOk);
    EXPECT_EQ(value, 17);
    EXPECT_EQ(channel.GetRxMsgLevel(value), DirectIOOk);
    EXPECT_EQ(value, 2);
    EXPECT_FALSE(channel.IsError());

    channel.SetInterruptPeriod(CCommsDirectIO::InterruptPeriod3ms);
    EXPECT_EQ(channel.SetInterruptMask(0x0E), DirectIOOk);
    EXPECT_EQ(Bridge::instance().reg(i2c_interrupt_period_ms_reg_address), 3);
    EXPECT_EQ(Bridge::instance().reg(i2c_interrupt_enable_reg_address), 0x0E);

    Bridge::instance().fail_write(i2c_interrupt_enable_reg_address);
    EXPECT_EQ(channel.SetInterruptMask(0x0E), DirectIOAccessFailed);
    Bridge::instance().fail_read(i2c_status_reg_address);
    EXPECT_EQ(channel.GetStatus(value), DirectIOAccessFailed);
    EXPECT_TRUE(channel.IsError()); // an unreadable status counts as an error
}

TEST_F(DirectIO, ResetWritesTheBitsThenEnableInterrupts) {
    CCommsDirectIO channel;
    open(channel);
    using Write = std::pair<std::uint8_t, std::uint8_t>;
    EXPECT_EQ(channel.ResetUART(), DirectIOOk);
    EXPECT_EQ(channel.ResetRxUART(), DirectIOOk);
    EXPECT_EQ(channel.ResetTxUART(), DirectIOOk);
    EXPECT_EQ(
        Bridge::instance().register_writes(),
        (std::vector<Write>{
            {0x15, 0x0F}, {0x15, 0x10}, {0x15, 0x04}, {0x15, 0x10}, {0x15, 0x02}, {0x15, 0x10}}));

    Bridge::instance().clear_transfers();
    Bridge::instance().fail_write(i2c_control_reg_address, 1);
    EXPECT_EQ(channel.ResetUART(), DirectIOAccessFailed);
    EXPECT_EQ(transfers().size(), 1u); // the second write is not made
}

TEST(DirectIOStatus, DecodesEveryBit) {
    EXPECT_FALSE(CDirectIOStatus::IsError(0x80));
    EXPECT_TRUE(CDirectIOStatus::IsError(0x00));
    EXPECT_TRUE(CDirectIOStatus::IsUARTNotReady(0x00));
    EXPECT_FALSE(CDirectIOStatus::IsError(0x81));
    EXPECT_FALSE(CDirectIOStatus::IsError(0x82));
    for (std::uint8_t status : {0x84, 0x88, 0x90, 0xA0, 0xC0})
        EXPECT_TRUE(CDirectIOStatus::IsError(status)) << int(status);

    EXPECT_TRUE(CDirectIOStatus::IsParityError(0x40));
    EXPECT_TRUE(CDirectIOStatus::IsFramingError(0x20));
    EXPECT_TRUE(CDirectIOStatus::IsBreakError(0x10));
    EXPECT_TRUE(CDirectIOStatus::IsTxFIFOOverrun(0x08));
    EXPECT_TRUE(CDirectIOStatus::IsRxFIFOOverrun(0x04));
    EXPECT_TRUE(CDirectIOStatus::IsTxFifoEmpty(0x02));
    EXPECT_FALSE(CDirectIOStatus::IsTxFifoEmpty(0xFD));
    EXPECT_TRUE(CDirectIOStatus::IsRxFifoEmpty(0xFE));
    EXPECT_FALSE(CDirectIOStatus::IsRxFifoEmpty(0x01));
    // Each predicate looks at its own bit only.
    EXPECT_FALSE(CDirectIOStatus::IsParityError(0xBF));
    EXPECT_FALSE(CDirectIOStatus::IsFramingError(0xDF));
    EXPECT_FALSE(CDirectIOStatus::IsBreakError(0xEF));
    EXPECT_FALSE(CDirectIOStatus::IsTxFIFOOverrun(0xF7));
    EXPECT_FALSE(CDirectIOStatus::IsRxFIFOOverrun(0xFB));
    EXPECT_FALSE(CDirectIOStatus::IsUARTNotReady(0x80));
}

TEST(BoardDescription, MatchesExactlyTheThreeBoards) {
    EXPECT_TRUE(IsOstraneBoardDescription("Q.V. Ostrane SDI Adapter"));
    EXPECT_TRUE(IsOstraneBoardDescription("Q.V. Ostrane USB Camera Board"));
    EXPECT_TRUE(IsOstraneBoardDescription("Q.V. Ostrane Video Bridge"));
    EXPECT_FALSE(IsOstraneBoardDescription("Q.V. Ostrane Video Bridge "));
    EXPECT_FALSE(IsOstraneBoardDescription("q.v. ostrane sdi adapter"));
    EXPECT_FALSE(IsOstraneBoardDescription("Q.V. Ostrane USB Camera"));
    EXPECT_FALSE(IsOstraneBoardDescription(""));
    EXPECT_FALSE(IsOstraneBoardDescription(nullptr));
}

} // namespace
