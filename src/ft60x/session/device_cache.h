// Holds every hot-plug arrival back for a while on a thread of its own and passes it on only
// when the device is still there; a departure that comes first cancels the arrival.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <utility>

class device_cache {
public:
    using action = std::function<void(std::uint64_t)>;
    using clock = std::chrono::steady_clock;
    using entry = std::pair<std::uint64_t, clock::time_point>;

    static constexpr std::chrono::milliseconds confirmation_delay{800};

    device_cache(action on_arrived, action on_left);
    device_cache(const device_cache&) = delete;
    device_cache& operator=(const device_cache&) = delete;
    ~device_cache();

    // Ends and joins the thread; no action runs after it returns. Idempotent.
    void stop();

    void device_arrived(std::uint64_t uid);
    void device_left(std::uint64_t uid);

private:
    void thread();
    entry get_first_device();
    bool device_still_connected(const entry& e);
    void wake_up();

    action on_arrived;
    action on_left;
    std::list<entry> pending;
    std::mutex wake_mutex;
    std::atomic<bool> wake{false};
    std::condition_variable wake_cv;
    std::mutex list_mutex;
    std::atomic<bool> stopping{false};
    std::thread worker;
};
