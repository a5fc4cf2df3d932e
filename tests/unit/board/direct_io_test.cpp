// The bridge channel class over the register model, for what a real board cannot be made to do
// (a refused notification registration, a failing device close, a notification racing the close),
// the I2C transaction encoding that the library keeps internal, and the pure status and
// description checks. The rest is checked on the virtual board in tests/integration/board.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "board/i2c_access.h"
#include "bridge_double.h"
#include "ostrane/CommsDirectIO.h"
#include "ostrane/DirectIOStatus.h"

using bridge_double::Bridge;
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

TEST_F(DirectIO, RefusedNotificationRegistrationFailsTheOpen) {
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
