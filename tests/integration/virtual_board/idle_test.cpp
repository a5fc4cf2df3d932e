// An open board with its notification transfer posted must cost (next to) no CPU while idle.
#include <ctime>

#include "fixture.h"

namespace vboard::test {
namespace {

double process_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Pending {
    libusb_transfer* t = libusb_alloc_transfer(0);
    unsigned char buf[4] = {};
    std::atomic<bool> done{false};
    ~Pending() { libusb_free_transfer(t); }
};
void LIBUSB_CALL pending_done(libusb_transfer* t) { static_cast<Pending*>(t->user_data)->done.store(true); }

using Idle = BusTest;

TEST_F(Idle, OpenIdleBoardCostsUnderOnePercentOfACore) {
    const auto b = bus_.plug();
    libusb_device_handle* h = open_serial(b.serial);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_claim_interface(h, 2), 0);
    Pending irq;
    libusb_fill_interrupt_transfer(irq.t, h, 0x86, irq.buf, 4, pending_done, &irq, 0);
    ASSERT_EQ(libusb_submit_transfer(irq.t), 0);
    {
        // Event handling the way a library does it: rounds of 200 ms on a thread of its own.
        std::atomic<bool> stop{false};
        std::thread events([&] {
            while (!stop.load()) {
                timeval tv{0, 200000};
                libusb_handle_events_timeout_completed(ctx(), &tv, nullptr);
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // settle
        const double cpu0 = process_cpu_seconds();
        const auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(2));  // the measurement window
        const double cpu = process_cpu_seconds() - cpu0;
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_LT(cpu / wall, 0.01) << cpu << " s of CPU in " << wall << " s";
        libusb_cancel_transfer(irq.t);
        ASSERT_TRUE(eventually([&] { return irq.done.load(); }));
        stop.store(true);
        events.join();
    }
    libusb_close(h);
}

}  // namespace
}  // namespace vboard::test
