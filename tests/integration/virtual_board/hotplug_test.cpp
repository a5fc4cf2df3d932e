// Plugging and unplugging while libusb watches: hot-plug callbacks, transfers in flight, replug.
#include <mutex>
#include <vector>

#include "fixture.h"

namespace vboard::test {
namespace {

struct Seen {
    std::mutex mutex;
    std::vector<std::pair<libusb_hotplug_event, std::vector<uint8_t>>> events;  // event, port numbers
    size_t count(libusb_hotplug_event e) {
        std::lock_guard lock(mutex);
        size_t n = 0;
        for (auto& [ev, ports] : events) n += ev == e;
        return n;
    }
};

int LIBUSB_CALL on_hotplug(libusb_context*, libusb_device* dev, libusb_hotplug_event event, void* user) {
    auto* seen = static_cast<Seen*>(user);
    uint8_t ports[8] = {};
    const int n = libusb_get_port_numbers(dev, ports, 8);
    std::lock_guard lock(seen->mutex);
    seen->events.emplace_back(event, std::vector<uint8_t>(ports, ports + (n > 0 ? n : 0)));
    return 0;
}

struct Transfer {
    libusb_transfer* t = libusb_alloc_transfer(0);
    unsigned char buf[64] = {};
    std::atomic<bool> done{false};
    ~Transfer() { libusb_free_transfer(t); }
};

void LIBUSB_CALL transfer_done(libusb_transfer* t) { static_cast<Transfer*>(t->user_data)->done.store(true); }

using Hotplug = BusTest;

TEST_F(Hotplug, ArrivalAndDepartureReachLibusbCallbacks) {
    ASSERT_TRUE(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG));
    bus_.plug();  // present before registration: reported through the enumerate flag
    Seen seen;
    libusb_hotplug_callback_handle cb;
    ASSERT_EQ(libusb_hotplug_register_callback(
                  ctx(), static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
                  LIBUSB_HOTPLUG_ENUMERATE, 0x1209, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, on_hotplug, &seen, &cb),
              0);
    EXPECT_EQ(seen.count(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED), 1u);
    {
        EventThread events(ctx());
        const auto second = bus_.plug(BoardConfig{.model = Model::bridge});
        ASSERT_TRUE(eventually([&] { return seen.count(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) == 2; }));
        {
            std::lock_guard lock(seen.mutex);
            EXPECT_EQ(seen.events.back().second, second.ports);
            if (bus_.transport() == Transport::umockdev) {
                EXPECT_EQ(second.ports, (std::vector<uint8_t>{1, 5}));
            }
        }
        bus_.unplug(second.id);
        ASSERT_TRUE(eventually([&] { return seen.count(LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT) == 1; }));
        // Plugging back on the same port works and gets a fresh address.
        const auto again = bus_.plug(BoardConfig{}, second.ports.back());
        EXPECT_EQ(again.ports, second.ports);
        EXPECT_GT(again.address, second.address);
        ASSERT_TRUE(eventually([&] { return seen.count(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) == 3; }));
    }
    libusb_hotplug_deregister_callback(ctx(), cb);
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx(), &list);
    int boards = 0;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == 0x1209 && d.bDeviceClass == 0xEF) ++boards;
    }
    libusb_free_device_list(list, 1);
    EXPECT_EQ(boards, 2);
}

TEST_F(Hotplug, UnplugEndsTransfersInFlightAndFailsLaterRequests) {
    const auto b = bus_.plug();
    libusb_device_handle* h = open_serial(b.serial);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_claim_interface(h, 2), 0);
    Transfer irq, bulk;
    libusb_fill_interrupt_transfer(irq.t, h, 0x86, irq.buf, 4, transfer_done, &irq, 0);
    libusb_fill_bulk_transfer(bulk.t, h, 0x85, bulk.buf, 64, transfer_done, &bulk, 0);
    ASSERT_EQ(libusb_submit_transfer(irq.t), 0);
    ASSERT_EQ(libusb_submit_transfer(bulk.t), 0);
    bus_.unplug(b.id);
    EXPECT_FALSE(bus_.plugged(b.id));
    ASSERT_TRUE(handle_until(ctx(), [&] { return irq.done.load() && bulk.done.load(); }));
    EXPECT_EQ(irq.t->status, LIBUSB_TRANSFER_NO_DEVICE);
    EXPECT_EQ(bulk.t->status, LIBUSB_TRANSFER_NO_DEVICE);
    unsigned char v = 0;
    EXPECT_EQ(libusb_control_transfer(h, 0xC0, 5, 0x11, 0x010D, &v, 1, 1000), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_submit_transfer(irq.t), LIBUSB_ERROR_NO_DEVICE);
    libusb_close(h);

    // A board plugged afterwards is a new device that works.
    const auto again = bus_.plug();
    EXPECT_NE(again.address, b.address);
    libusb_device_handle* h2 = open_serial(again.serial);
    ASSERT_NE(h2, nullptr);
    EXPECT_EQ(libusb_control_transfer(h2, 0xC0, 5, 0x11, 0x010D, &v, 1, 1000), 1);
    EXPECT_EQ(v, 0x82);
    libusb_close(h2);
}

TEST_F(Hotplug, UnplugDuringADelayedControlAnswer) {
    const auto b = bus_.plug();
    libusb_device_handle* h = open_serial(b.serial);
    ASSERT_NE(h, nullptr);
    bus_.board(b.id).delay_control(1, std::chrono::milliseconds(5000));
    std::atomic<int> result{1};
    std::thread caller([&] {
        unsigned char v = 0;
        result.store(libusb_control_transfer(h, 0xC0, 5, 0x11, 0x010D, &v, 1, 3000));
    });
    ASSERT_TRUE(eventually([&] { return !bus_.board(b.id).request_log().empty() &&
                                        bus_.board(b.id).request_log().back().setup.bRequest == 5; }));
    bus_.unplug(b.id);
    caller.join();
    EXPECT_EQ(result.load(), LIBUSB_ERROR_NO_DEVICE);
    libusb_close(h);
}

}  // namespace
}  // namespace vboard::test
