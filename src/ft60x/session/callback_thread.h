// The library's callback thread: runs, in order, the work that must not run on the libusb event
// thread (the host's notification callbacks, recovery of a stalled notification endpoint, the
// final release of a handle closed from inside a callback).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class callback_thread {
public:
    callback_thread();
    callback_thread(const callback_thread&) = delete;
    callback_thread& operator=(const callback_thread&) = delete;
    ~callback_thread() { stop(); }

    // Runs what is still queued, then joins; later posts are dropped.
    void stop();
    // Queues `job`; never blocks for longer than a queue insertion.
    void post(std::function<void()> job);
    bool on_this_thread() const { return std::this_thread::get_id() == worker.get_id(); }

private:
    void run();

    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    bool stopping = false;
    std::thread worker;
};
