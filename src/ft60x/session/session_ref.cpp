// The process-wide session's life: made by the first call that needs it, given up in a forked
// child, and torn down at unload or exit once the calls still using it have left.
#include "ft60x/session/session_ref.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

std::mutex creation_lock;
bool created = false; // guarded by creation_lock
std::atomic<session*> current_session{nullptr};
// Entry points using the session now, and those of them on this thread.
std::atomic<std::uint32_t> session_users{0};
thread_local std::uint32_t session_users_here = 0;

// How long teardown waits for calls still using the session; past it the session is left to the
// end of the process rather than freed under them.
constexpr auto teardown_wait = std::chrono::seconds(3);
// A session given up unfreed stays reachable here: left, not lost.
session* abandoned_session = nullptr;

// Wakes a teardown waiting for the last call. A call leaving tells it only while one waits, so
// the common path takes no lock. Never destroyed: calls may leave while statics die.
struct teardown_signal {
    std::atomic<bool> waiting{false};
    std::mutex lock;
    std::condition_variable left;
};
teardown_signal& signal()
{
    static teardown_signal* const instance = new teardown_signal;
    return *instance;
}

void leave_session()
{
    --session_users_here;
    session_users.fetch_sub(1);
    // Ordered after the count (both sequentially consistent): either this sees the waiter, or
    // the waiter's check sees the new count.
    teardown_signal& t = signal();
    if (t.waiting.load()) {
        std::lock_guard<std::mutex> guard(t.lock);
        t.left.notify_all();
    }
}

// The session's owner is a static object made by the first call that needs the session, so it
// is destroyed at unload or exit before anything the host built ahead of that first call (a
// test's virtual bus, say). After that, entry points see no session rather than a destroyed one.
struct session_owner {
    std::unique_ptr<session> lib;

    ~session_owner()
    {
        current_session.store(nullptr);
        if (!lib)
            return;
        // Calls that took the session before it was withdrawn finish with it; this thread's own
        // (teardown from inside an entry point) cannot.
        teardown_signal& t = signal();
        t.waiting.store(true);
        bool drained = false;
        {
            std::unique_lock<std::mutex> guard(t.lock);
            drained = t.left.wait_for(guard, teardown_wait, [] {
                return session_users.load() <= session_users_here;
            });
        }
        t.waiting.store(false);
        if (!drained) {
            abandoned_session = lib.release();
            return;
        }
        lib.reset();
    }
};

session_owner& owner()
{
    static session_owner instance;
    return instance;
}

// A child made by fork() has only the forking thread: the parent's session, whose threads are
// not there, is given up unfreed (its teardown would wait for them for ever), and the child may
// create a session of its own.
void before_fork()
{
    creation_lock.lock();
}
void after_fork_in_parent()
{
    creation_lock.unlock();
}
void after_fork_in_child()
{
    abandoned_session = owner().lib.release();
    current_session.store(nullptr);
    created = false;
    session_users.store(0);
    session_users_here = 0;
    creation_lock.unlock();
}

} // namespace

session_ref session_ref::get_or_create()
{
    session_ref ref = existing();
    if (ref)
        return ref;
    std::lock_guard<std::mutex> guard(creation_lock);
    if (created)
        return existing(); // torn down already (or created meanwhile)
    static std::once_flag fork_handlers;
    std::call_once(fork_handlers, [] {
        pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
    });
    // A creation that throws leaves `created` unset, so a later call tries again.
    try {
        session_owner& o = owner();
        o.lib = std::make_unique<session>();
        created = true;
        current_session.store(o.lib.get());
    } catch (...) {
        return {};
    }
    return existing();
}

session_ref session_ref::existing()
{
    session_ref ref;
    // Counted before looking: teardown withdraws the session first and then waits for the count.
    session_users.fetch_add(1);
    ++session_users_here;
    ref.s = current_session.load();
    if (ref.s == nullptr)
        leave_session();
    return ref;
}

session_ref::~session_ref()
{
    if (s != nullptr)
        leave_session();
}

handle_lease::handle_lease(void* handle)
    : s(handle != nullptr ? session_ref::existing() : session_ref())
{
    if (!s)
        return;
    const session::leased lease = s->acquire_handle(handle);
    h = lease.handle;
    users = lease.users;
}
