#include "model/timer_queue.h"

namespace vboard {

TimerQueue::TimerQueue() : thread_([this] { run(); }) {}

TimerQueue::~TimerQueue() { stop(); }

void TimerQueue::schedule(Clock::time_point when, std::function<void()> callback) {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    const bool earliest = events_.empty() || when < events_.begin()->first;
    events_.emplace(when, std::move(callback));
    if (earliest) wake_.notify_one();
}

void TimerQueue::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        events_.clear();
    }
    wake_.notify_one();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TimerQueue::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (events_.empty()) {
            wake_.wait(lock);
            continue;
        }
        auto first = events_.begin();
        const Clock::time_point due = first->first;  // the node may go while we wait
        if (Clock::now() < due) {
            wake_.wait_until(lock, due);
            continue;
        }
        auto callback = std::move(first->second);
        events_.erase(first);
        lock.unlock();
        callback();
        lock.lock();
    }
}

}  // namespace vboard
