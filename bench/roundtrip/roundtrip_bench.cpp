// Board command round trip (OstraneCommsUSBTransmit + OstraneCommsUSBReceive of the camera's
// echo) on one virtual board, compared with its floor: the median latency of one raw control
// request times the number of control requests a round trip makes, plus the median latency of
// one notification. Prints `command-roundtrip-ratio: X` (round trip median / floor).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ostrane/OstraneCommsUSB.h"
#include "ostrane/ft60x.h"
#include "umockdev/virtual_bus.h"

namespace {

using clock_type = std::chrono::steady_clock;

double micros(clock_type::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(at, v.size() - 1)];
}

std::atomic<int> notifications{0};

void on_notification(void*, int, void*)
{
    notifications.fetch_add(1, std::memory_order_release);
}

[[noreturn]] void die(const char* what, unsigned code)
{
    std::fprintf(stderr, "bench_roundtrip: %s failed (%u)\n", what, code);
    std::exit(1);
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 1000;
    static vboard::VirtualBus bus;
    const auto plugged = bus.plug();
    vboard::Board& board = bus.board(plugged.id);
    // The camera answers at once, so that the round trip is all library and USB.
    board.set_camera({vboard::CameraKind::echo, std::chrono::microseconds(0)});

    // Raw control request: the same one-byte I2C register read the channel uses.
    void* handle = nullptr;
    if (const FT_RESULT rc = FT_Create(nullptr, FT_OPEN_BY_INDEX, &handle); rc != 0)
        die("FT_Create", rc);
    constexpr std::uint64_t read_rx_level = 0x0001'010D'0012'05C0ull;
    std::vector<double> control;
    for (int i = 0; i < rounds + 50; ++i) {
        std::uint8_t byte = 0;
        const auto t0 = clock_type::now();
        if (const FT_RESULT rc = FT_ControlTransfer(handle, read_rx_level, &byte, 1, nullptr);
            rc != 0)
            die("FT_ControlTransfer", rc);
        if (i >= 50)
            control.push_back(micros(clock_type::now() - t0));
    }

    // The same request after the idle gap that separates the commands below: shows how much
    // of the round trip is waking the emulated bus up rather than the library.
    std::vector<double> control_after_idle;
    for (int i = 0; i < rounds / 4 + 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
        std::uint8_t byte = 0;
        const auto t0 = clock_type::now();
        if (const FT_RESULT rc = FT_ControlTransfer(handle, read_rx_level, &byte, 1, nullptr);
            rc != 0)
            die("FT_ControlTransfer", rc);
        if (i >= 10)
            control_after_idle.push_back(micros(clock_type::now() - t0));
    }

    // Notification: from the board raising it to the callback on the event thread.
    if (const FT_RESULT rc = FT_SetNotificationCallback(handle, &on_notification, nullptr); rc != 0)
        die("FT_SetNotificationCallback", rc);
    std::vector<double> notify;
    for (int i = 0; i < rounds / 2 + 20; ++i) {
        const int before = notifications.load(std::memory_order_acquire);
        const auto t0 = clock_type::now();
        board.send_notification();
        while (notifications.load(std::memory_order_acquire) == before) {
        }
        if (i >= 20)
            notify.push_back(micros(clock_type::now() - t0));
    }
    FT_Close(handle);

    int channel = OSTRANE_COMMS_INVALID_HANDLE;
    if (const unsigned rc = OstraneCommsUSBOpenByIndex(&channel, 0); rc != CommsOk)
        die("OstraneCommsUSBOpenByIndex", rc);
    const std::string command = "CMD:0042";
    char reply[OSTRANE_COMMS_MAX_TRANSFER];
    std::vector<double> transmits;
    const auto round_trip = [&] {
        const auto t0 = clock_type::now();
        if (const unsigned rc = OstraneCommsUSBTransmit(channel, command.data(), command.size());
            rc != CommsOk)
            die("OstraneCommsUSBTransmit", rc);
        transmits.push_back(micros(clock_type::now() - t0));
        auto count = static_cast<std::uint8_t>(command.size());
        if (const unsigned rc = OstraneCommsUSBReceive(channel, reply, sizeof reply, &count, 1000);
            rc != CommsOk || count != command.size())
            die("OstraneCommsUSBReceive", rc);
    };
    for (int i = 0; i < 20; ++i)
        round_trip();

    board.clear_request_log();
    round_trip();
    std::size_t requests = 0;
    for (const auto& r : board.request_log())
        requests += (r.setup.bmRequestType & 0x60) == 0x40;

    // Commands are spaced beyond the bridge's interrupt period (3 ms, set by the channel at open):
    // the board raises at most one notification per period, and a command sent sooner would
    // measure that throttle rather than the library.
    const auto spacing = std::chrono::milliseconds(4);
    std::vector<double> trips;
    transmits.clear();
    for (int i = 0; i < rounds; ++i) {
        std::this_thread::sleep_for(spacing);
        const auto t0 = clock_type::now();
        round_trip();
        trips.push_back(micros(clock_type::now() - t0));
    }
    OstraneCommsUSBClose(channel);

    const double control_median = percentile(control, 0.5);
    const double notify_median = percentile(notify, 0.5);
    const double floor = control_median * static_cast<double>(requests) + notify_median;
    const double trip_median = percentile(trips, 0.5);
    std::printf("control-request-median-us: %.1f\n", control_median);
    std::printf("control-request-p99-us: %.1f\n", percentile(control, 0.99));
    std::printf("control-request-after-idle-median-us: %.1f\n",
                percentile(control_after_idle, 0.5));
    std::printf("notification-median-us: %.1f\n", notify_median);
    std::printf("control-requests-per-roundtrip: %zu\n", requests);
    std::printf("command-roundtrip-median-us: %.1f\n", trip_median);
    std::printf("command-roundtrip-p99-us: %.1f\n", percentile(trips, 0.99));
    std::printf("command-transmit-median-us: %.1f\n", percentile(transmits, 0.5));
    std::printf("command-roundtrip-floor-us: %.1f\n", floor);
    std::printf("command-roundtrip-ratio: %.2f\n", trip_median / floor);
    return 0;
}
