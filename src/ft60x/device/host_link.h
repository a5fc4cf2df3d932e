// What a handle shares with the work that runs for it on the callback thread and with its
// notification transfer: the host's notification callback and the right to touch the device.
// Shared ownership lets a queued job or a transfer that outlives its handle still find it,
// closed, instead of freed memory.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "ostrane/ft60x.h"

class host_link : public std::enable_shared_from_this<host_link> {
public:
    using job = std::function<void()>;
    using poster = std::function<void(job)>;

    explicit host_link(poster post_job) : post(std::move(post_job)) {}

    // The first registration also gets, on the callback thread, the messages that came between
    // the open (which posts the notification transfer) and itself: the host could not listen
    // sooner. After a clear, messages are dropped.
    void set_callback(FT_NOTIFICATION_CALLBACK cb, void* ctx);
    std::pair<FT_NOTIFICATION_CALLBACK, void*> callback() const;
    // One chip notification for the host, on the callback thread.
    void notify_host();

    // Runs `work` on this thread unless the link is closed; closing waits for it. False when the
    // link was closed.
    bool run(const job& work);
    // Queues `work` for the callback thread, where it runs through run(). Without a callback
    // thread it runs at once.
    void post_job(job work);
    // From now on no work starts. Waits until running work has returned, except the work that
    // called close itself (a callback that closes its own handle).
    void close();
    bool is_closed() const;

private:
    poster post;
    mutable std::mutex lock;
    std::condition_variable idle;
    FT_NOTIFICATION_CALLBACK notification_cb = nullptr;
    void* notification_ctx = nullptr;
    bool registered = false; // a callback was ever set
    int held = 0;            // messages before the first registration
    bool closed = false;
    int running = 0;
};
