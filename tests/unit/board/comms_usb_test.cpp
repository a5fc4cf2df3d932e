// The four board channel calls and the channel table, over the register model.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "bridge_double.h"
#include "ostrane/CommsDirectIO.h"
#include "ostrane/OstraneCommsUSB.h"

using bridge_double::Bridge;
using bridge_double::hex;
using bridge_double::Transfer;
using namespace Tessory::Ostrane;
using Write = std::pair<std::uint8_t, std::uint8_t>;

namespace {

// Device indices are marked for the life of the process once opened; tests that depend on an
// index never having been opened use one of their own.
constexpr int shared_index = 0;
constexpr int never_opened_index = 200;
constexpr int reopened_index = 201;

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

TEST_F(CommsUSB, OpenSetsUpTheBridgeInterrupts) {
    int handle = -1;
    ASSERT_EQ(OstraneCommsUSBOpenByIndex(&handle, 3), CommsOk);
    EXPECT_EQ(handle, 0);
    ASSERT_EQ(Bridge::instance().creates().size(), 1u);
    EXPECT_EQ(Bridge::instance().creates()[0].identifier, 3u);
    EXPECT_EQ(Bridge::instance().creates()[0].flags, FT_OPEN_BY_INDEX);
    EXPECT_EQ(writes(), (std::vector<Write>{{i2c_interrupt_period_ms_reg_address, 3},
                                            {i2c_interrupt_enable_reg_address, 0x0E},
                                            {i2c_control_reg_address, EnableInterrupts}}));
    EXPECT_NE(Bridge::instance().last_registration().first, nullptr);
}

TEST_F(CommsUSB, OpenClearsAStaleMessageFlag) {
    const int handle = open();
    Bridge::instance().notify(); // flag set, then the channel is closed without consuming it
    ASSERT_EQ(OstraneCommsUSBClose(handle), CommsOk);
    ASSERT_EQ(open(), handle);
    // A fresh channel has no message: the wait ends with no data.
    std::uint8_t buffer[4];
    std::uint8_t count = 1;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 1), CommsNoData);
    for (const Transfer& t : transfers())
        EXPECT_NE(t.reg(), i2c_interrupt_status_reg_address);
}

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

TEST_F(CommsUSB, OpenFailureCodesDependOnTheIndexHistory) {
    int handle = 99;
    EXPECT_EQ(OstraneCommsUSBOpenByIndex(nullptr, shared_index), CommsBadHandle);
    EXPECT_TRUE(Bridge::instance().creates().empty());

    Bridge::instance().fail_create(STATUS_NO_DEVICE);
    EXPECT_EQ(OstraneCommsUSBOpenByIndex(&handle, never_opened_index), CommsOpenFailed);
    EXPECT_EQ(Bridge::instance().open_handles(), 0);
    Bridge::instance().fail_create(STATUS_SUCCESS);

    // Opened once, then refused while it is still open elsewhere.
    Bridge::instance().set_exclusive_open(true);
    int first = -1;
    ASSERT_EQ(OstraneCommsUSBOpenByIndex(&first, reopened_index), CommsOk);
    EXPECT_EQ(OstraneCommsUSBOpenByIndex(&handle, reopened_index), CommsIndexUsed);
    EXPECT_EQ(handle, first + 1); // keeps the released number
    EXPECT_EQ(OstraneCommsUSBTransmit(handle, "x", 1), CommsBadHandle);
    // Still marked after closing.
    ASSERT_EQ(OstraneCommsUSBClose(first), CommsOk);
    Bridge::instance().fail_create(STATUS_NO_DEVICE);
    EXPECT_EQ(OstraneCommsUSBOpenByIndex(&handle, reopened_index), CommsIndexUsed);
}

TEST_F(CommsUSB, NotificationRegistrationFailureClosesTheDevice) {
    Bridge::instance().fail_set_notification(STATUS_UNSUPPORTED);
    int handle = -1;
    EXPECT_EQ(OstraneCommsUSBOpenByIndex(&handle, never_opened_index + 2), CommsOpenFailed);
    EXPECT_EQ(Bridge::instance().open_handles(), 0);
    EXPECT_EQ(Bridge::instance().close_calls(), 1);
}

TEST_F(CommsUSB, IndexOutsideTheTableIsRefusedWithoutOpening) {
    for (int index : {-1, 256, 100000}) {
        int handle = 42;
        EXPECT_EQ(OstraneCommsUSBOpenByIndex(&handle, index), CommsOpenFailed) << index;
        EXPECT_EQ(handle, -1);
    }
    EXPECT_TRUE(Bridge::instance().creates().empty());
    EXPECT_EQ(open(), 0); // no number was taken
}

TEST_F(CommsUSB, ChannelNumbersAreLowestFreeFirst) {
    std::vector<int> handles;
    for (int i = 0; i < 6; ++i)
        handles.push_back(open());
    EXPECT_EQ(handles, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    ASSERT_EQ(OstraneCommsUSBClose(3), CommsOk);
    EXPECT_EQ(open(), 3);
    EXPECT_EQ(open(), 6);
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

TEST_F(CommsUSB, TransmitWritesTheBytesIntoTheDataRegister) {
    const int handle = open();
    const std::uint8_t command[] = {0x81, 0x09, 0x04, 0x47, 0xFF};
    EXPECT_EQ(OstraneCommsUSBTransmit(handle, command, sizeof command), CommsOk);
    EXPECT_EQ(Bridge::instance().tx_bytes(), std::vector<std::uint8_t>(command, command + 5));
    const auto sent = transfers();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(hex(sent[0].setup_bytes()), "C0 05 13 00 0D 01 01 00");
    EXPECT_EQ(hex(sent[1].setup_bytes()), "40 05 10 00 0D 05 05 00");

    Bridge::instance().fail_write(i2c_data_reg_address, 1);
    EXPECT_EQ(OstraneCommsUSBTransmit(handle, command, sizeof command), CommsFailed);
}

TEST_F(CommsUSB, TransmitRefusesMoreThan128BytesAndSendsNothing) {
    const int handle = open();
    std::vector<std::uint8_t> data(300, 0x55);
    EXPECT_EQ(OstraneCommsUSBTransmit(handle, data.data(), 128), CommsOk);
    EXPECT_EQ(Bridge::instance().tx_bytes().size(), 128u);
    Bridge::instance().clear_transfers();
    for (std::size_t length : {129u, 256u, 300u}) {
        EXPECT_EQ(OstraneCommsUSBTransmit(handle, data.data(), length), CommsFailed) << length;
    }
    EXPECT_TRUE(transfers().empty());
    EXPECT_EQ(Bridge::instance().tx_bytes().size(), 128u);
}

TEST_F(CommsUSB, ArgumentChecksComeBeforeTheChannelLookup) {
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
    EXPECT_EQ(OstraneCommsUSBTransmit(handle, buffer, 1), CommsBadHandle);
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, 8, &count, 0), CommsBadHandle);
    EXPECT_EQ(OstraneCommsUSBClose(handle), CommsBadHandle);
}

TEST_F(CommsUSB, ReceiveChecksCountAndBufferSize) {
    const int handle = open();
    std::vector<std::uint8_t> buffer(256);
    for (std::uint8_t asked : {128, 200}) {
        std::uint8_t count = asked;
        EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer.data(), buffer.size(), &count, 0),
                  CommsBadLength);
        EXPECT_EQ(count, asked);
    }
    std::uint8_t count = 6;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer.data(), 5, &count, 0), CommsBufferTooSmall);
    EXPECT_TRUE(transfers().empty());

    Bridge::instance().push_rx(std::vector<std::uint8_t>(127, 1));
    count = 127;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer.data(), 127, &count, 0), CommsOk);
    EXPECT_EQ(count, 127);
}

TEST_F(CommsUSB, ReceiveWithoutInterruptTimesOutWithNoData) {
    const int handle = open();
    std::uint8_t buffer[16];
    std::uint8_t count = 4;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 20), CommsNoData);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    EXPECT_EQ(count, 0);
    // No register was read; the receive interrupt ends enabled.
    const auto sent = transfers();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(hex(sent[0].setup_bytes()), "40 05 15 00 0D 01 01 00");
    EXPECT_EQ(sent[0].data, std::vector<std::uint8_t>{EnableInterrupts});
}

TEST_F(CommsUSB, ReceiveWithoutWaitingReadsWhatTheFifoHolds) {
    const int handle = open();
    Bridge::instance().push_rx({0x90, 0x41, 0xFF});
    std::uint8_t buffer[16] = {};
    std::uint8_t count = 10;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 0), CommsOk);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 3),
              (std::vector<std::uint8_t>{0x90, 0x41, 0xFF}));
    EXPECT_EQ(hex(transfers().back().setup_bytes()), "C0 05 10 00 0D 03 03 00");

    // An empty FIFO: the data register is not read, and no-wait never reports missing data.
    Bridge::instance().clear_transfers();
    count = 5;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 0), CommsOk);
    EXPECT_EQ(count, 0);
    for (const Transfer& t : transfers())
        EXPECT_NE(t.reg(), i2c_data_reg_address);
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

TEST_F(CommsUSB, ReceiveAfterInterruptReadsTheRequestedCount) {
    const int handle = open();
    Bridge::instance().deliver({10, 11, 12, 13, 14, 15});
    std::uint8_t buffer[16] = {};
    std::uint8_t count = 4;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 1000), CommsOk);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 4),
              (std::vector<std::uint8_t>{10, 11, 12, 13}));
    EXPECT_EQ(Bridge::instance().rx_fifo_size(), 2u);

    // Receive interrupt off, status and level read, level again, data, receive interrupt on.
    const auto sent = transfers();
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(hex(sent[0].setup_bytes()), "40 05 15 00 0D 01 01 00");
    EXPECT_EQ(sent[0].data, std::vector<std::uint8_t>{0});
    EXPECT_EQ(hex(sent[1].setup_bytes()), "C0 05 18 00 0D 01 01 00");
    EXPECT_EQ(hex(sent[2].setup_bytes()), "C0 05 12 00 0D 01 01 00");
    EXPECT_EQ(hex(sent[3].setup_bytes()), "40 05 15 00 0D 01 01 00");
    EXPECT_EQ(sent[3].data, std::vector<std::uint8_t>{EnableInterrupts});
    EXPECT_EQ(hex(sent[4].setup_bytes()), "C0 05 12 00 0D 01 01 00");
    EXPECT_EQ(hex(sent[5].setup_bytes()), "C0 05 10 00 0D 04 04 00");
}

TEST_F(CommsUSB, ReceiveOfAShortReplyReportsWhatArrivedAfterTheWait) {
    const int handle = open();
    Bridge::instance().deliver({7, 8});
    std::uint8_t buffer[16] = {};
    std::uint8_t count = 4;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 20), CommsOk);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(buffer[1], 8);
    EXPECT_EQ(hex(transfers().back().setup_bytes()), "C0 05 10 00 0D 02 02 00");
    EXPECT_EQ(writes().back(), (Write{i2c_control_reg_address, EnableInterrupts}));
}

TEST_F(CommsUSB, ReceiveWithInterruptStatusZeroDoesNotRead) {
    const int handle = open();
    Bridge::instance().push_rx({1, 2, 3, 4, 5, 6});
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
        Bridge::instance().deliver({1, 2, 3, 4});
        std::uint8_t count = 4;
        EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 1000), CommsFailed);
        EXPECT_EQ(count, 4);
        EXPECT_EQ(writes().back(), (Write{i2c_control_reg_address, EnableInterrupts}));
    }
    // The data read itself failing.
    Bridge::instance().fail_read(i2c_data_reg_address, 1);
    std::uint8_t count = 4;
    EXPECT_EQ(OstraneCommsUSBReceive(handle, buffer, sizeof buffer, &count, 0), CommsFailed);
}

TEST_F(CommsUSB, CloseCodes) {
    const int handle = open();
    EXPECT_EQ(OstraneCommsUSBClose(handle), CommsOk);
    EXPECT_EQ(writes(), (std::vector<Write>{{i2c_control_reg_address, 0},
                                            {i2c_interrupt_enable_reg_address, 0},
                                            {i2c_control_reg_address, 0}}));
    EXPECT_EQ(Bridge::instance().open_handles(), 0);

    // A board that no longer answers still closes.
    const int silent = open();
    Bridge::instance().fail_all_writes(true);
    EXPECT_EQ(OstraneCommsUSBClose(silent), CommsOk);
    Bridge::instance().fail_all_writes(false);

    // A failing device close is reported, and the number is freed all the same.
    const int failing = open();
    Bridge::instance().fail_close(STATUS_IO_FAILED);
    EXPECT_EQ(OstraneCommsUSBClose(failing), CommsFailed);
    EXPECT_EQ(OstraneCommsUSBClose(failing), CommsBadHandle);
    Bridge::instance().fail_close(STATUS_SUCCESS);
    EXPECT_EQ(open(), failing);
}

} // namespace
