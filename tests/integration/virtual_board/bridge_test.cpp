// The UART bridge behind I2C slave 0x0D, the camera behind it, and the notifications on 0x86.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fixture.h"

namespace vboard::test {
namespace {

// A notification transfer that posts itself again after each message. Declare it before any
// EventThread: its destructor cancels it and handles events on the calling thread until it is back.
struct Interrupt {
    explicit Interrupt(libusb_context* c) : ctx(c) {}
    libusb_context* ctx;
    libusb_transfer* t = libusb_alloc_transfer(0);
    unsigned char buf[16] = {};
    std::atomic<int> completions{0};
    std::atomic<int> last_status{-1};
    std::atomic<int> last_length{0};
    std::atomic<bool> active{false};
    std::atomic<bool> resubmit{true};
    std::vector<std::vector<uint8_t>> messages;  // written on the event-handling thread
    ~Interrupt() {
        resubmit.store(false);
        if (active.load()) {
            libusb_cancel_transfer(t);
            handle_until(ctx, [this] { return !active.load(); });
        }
        libusb_free_transfer(t);
    }
};

void LIBUSB_CALL interrupt_done(libusb_transfer* t) {
    auto* i = static_cast<Interrupt*>(t->user_data);
    i->last_length.store(t->actual_length);
    if (t->status == LIBUSB_TRANSFER_COMPLETED) i->messages.emplace_back(i->buf, i->buf + t->actual_length);
    i->last_status.store(t->status);
    const bool again = t->status == LIBUSB_TRANSFER_COMPLETED && i->resubmit.load() && libusb_submit_transfer(t) == 0;
    if (!again) i->active.store(false);
    i->completions.fetch_add(1);
}

class Bridge : public BusTest {
protected:
    void SetUp() override {
        id_ = bus_.plug().id;
        h_ = open_serial(bus_.info(id_).serial);
        ASSERT_NE(h_, nullptr);
        ASSERT_EQ(libusb_claim_interface(h_, 2), 0);
    }
    void TearDown() override {
        if (h_) libusb_close(h_);
        BusTest::TearDown();
    }
    Board& board() { return bus_.board(id_); }
    void post(Interrupt& i) {
        libusb_fill_interrupt_transfer(i.t, h_, 0x86, i.buf, sizeof i.buf, interrupt_done, &i, 0);
        i.active.store(true);
        ASSERT_EQ(libusb_submit_transfer(i.t), 0);
    }
    // Interrupts on as the board channel sets them up: period, mask 0x0E, EnableInterrupts.
    void enable_interrupts(uint8_t period = 3) {
        ASSERT_EQ(i2c_write(h_, 0x17, {period}), 1);
        ASSERT_EQ(i2c_write(h_, 0x16, {0x0E}), 1);
        ASSERT_EQ(i2c_write(h_, 0x15, {0x10}), 1);
    }
    bool rx_level_reaches(int n) {
        return eventually([&] { return reg(h_, 0x12) >= n; });
    }
    int id_ = -1;
    libusb_device_handle* h_ = nullptr;
};

TEST_F(Bridge, RegistersAtRest) {
    EXPECT_EQ(reg(h_, 0x11), 0x82) << "UART ready, transmit FIFO empty";
    EXPECT_EQ(reg(h_, 0x12), 0);
    EXPECT_EQ(reg(h_, 0x13), 0);
    EXPECT_EQ(reg(h_, 0x14), 0);
    EXPECT_EQ(reg(h_, 0x15), 0);
    EXPECT_EQ(reg(h_, 0x18), 0);
    // Registers outside the map read 0 and ignore writes.
    EXPECT_EQ(i2c_write(h_, 0x20, {0x55}), 1);
    EXPECT_EQ(reg(h_, 0x20), 0);
    // Multi-byte reads of ordinary registers auto-increment: 0x16, 0x17.
    ASSERT_EQ(i2c_write(h_, 0x16, {0x0E, 0x07}), 2);
    std::vector<uint8_t> v;
    ASSERT_EQ(i2c_read(h_, 0x16, v, 2), 2);
    EXPECT_EQ(v, (std::vector<uint8_t>{0x0E, 0x07}));
}

TEST_F(Bridge, EchoCameraAnswersEachChunkThroughTheReceiveFifo) {
    ASSERT_EQ(i2c_write(h_, 0x10, {'h', 'e', 'l', 'l', 'o'}), 5);
    ASSERT_EQ(i2c_write(h_, 0x10, {'!', '?'}), 2);
    ASSERT_TRUE(rx_level_reaches(7));
    EXPECT_EQ(reg(h_, 0x14), 2) << "two messages";
    EXPECT_EQ(reg(h_, 0x11), 0x83) << "receive FIFO holds data";
    EXPECT_EQ(reg(h_, 0x18), 0x07) << "tx drained, rx data, rx message";
    EXPECT_EQ(reg(h_, 0x18), 0) << "reading cleared it";
    std::vector<uint8_t> v;
    ASSERT_EQ(i2c_read(h_, 0x10, v, 6), 6);
    EXPECT_EQ(std::string(v.begin(), v.end()), "hello!");
    EXPECT_EQ(reg(h_, 0x14), 1);
    // Reading more than there is gives zeros and pops nothing more.
    ASSERT_EQ(i2c_read(h_, 0x10, v, 4), 4);
    EXPECT_EQ(v, (std::vector<uint8_t>{'?', 0, 0, 0}));
    EXPECT_EQ(reg(h_, 0x12), 0);
    EXPECT_EQ(reg(h_, 0x14), 0);
    ASSERT_EQ(i2c_read(h_, 0x10, v, 2), 2);
    EXPECT_EQ(v, (std::vector<uint8_t>{0, 0}));
    const auto b = board().bridge();
    EXPECT_EQ(std::string(b.to_camera.begin(), b.to_camera.end()), "hello!?");
}

TEST_F(Bridge, OverrunAndResets) {
    board().camera_send(std::vector<uint8_t>(300, 0x41));
    EXPECT_EQ(reg(h_, 0x12), 255) << "the FIFO holds 255 bytes";
    EXPECT_EQ(reg(h_, 0x11), 0x87) << "overrun flagged";
    EXPECT_EQ(reg(h_, 0x18) & 0x08, 0x08) << "error source latched";
    ASSERT_EQ(i2c_write(h_, 0x15, {0x04}), 1);  // reset the receiver
    EXPECT_EQ(reg(h_, 0x12), 0);
    EXPECT_EQ(reg(h_, 0x11), 0x82);
    // Write-one-to-clear of interrupt status.
    board().camera_send({1, 2});
    ASSERT_EQ(i2c_write(h_, 0x18, {0x02}), 1);
    EXPECT_EQ(reg(h_, 0x18), 0x04);
    // Resetting the command queue drops camera answers not yet delivered.
    board().set_camera(CameraBehaviour::slow(std::chrono::milliseconds(100)));
    ASSERT_EQ(i2c_write(h_, 0x10, {9}), 1);
    ASSERT_EQ(i2c_write(h_, 0x15, {0x08}), 1);
    ASSERT_EQ(i2c_write(h_, 0x10, {7}), 1);
    ASSERT_TRUE(eventually([&] { return reg(h_, 0x12) == 3; })) << "only the second answer arrives";
    std::vector<uint8_t> v;
    ASSERT_EQ(i2c_read(h_, 0x10, v, 3), 3);
    EXPECT_EQ(v, (std::vector<uint8_t>{1, 2, 7}));
    EXPECT_EQ(board().bridge().control_writes, (std::vector<uint8_t>{0x04, 0x08}));
}

TEST_F(Bridge, NotificationFollowsCameraDataWhenEnabled) {
    Interrupt irq(ctx());
    post(irq);
    EventThread events(ctx());
    enable_interrupts();
    ASSERT_EQ(i2c_write(h_, 0x10, {'a', 'b'}), 2);
    ASSERT_TRUE(eventually([&] { return irq.completions.load() >= 1; }));
    EXPECT_EQ(irq.last_status.load(), LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(irq.last_length.load(), 4);
    // The receive path as the board channel runs it.
    EXPECT_EQ(reg(h_, 0x18) & 0x06, 0x06);
    EXPECT_EQ(reg(h_, 0x12), 2);
    std::vector<uint8_t> v;
    ASSERT_EQ(i2c_read(h_, 0x10, v, 2), 2);
    EXPECT_EQ(v, (std::vector<uint8_t>{'a', 'b'}));
    // More may have followed every 3 ms while the status was not yet read.
    const auto sent = board().notifications_sent();
    ASSERT_GE(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, (std::vector<uint8_t>{0xEF, 0xBE, 0xAD, 0xDE}));
    EXPECT_TRUE(sent[0].generated);
}

TEST_F(Bridge, NoNotificationWhileDisabledOrMasked) {
    Interrupt irq(ctx());
    post(irq);
    EventThread events(ctx());
    ASSERT_EQ(i2c_write(h_, 0x16, {0x0E}), 1);
    board().camera_send({1});  // pending source, interrupts not enabled
    ASSERT_EQ(i2c_write(h_, 0x15, {0x00}), 1);
    EXPECT_EQ(board().notifications_queued(), 0u);
    ASSERT_EQ(i2c_write(h_, 0x16, {0x01}), 1);  // only "tx drained"
    ASSERT_EQ(i2c_write(h_, 0x15, {0x10}), 1);
    EXPECT_EQ(board().notifications_queued(), 0u);
    EXPECT_EQ(irq.completions.load(), 0);
    // Unmasking the pending source raises it at once.
    ASSERT_EQ(i2c_write(h_, 0x16, {0x0E}), 1);
    ASSERT_TRUE(eventually([&] { return irq.completions.load() >= 1; }));
}

TEST_F(Bridge, UnclearedStatusIsSignalledOncePerPeriod) {
    Interrupt irq(ctx());
    post(irq);
    EventThread events(ctx());
    enable_interrupts(40);
    board().camera_send({1});
    ASSERT_TRUE(eventually([&] { return board().notifications_sent().size() >= 4; }));
    const auto sent = board().notifications_sent();
    for (size_t i = 1; i < sent.size(); ++i)
        EXPECT_GE(sent[i].queued - sent[i - 1].queued, std::chrono::milliseconds(40)) << "notification " << i;
    // Clearing the status stops them; the next event raises one again.
    ASSERT_EQ(i2c_write(h_, 0x15, {0x00}), 1);
    reg(h_, 0x18);
    ASSERT_TRUE(eventually([&] { return board().notifications_queued() == 0; }));
    ASSERT_EQ(i2c_write(h_, 0x15, {0x10}), 1);
    const size_t before = board().notifications_sent().size();
    board().camera_send({2});
    ASSERT_TRUE(eventually([&] { return board().notifications_sent().size() > before; }));
    EXPECT_NE(reg(h_, 0x18) & 0x02, 0);
}

TEST_F(Bridge, InjectedNotificationsOfWrongLengthAndValue) {
    Interrupt irq(ctx());
    post(irq);
    EventThread events(ctx());
    board().send_notification({0xEF, 0xBE});
    ASSERT_TRUE(eventually([&] { return irq.completions.load() == 1; }));
    EXPECT_EQ(irq.last_length.load(), 2);
    board().send_notification({1, 2, 3, 4});
    ASSERT_TRUE(eventually([&] { return irq.completions.load() == 2; }));
    EXPECT_EQ(irq.last_length.load(), 4);
    board().send_notification();
    ASSERT_TRUE(eventually([&] { return irq.completions.load() == 3; }));
    EXPECT_EQ(irq.messages.at(1), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(irq.messages.at(2), (std::vector<uint8_t>{0xEF, 0xBE, 0xAD, 0xDE}));
    EXPECT_FALSE(board().notifications_sent().at(2).generated);
}

TEST_F(Bridge, CancellingThePendingInterruptTransfer) {
    Interrupt irq(ctx());
    irq.resubmit.store(false);
    post(irq);
    ASSERT_EQ(libusb_cancel_transfer(irq.t), 0);
    ASSERT_TRUE(handle_until(ctx(), [&] { return irq.completions.load() == 1; }));
    EXPECT_EQ(irq.last_status.load(), LIBUSB_TRANSFER_CANCELLED);
    // The notification that comes later waits for the next transfer and is not lost.
    board().send_notification();
    post(irq);
    ASSERT_TRUE(handle_until(ctx(), [&] { return irq.completions.load() == 2; }));
    EXPECT_EQ(irq.last_status.load(), LIBUSB_TRANSFER_COMPLETED);
    // Stalling the interrupt endpoint.
    board().stall_bulk(1, 0x86);
    post(irq);
    ASSERT_TRUE(handle_until(ctx(), [&] { return irq.completions.load() == 3; }));
    EXPECT_EQ(irq.last_status.load(), LIBUSB_TRANSFER_STALL);
}

TEST_F(Bridge, CameraBehaviours) {
    board().set_camera(CameraBehaviour::silent());
    ASSERT_EQ(i2c_write(h_, 0x10, {1, 2, 3}), 3);
    board().set_camera(CameraBehaviour::chatty(std::chrono::milliseconds(5)));
    ASSERT_TRUE(eventually([&] { return reg(h_, 0x12) >= 8; }));
    std::vector<uint8_t> v;
    ASSERT_EQ(i2c_read(h_, 0x10, v, 4), 4);
    EXPECT_EQ(std::string(v.begin(), v.end()), "CHAT") << "the silent camera swallowed 1 2 3";
    board().set_camera(CameraBehaviour::echo());
    ASSERT_EQ(i2c_write(h_, 0x15, {0x04}), 1);
    board().set_camera_responder([](std::span<const uint8_t> in) {
        std::vector<uint8_t> reply(in.rbegin(), in.rend());
        return std::vector<std::vector<uint8_t>>{reply, {'O', 'K'}};
    });
    ASSERT_EQ(i2c_write(h_, 0x10, {1, 2, 3}), 3);
    ASSERT_TRUE(rx_level_reaches(5));
    ASSERT_EQ(i2c_read(h_, 0x10, v, 5), 5);
    EXPECT_EQ(v, (std::vector<uint8_t>{3, 2, 1, 'O', 'K'}));
    board().set_camera_responder(nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    board().set_camera(CameraBehaviour::slow(std::chrono::milliseconds(100)));
    ASSERT_EQ(i2c_write(h_, 0x10, {5}), 1);
    ASSERT_TRUE(rx_level_reaches(1));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
}

// Level registers that lie: the board answers the lie and keeps its real FIFO untouched.
TEST_F(Bridge, LyingRegistersAnswerTheLieWithoutSideEffects) {
    ASSERT_EQ(i2c_write(h_, 0x10, {'A', 'B', 'C'}), 3);
    ASSERT_TRUE(rx_level_reaches(3));
    board().lie_register(0x12, 200);
    board().lie_register(0x10, 0xEE);
    EXPECT_EQ(reg(h_, 0x12), 200);
    std::vector<uint8_t> data;
    ASSERT_EQ(i2c_read(h_, 0x10, data, 4), 4);
    EXPECT_EQ(data, (std::vector<uint8_t>{0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(board().bridge().rx_level, 3) << "nothing was popped";
    board().lie_register(0x12, std::nullopt);
    board().lie_register(0x10, std::nullopt);
    EXPECT_EQ(reg(h_, 0x12), 3);
    ASSERT_EQ(i2c_read(h_, 0x10, data, 3), 3);
    EXPECT_EQ(data, (std::vector<uint8_t>{'A', 'B', 'C'}));
}

// A stall on the interrupt endpoint ends that one transfer; the next one gets the message.
TEST_F(Bridge, StalledInterruptEndpoint) {
    board().stall_endpoint(0x86, 1);
    Interrupt i(ctx());
    i.resubmit.store(false);
    post(i);
    ASSERT_TRUE(handle_until(ctx(), [&] { return !i.active.load(); }));
    EXPECT_EQ(i.last_status.load(), LIBUSB_TRANSFER_STALL);
    board().send_notification();
    post(i);
    ASSERT_TRUE(handle_until(ctx(), [&] { return !i.active.load(); }));
    EXPECT_EQ(i.last_status.load(), LIBUSB_TRANSFER_COMPLETED);
    ASSERT_EQ(i.messages.size(), 1u);
    EXPECT_EQ(i.messages[0], (std::vector<uint8_t>{0xEF, 0xBE, 0xAD, 0xDE}));
}

}  // namespace
}  // namespace vboard::test
