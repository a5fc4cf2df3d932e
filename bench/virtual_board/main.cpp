// Measures, on one virtual board with raw libusb: control round trip, notification latency, and
// bulk IN, OUT and loopback throughput with 8 asynchronous transfers of 32 KiB in flight.
// Prints "name: value unit" lines.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <libusb.h>
#include <thread>
#include <vector>

#include "umockdev/virtual_bus.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int depth = 8;
constexpr int chunk = 32 * 1024;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
    return v[i];
}

struct Stream {
    libusb_transfer* t = nullptr;
    std::vector<uint8_t> buf = std::vector<uint8_t>(chunk);
    uint64_t* bytes = nullptr;
    bool* keep_going = nullptr;
    int* in_flight = nullptr;
};

void LIBUSB_CALL stream_done(libusb_transfer* t) {
    auto* s = static_cast<Stream*>(t->user_data);
    if (t->status == LIBUSB_TRANSFER_COMPLETED) *s->bytes += static_cast<uint64_t>(t->actual_length);
    if (*s->keep_going && t->status == LIBUSB_TRANSFER_COMPLETED && libusb_submit_transfer(t) == 0) return;
    --*s->in_flight;
}

// Keeps `depth` transfers queued on each endpoint for `duration`; returns MB/s of the endpoint
// whose bytes are counted (the first one).
double throughput(libusb_context* ctx, libusb_device_handle* h, std::vector<unsigned char> eps,
                  std::chrono::milliseconds duration) {
    uint64_t counted = 0, other = 0;
    bool keep_going = true;
    int in_flight = 0;
    std::vector<Stream> streams(depth * eps.size());
    for (size_t e = 0; e < eps.size(); ++e)
        for (int i = 0; i < depth; ++i) {
            Stream& s = streams[e * depth + i];
            s.t = libusb_alloc_transfer(0);
            s.bytes = e == 0 ? &counted : &other;
            s.keep_going = &keep_going;
            s.in_flight = &in_flight;
            libusb_fill_bulk_transfer(s.t, h, eps[e], s.buf.data(), chunk, stream_done, &s, 0);
        }
    const auto start = Clock::now();
    for (auto& s : streams)
        if (libusb_submit_transfer(s.t) == 0) ++in_flight;
    while (Clock::now() - start < duration) {
        timeval tv{0, 100000};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
    }
    const auto elapsed = Clock::now() - start;
    const uint64_t bytes = counted;
    keep_going = false;
    for (auto& s : streams) libusb_cancel_transfer(s.t);
    while (in_flight > 0) {
        timeval tv{0, 100000};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
    }
    for (auto& s : streams) libusb_free_transfer(s.t);
    return static_cast<double>(bytes) / std::chrono::duration<double>(elapsed).count() / 1e6;
}

struct Notify {
    std::atomic<int> received{0};
    Clock::time_point at;
};

void LIBUSB_CALL notify_done(libusb_transfer* t) {
    auto* n = static_cast<Notify*>(t->user_data);
    if (t->status != LIBUSB_TRANSFER_COMPLETED) {
        n->received.store(-1);
        return;
    }
    n->at = Clock::now();
    n->received.fetch_add(1);
    libusb_submit_transfer(t);
}

}  // namespace

int main() {
    vboard::VirtualBus bus;
    const auto plugged = bus.plug();
    vboard::Board& board = bus.board(plugged.id);
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0) return 1;
    libusb_device_handle* h = nullptr;
    {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx, &list);
        for (ssize_t i = 0; i < n && !h; ++i) {
            libusb_device_descriptor d{};
            if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == 0x1209 && d.idProduct == 0x0001)
                libusb_open(list[i], &h);
        }
        libusb_free_device_list(list, 1);
    }
    if (!h || libusb_claim_interface(h, board.vendor_interface_number()) != 0) {
        std::fprintf(stderr, "cannot open the virtual board\n");
        return 1;
    }

    // Control round trip: one-byte I2C read of the bridge status register.
    {
        std::vector<double> samples;
        unsigned char b = 0;
        for (int i = 0; i < 100; ++i) libusb_control_transfer(h, 0xC0, 5, 0x11, 0x010D, &b, 1, 1000);
        for (int i = 0; i < 3000; ++i) {
            const auto t0 = Clock::now();
            libusb_control_transfer(h, 0xC0, 5, 0x11, 0x010D, &b, 1, 1000);
            samples.push_back(micros(Clock::now() - t0));
        }
        std::printf("control_round_trip_median: %.1f us\n", percentile(samples, 0.5));
        std::printf("control_round_trip_p99: %.1f us\n", percentile(samples, 0.99));
    }

    // Notification latency: board raises it -> libusb callback on the event thread.
    {
        Notify n;
        unsigned char buf[4];
        libusb_transfer* t = libusb_alloc_transfer(0);
        libusb_fill_interrupt_transfer(t, h, 0x86, buf, 4, notify_done, &n, 0);
        libusb_submit_transfer(t);
        std::atomic<bool> stop{false};
        std::thread events([&] {
            while (!stop.load()) {
                timeval tv{0, 50000};
                libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
            }
        });
        std::vector<double> samples;
        for (int i = 0; i < 500; ++i) {
            const int before = n.received.load();
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            const auto t0 = Clock::now();
            board.send_notification();
            const auto deadline = t0 + std::chrono::seconds(2);
            while (n.received.load() == before && Clock::now() < deadline) std::this_thread::yield();
            if (n.received.load() <= before) break;
            samples.push_back(micros(n.at - t0));
        }
        libusb_cancel_transfer(t);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop.store(true);
        libusb_interrupt_event_handler(ctx);
        events.join();
        libusb_free_transfer(t);
        if (!samples.empty()) {
            std::printf("notification_latency_median: %.1f us\n", percentile(samples, 0.5));
            std::printf("notification_latency_p99: %.1f us\n", percentile(samples, 0.99));
        }
    }

    libusb_control_transfer(h, 0x40, 4, 1, 0, nullptr, 0, 1000);  // FIFO mode
    const auto run = std::chrono::milliseconds(3000);
    board.set_fifo_source(vboard::FifoSource::pattern);
    std::printf("bulk_in_throughput: %.1f MB/s\n", throughput(ctx, h, {0x85}, run));
    std::printf("bulk_out_throughput: %.1f MB/s\n", throughput(ctx, h, {0x05}, run));
    board.set_fifo_source(vboard::FifoSource::loopback);
    std::printf("bulk_loopback_throughput: %.1f MB/s\n", throughput(ctx, h, {0x85, 0x05}, run));

    libusb_release_interface(h, board.vendor_interface_number());
    libusb_close(h);
    libusb_exit(ctx);
    return 0;
}
