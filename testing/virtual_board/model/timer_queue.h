// One thread that runs callbacks at given times: the board's sense of time (camera answer delays,
// interrupt periods, delayed control answers). Sleeps on a condition variable between events.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include <chrono>

namespace vboard {

class TimerQueue {
public:
    using Clock = std::chrono::steady_clock;
    TimerQueue();
    ~TimerQueue();  // stops the thread; callbacks not yet due are dropped
    TimerQueue(const TimerQueue&) = delete;
    TimerQueue& operator=(const TimerQueue&) = delete;

    void schedule(Clock::time_point when, std::function<void()> callback);
    void stop();

private:
    void run();
    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<Clock::time_point, std::function<void()>> events_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace vboard
