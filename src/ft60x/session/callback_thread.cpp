#include "ft60x/session/callback_thread.h"

#include "ft60x/session/library_thread.h"

#include <utility>

callback_thread::callback_thread() : worker(start_library_thread("ostrane-notify", [this] { run(); })) {}

void callback_thread::stop()
{
    if (on_this_thread()) {
        // Stopped by one of its own jobs (a callback that ends the process): it cannot join
        // itself, and it ends once that job returns.
        {
            std::lock_guard<std::mutex> guard(lock);
            stopping = true;
        }
        worker.detach();
        return;
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    wake.notify_one();
    if (worker.joinable())
        worker.join();
}

void callback_thread::post(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        if (stopping)
            return;
        jobs.push_back(std::move(job));
    }
    wake.notify_one();
}

void callback_thread::run()
{
    const serving marker;
    is_worker = true;
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        wake.wait(guard, [this] { return stopping || !jobs.empty(); });
        if (jobs.empty())
            return;
        std::function<void()> job = std::move(jobs.front());
        jobs.pop_front();
        // Jobs run without the lock: they call host code and may post further jobs.
        guard.unlock();
        try {
            job();
        } catch (...) {
            // A throwing host callback must not end the thread that serves every handle.
        }
        job = nullptr;
        guard.lock();
    }
}
