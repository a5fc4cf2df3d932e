#include "ft60x/device/host_link.h"

namespace {
// The link whose work this thread runs now, so that a close from inside that work does not wait
// for itself.
thread_local const host_link* running_here = nullptr;
} // namespace

void host_link::set_callback(FT_NOTIFICATION_CALLBACK cb, void* ctx)
{
    int owed = 0;
    {
        std::lock_guard<std::mutex> guard(lock);
        notification_cb = cb;
        notification_ctx = ctx;
        if (cb != nullptr && !registered) {
            registered = true;
            owed = std::exchange(held, 0);
        }
    }
    for (; owed > 0; --owed)
        post_job([self = shared_from_this()] { self->notify_host(); });
}

void host_link::notify_host()
{
    run([this] {
        FT_NOTIFICATION_CALLBACK cb = nullptr;
        void* ctx = nullptr;
        {
            std::lock_guard<std::mutex> guard(lock);
            cb = notification_cb;
            ctx = notification_ctx;
            if (cb == nullptr && !registered)
                ++held;
        }
        if (cb != nullptr)
            cb(ctx, FT_NOTIFICATION_CALLBACK_TYPE_INTERRUPT, nullptr);
    });
}

std::pair<FT_NOTIFICATION_CALLBACK, void*> host_link::callback() const
{
    std::lock_guard<std::mutex> guard(lock);
    return {notification_cb, notification_ctx};
}

bool host_link::run(const job& work)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        if (closed)
            return false;
        ++running;
    }
    const host_link* outer = running_here;
    running_here = this;
    try {
        work();
    } catch (...) {
    }
    running_here = outer;
    {
        std::lock_guard<std::mutex> guard(lock);
        --running;
    }
    idle.notify_all();
    return true;
}

void host_link::post_job(job work)
{
    if (post)
        post(std::move(work));
    else
        work();
}

void host_link::close()
{
    std::unique_lock<std::mutex> guard(lock);
    closed = true;
    const int own = running_here == this ? 1 : 0;
    // Bounded by the host's callback: the lock is not held while it runs.
    idle.wait(guard, [&] { return running <= own; });
}

bool host_link::is_closed() const
{
    std::lock_guard<std::mutex> guard(lock);
    return closed;
}
