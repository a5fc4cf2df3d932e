// The four board channel calls over the register model, for what a real board cannot be made to
// do: one chosen register access or device call failing, a full channel table, bytes arriving
// between two register reads, a notification without a latched interrupt. Everything else is
// checked on the virtual board in tests/integration/board.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "bridge_double.h"
#include "ostrane/CommsDirectIO.h"
#include "ostrane/OstraneCommsUSB.h"

using bridge_double::Bridge;
using bridge_double::Transfer;
using namespace Tessory::Ostrane;
using Write = std::pair<std::uint8_t, std::uint8_t>;

namespace {

// Device indices are marked for the life of the process once opened; tests that depend on an
// index never having been opened use one of their own.
constexpr int shared_index = 0;
constexpr int never_opened_index = 200;

class CommsUSB : public ::testing::Test {
  protected:
    void SetUp() override {
        Bridge::instance().reset();
        Bridge::instance().set_device_count(256);
    }
    void TearDown() override {
        for (int h = 0; h < 256; ++h)
            OstraneCommsUSBClose(h);
        Bridge::instance().reset();
    }

    // Opens a channel on the shared device index and forgets the open's traffic.
    int open() {
        int handle = -1;
        EXPECT_EQ(OstraneCommsUSBOpenByIndex(&handle, shared_index), CommsOk);
        Bridge::instance().clear_transfers();
        return handle;
    }

    static std::vector<Transfer> transfers() { return Bridge::instance().transfers(); }
    static std::vector<Write> writes() { return Bridge::instance().register_writes(); }
};

TEST_F(CommsUSB, FailedMaskWriteFailsTheOpenAndLeavesNothingOpen) {
    Bridge::instance().fail_write(i2c_interrupt_enable_reg_address, 1);
    int handle = -1;
    EXPECT_EQ(OstraneCommsUSBOpenByIndex(&handle, shared_index), CommsFailed);
    EXPECT_EQ(Bridge::instance().open_handles(), 0);
    EXPECT_EQ(Bridge::instance().close_calls(), 1);
    EXPECT_EQ(OstraneCommsUSBClose(handle), CommsBadHandle);
    // The control register was never set to EnableInterrupts by the open.
    const auto all = writes();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[0], (Write{i2c_interrupt_period_ms_reg_address, 3}));
    EXPECT_EQ(all[1], (Write{i2c_interrupt_enable_reg_address, 0x0E}));
    for (std::size_t i = 2; i < all.size(); ++i)
        EXPECT_NE(all[i], (Write{i2c_control_reg_address, EnableInterrupts}));
    // The number is free again.
    EXPECT_EQ(open(), 0);
}

TEST_F(CommsUSB, UncheckedWritesDoNotFailTheOpen) {
    Bridge::instance().fail_write(i2c_interrupt_period_ms_reg_address);
    Bridge::instance().fail_write(i2c_control_reg_address);
    int handle = -1;
    EXPECT_EQ(OstraneCommsUSBOpenByIndex(&handle, shared_index), CommsOk);
    EXPECT_EQ(handle, 0);
}

TEST_F(CommsUSB, NotificationRegistrationFailureClosesTheDevice) {
    Bridge::instance().fail_set_notification(STATUS_UNSUPPORTED);
    int handle = -1;
    EXPECT_EQ(OstraneCommsUSBOpenByIndex(&handle, never_opened_index), CommsOpenFailed);
    EXPECT_EQ(Bridge::instance().open_handles(), 0);
    EXPECT_EQ(Bridge::instance().close_calls(), 1);
}

TEST_F(CommsUSB, FullTableRefusesTheOpenWithoutOpeningADevice) {
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(open(), i);
    const int creates = static_cast<int>(Bridge::instance().creates().size());
    int handle = 42;
    EXPECT_EQ(OstraneCommsUSBOpenByIndex(&handle, shared_index), CommsBadHandle);
    EXPECT_EQ(handle, -1);
    EXPECT_EQ(static_cast<int>(Bridge::instance().creates().size()), creates);
    EXPECT_EQ(Bridge::instance().open_handles(), 256);
}

TEST_F(CommsUSB, TransmitFailsWhenTheDataWriteFails) {
    const int handle = open();
    const std::uint8_t command[] = {0x81, 0x09, 0x04, 0x47, 0xFF};
    Bridge::instance().fail_write(i2c_data_reg_address, 1);
    EXPECT_EQ(OstraneCommsUSBTransmit(handle, command, sizeof command), CommsFailed);
    EXPECT_EQ(transfers().size(), 2u); // the level read went through
}

TEST_F(CommsUSB, ReceiveLeavesBytesThatArriveAfterTheLevelReadInTheFifo) {
    const int handle = open();
    Bridge::instance().push_rx({1, 2});
    Bridge::instance().push_rx_after_level_read({3, 4, 5});
    std::uint8_t buffer[16] = {};
    std::uint8_t count = 10;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 0), CommsOk);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(Bridge::instance().rx_fifo_size(), 3u);

    count = 10;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 0), CommsOk);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 3), (std::vector<std::uint8_t>{3, 4, 5}));
}

TEST_F(CommsUSB, ReceiveWithInterruptStatusZeroDoesNotRead) {
    const int handle = open();
    // Nothing waits at the first look; the bytes come with a notification.
    Bridge::instance().push_rx_after_level_read({1, 2, 3, 4, 5, 6});
    Bridge::instance().notify(); // interrupt status register stays 0
    std::uint8_t buffer[16] = {};
    std::uint8_t count = 4;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 1000), CommsFailed);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(Bridge::instance().rx_fifo_size(), 6u);
}

TEST_F(CommsUSB, ReceiveRegisterFailuresReturnFailedWithCountUntouched) {
    const int handle = open();
    std::uint8_t buffer[16] = {};
    for (std::uint8_t reg : {i2c_interrupt_status_reg_address, i2c_rx_fifo_level_reg_address}) {
        Bridge::instance().clear_transfers();
        Bridge::instance().fail_read(reg, 1);
        // The reply comes after the first look at the level, with the interrupt.
        Bridge::instance().push_rx_after_level_read({1, 2, 3, 4});
        Bridge::instance().deliver({});
        std::uint8_t count = 4;
        EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 1000), CommsFailed);
        EXPECT_EQ(count, 4);
        // A failed first look at the level ends the call before the wait touches the control
        // register; a failure in the wait leaves the receive interrupt enabled again.
        if (reg == i2c_interrupt_status_reg_address)
            EXPECT_EQ(writes().back(), (Write{i2c_control_reg_address, EnableInterrupts}));
        else
            EXPECT_TRUE(writes().empty());
        Bridge::instance().push_rx_after_level_read({});
        while (Bridge::instance().rx_fifo_size() != 0) {
            std::uint8_t drain = 4;
            OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &drain, 0);
        }
    }
    // The data read itself failing.
    Bridge::instance().push_rx({9, 9, 9, 9});
    Bridge::instance().fail_read(i2c_data_reg_address, 1);
    std::uint8_t count = 4;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 0), CommsFailed);
}

TEST_F(CommsUSB, FailingDeviceCloseIsReportedAndFreesTheNumber) {
    const int failing = open();
    Bridge::instance().fail_close(STATUS_IO_FAILED);
    EXPECT_EQ(OstraneCommsUSBClose(failing), CommsFailed);
    EXPECT_EQ(OstraneCommsUSBClose(failing), CommsBadHandle);
    Bridge::instance().fail_close(STATUS_SUCCESS);
    EXPECT_EQ(open(), failing);
}

} // namespace
