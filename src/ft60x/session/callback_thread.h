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

    // True on the callback thread of a session: work that waits for a later job of that thread
    // (a notification, say) waits for ever there.
    static bool on_a_callback_thread() { return is_worker; }
    // True on a thread that runs host callbacks for the library: a callback thread, or a thread
    // that delivers hot-plug notices. Waits for other callbacks are not made from there: the
    // callback waited for may be waiting for this one.
    static bool in_host_callback() { return serving_callbacks; }
    // Marks the current thread as one that runs host callbacks, for its scope.
    class serving {
    public:
        serving() : outer(serving_callbacks) { serving_callbacks = true; }
        ~serving() { serving_callbacks = outer; }
        serving(const serving&) = delete;
        serving& operator=(const serving&) = delete;

    private:
        bool outer;
    };

private:
    void run();

    // Inline, so that the board channel can ask without linking the session.
    static inline thread_local bool serving_callbacks = false;
    static inline thread_local bool is_worker = false;

    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    bool stopping = false;
    std::thread worker;
};
