// FIFO mode: loopback and counter pattern on 0x05 / 0x85, short completions, NAK outside FIFO mode.
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "fixture.h"

namespace vboard::test {
namespace {

class Fifo : public BusTest {
protected:
    libusb_device_handle* open_fifo(FifoSource source = FifoSource::loopback, bool enter_fifo_mode = true) {
        BoardConfig c;
        c.fifo = source;
        id_ = bus_.plug(c).id;
        libusb_device_handle* h = open_serial(bus_.info(id_).serial);
        EXPECT_NE(h, nullptr);
        if (!h) return nullptr;
        // Interface 0, as the library's FIFO mode claims it: on the kernel uvcvideo holds it.
        libusb_set_auto_detach_kernel_driver(h, 1);
        EXPECT_EQ(libusb_claim_interface(h, 0), 0);
        if (enter_fifo_mode) {
            EXPECT_EQ(libusb_control_transfer(h, 0x40, 4, 1, 0, nullptr, 0, 1000), 0);
        }
        return h;
    }
    Board& board() { return bus_.board(id_); }
    int id_ = -1;
};

struct Xfer {
    libusb_transfer* t = nullptr;
    std::vector<uint8_t> buf;
    bool done = false;
    Xfer(size_t n) : t(libusb_alloc_transfer(0)), buf(n) {}
    ~Xfer() { libusb_free_transfer(t); }
};

void LIBUSB_CALL mark_done(libusb_transfer* t) { static_cast<Xfer*>(t->user_data)->done = true; }

TEST_F(Fifo, Loopback64MiBComesBackByteForByte) {
    libusb_device_handle* h = open_fifo();
    ASSERT_NE(h, nullptr);
    constexpr size_t total = 64u << 20, chunk = 256u << 10;
    constexpr int depth = 4;
    std::mt19937 gen(1234);
    std::vector<uint8_t> source(total);
    for (auto& b : source) b = static_cast<uint8_t>(gen());

    size_t sent = 0, received = 0;
    std::deque<std::unique_ptr<Xfer>> outs, ins;
    auto submit_out = [&] {
        auto x = std::make_unique<Xfer>(chunk);
        std::memcpy(x->buf.data(), &source[sent], chunk);
        libusb_fill_bulk_transfer(x->t, h, 0x05, x->buf.data(), chunk, mark_done, x.get(), 5000);
        ASSERT_EQ(libusb_submit_transfer(x->t), 0);
        sent += chunk;
        outs.push_back(std::move(x));
    };
    size_t in_flight_in = 0;
    auto submit_in = [&] {
        auto x = std::make_unique<Xfer>(chunk);
        libusb_fill_bulk_transfer(x->t, h, 0x85, x->buf.data(), chunk, mark_done, x.get(), 5000);
        ASSERT_EQ(libusb_submit_transfer(x->t), 0);
        ++in_flight_in;
        ins.push_back(std::move(x));
    };
    for (int i = 0; i < depth; ++i) {
        submit_out();
        submit_in();
    }
    bool mismatch = false;
    while (received < total && !mismatch) {
        ASSERT_TRUE(handle_until(ctx(), [&] { return (!outs.empty() && outs.front()->done) || (!ins.empty() && ins.front()->done); }));
        while (!outs.empty() && outs.front()->done) {
            ASSERT_EQ(outs.front()->t->status, LIBUSB_TRANSFER_COMPLETED);
            ASSERT_EQ(static_cast<size_t>(outs.front()->t->actual_length), chunk);
            outs.pop_front();
            if (sent < total) submit_out();
        }
        while (!ins.empty() && ins.front()->done) {
            auto& x = *ins.front();
            ASSERT_EQ(x.t->status, LIBUSB_TRANSFER_COMPLETED);
            const size_t n = static_cast<size_t>(x.t->actual_length);
            ASSERT_LE(received + n, total);
            if (std::memcmp(x.buf.data(), &source[received], n) != 0) mismatch = true;
            received += n;
            ins.pop_front();
            --in_flight_in;
            if (received < total) submit_in();
        }
    }
    EXPECT_FALSE(mismatch) << "loopback data differs near offset " << received;
    EXPECT_EQ(received, total);
    for (auto& x : ins) libusb_cancel_transfer(x->t);
    ASSERT_TRUE(handle_until(ctx(), [&] {
        for (auto& x : ins)
            if (!x->done) return false;
        return true;
    }));
    EXPECT_EQ(board().fifo().bytes_out, total);
    EXPECT_EQ(board().fifo().bytes_in, total);
    libusb_close(h);
}

TEST_F(Fifo, PatternIsAnEndlessLittleEndianCounterAndOutIsASink) {
    libusb_device_handle* h = open_fifo(FifoSource::pattern);
    ASSERT_NE(h, nullptr);
    // Odd sizes: the counter must run on across transfer boundaries that split its words.
    std::vector<uint8_t> all;
    for (int size : {1001, 4099, 7, 65536}) {
        std::vector<uint8_t> b(size);
        int n = 0;
        ASSERT_EQ(libusb_bulk_transfer(h, 0x85, b.data(), size, &n, 1000), 0);
        ASSERT_EQ(n, size);
        all.insert(all.end(), b.begin(), b.end());
    }
    for (size_t w = 0; w + 4 <= all.size(); w += 4) {
        const uint32_t v = all[w] | (all[w + 1] << 8) | (all[w + 2] << 16) | (static_cast<uint32_t>(all[w + 3]) << 24);
        ASSERT_EQ(v, w / 4) << "at byte " << w;
    }
    std::vector<uint8_t> sink(100000, 0x55);
    int n = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x05, sink.data(), static_cast<int>(sink.size()), &n, 1000), 0);
    EXPECT_EQ(n, 100000);
    EXPECT_EQ(board().fifo().bytes_out, 100000u);
    // The sink does not feed the IN side: the counter continues.
    std::vector<uint8_t> next(4);
    ASSERT_EQ(libusb_bulk_transfer(h, 0x85, next.data(), 4, &n, 1000), 0);
    EXPECT_EQ(board().fifo().bytes_in, all.size() + 4);
    libusb_close(h);
}

TEST_F(Fifo, InCompletesShortWhenLoopbackDataRunsOut) {
    libusb_device_handle* h = open_fifo();
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> out(100);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i);
    int n = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x05, out.data(), 100, &n, 1000), 0);
    std::vector<uint8_t> in(4096);
    ASSERT_EQ(libusb_bulk_transfer(h, 0x85, in.data(), 4096, &n, 1000), 0);
    ASSERT_EQ(n, 100);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), in.begin()));
    EXPECT_EQ(board().fifo().loopback_level, 0u);
    libusb_close(h);
}

TEST_F(Fifo, PendingInCompletesWhenOutDataArrives) {
    libusb_device_handle* h = open_fifo();
    ASSERT_NE(h, nullptr);
    Xfer in(512);
    libusb_fill_bulk_transfer(in.t, h, 0x85, in.buf.data(), 512, mark_done, &in, 0);
    ASSERT_EQ(libusb_submit_transfer(in.t), 0);
    handle_until(ctx(), [] { return false; }, std::chrono::milliseconds(30));
    EXPECT_FALSE(in.done) << "an IN transfer with no data must wait";
    uint8_t data[3] = {7, 8, 9};
    int n = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x05, data, 3, &n, 1000), 0);
    ASSERT_TRUE(handle_until(ctx(), [&] { return in.done; }));
    EXPECT_EQ(in.t->status, LIBUSB_TRANSFER_COMPLETED);
    ASSERT_EQ(in.t->actual_length, 3);
    EXPECT_EQ(in.buf[2], 9);
    libusb_close(h);
}

TEST_F(Fifo, OutsideFifoModeTheEndpointsNak) {
    libusb_device_handle* h = open_fifo(FifoSource::loopback, false);
    ASSERT_NE(h, nullptr);
    uint8_t b[64] = {};
    int n = -1;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x05, b, 64, &n, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x85, b, 64, &n, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_FALSE(board().fifo().fifo_mode);
    // Entering FIFO mode later starts the data flow.
    ASSERT_EQ(libusb_control_transfer(h, 0x40, 4, 1, 0, nullptr, 0, 1000), 0);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x05, b, 64, &n, 1000), 0);
    EXPECT_EQ(n, 64);
    libusb_close(h);
}

TEST_F(Fifo, FullLoopbackTakesWhatFitsAndHoldsTheRest) {
    libusb_device_handle* h = open_fifo();
    ASSERT_NE(h, nullptr);
    // Two transfers: without scatter-gather (vhci_hcd) usbfs needs one contiguous kernel buffer per
    // transfer, and refuses one larger than 4 MiB.
    std::vector<uint8_t> big(Board::loopback_capacity - 65536, 1);
    int n = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x05, big.data(), static_cast<int>(big.size()), &n, 1000), 0);
    EXPECT_EQ(static_cast<size_t>(n), big.size());
    std::vector<uint8_t> over(2 * 65536, 1);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x05, over.data(), static_cast<int>(over.size()), &n, 300), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(n, 65536);
    EXPECT_EQ(board().fifo().loopback_level, Board::loopback_capacity);
    libusb_close(h);
}

TEST_F(Fifo, StallFaultFailsTheNextTransfersOnly) {
    libusb_device_handle* h = open_fifo(FifoSource::pattern);
    ASSERT_NE(h, nullptr);
    board().stall_bulk(2, 0x85);
    uint8_t b[16];
    int n = 0;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x85, b, 16, &n, 1000), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x85, b, 16, &n, 1000), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x05, b, 16, &n, 1000), 0) << "other endpoint unaffected";
    EXPECT_EQ(libusb_bulk_transfer(h, 0x85, b, 16, &n, 1000), 0);
    EXPECT_EQ(n, 16);
    board().stall_bulk(1);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x05, b, 16, &n, 1000), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x05, b, 16, &n, 1000), 0);
    libusb_close(h);
}

}  // namespace
}  // namespace vboard::test
