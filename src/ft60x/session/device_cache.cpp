#include "ft60x/session/device_cache.h"

#include "ft60x/session/library_thread.h"

device_cache::device_cache(action arrived, action left)
    : on_arrived(std::move(arrived)), on_left(std::move(left))
{
    worker = start_library_thread("ostrane-devices", [this] { thread(); });
}

device_cache::~device_cache()
{
    stop();
}

void device_cache::stop()
{
    stopping.store(true);
    wake_up();
    if (worker.joinable())
        worker.join();
}

void device_cache::wake_up()
{
    std::lock_guard<std::mutex> guard(wake_mutex);
    wake.store(true);
    wake_cv.notify_all();
}

void device_cache::device_arrived(std::uint64_t uid)
{
    const auto due = clock::now() + confirmation_delay;
    std::lock_guard<std::mutex> guard(list_mutex);
    pending.emplace_back(uid, due);
    wake_up();
}

void device_cache::device_left(std::uint64_t uid)
{
    {
        std::lock_guard<std::mutex> guard(list_mutex);
        for (auto it = pending.begin(); it != pending.end(); ++it) {
            if (it->first == uid) {
                // Gone before it was confirmed: neither arrival nor departure is reported.
                pending.erase(it);
                return;
            }
        }
    }
    on_left(uid);
}

device_cache::entry device_cache::get_first_device()
{
    std::lock_guard<std::mutex> guard(list_mutex);
    if (pending.empty())
        return {0, clock::now()};
    return pending.front();
}

bool device_cache::device_still_connected(const entry& e)
{
    std::lock_guard<std::mutex> guard(list_mutex);
    if (pending.empty() || pending.front() != e)
        return false;
    pending.pop_front();
    return true;
}

void device_cache::thread()
{
    for (;;) {
        const entry first = get_first_device();
        if (first.first == 0) {
            // Nothing pending: sleep until an arrival or the end.
            std::unique_lock<std::mutex> lock(wake_mutex);
            wake_cv.wait(lock, [this] { return wake.exchange(false); });
            lock.unlock();
            if (stopping.load())
                return;
            continue;
        }
        for (;;) {
            std::unique_lock<std::mutex> lock(wake_mutex);
            if (!wake.exchange(false)) {
                wake_cv.wait_until(lock, first.second);
                lock.unlock();
                if (clock::now() >= first.second)
                    break;
            } else {
                lock.unlock();
            }
            if (stopping.load())
                return;
            if (clock::now() >= first.second)
                break;
        }
        if (stopping.load())
            return;
        if (device_still_connected(first))
            on_arrived(first.first);
    }
}
