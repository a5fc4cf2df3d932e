// A call's hold on the process-wide session and on an opened handle: while either lives, what it
// holds is not freed under the call.
#pragma once

#include <atomic>
#include <cstdint>

#include "ft60x/device/dev_handle.h"
#include "ft60x/session/session.h"

// A call's use of the process-wide session: while one lives, teardown at exit or unload does not
// free the session. Empty when there is no session (not created, failed, or being torn down).
class session_ref {
public:
    // The session, created by the first call that needs it (one creation even when two threads
    // race for it).
    static session_ref get_or_create();
    // The session if it has been created, without creating it.
    static session_ref existing();

    session_ref() = default;
    ~session_ref();
    session_ref(session_ref&& other) noexcept : s(other.s) { other.s = nullptr; }
    session_ref(const session_ref&) = delete;
    session_ref& operator=(const session_ref&) = delete;
    session_ref& operator=(session_ref&&) = delete;

    explicit operator bool() const { return s != nullptr; }
    session* operator->() const { return s; }
    session* get() const { return s; }

private:
    session* s = nullptr;
};

// A lease on the registered handle behind `handle`: while it lives, the handle (and its pipes)
// stays alive even if another thread closes it. Empty when `handle` is null, not registered or
// being closed. Never creates the session; takes no lock on the common path.
class handle_lease {
public:
    explicit handle_lease(void* handle);
    ~handle_lease()
    {
        if (users != nullptr)
            s->release_handle(*users);
    }
    handle_lease(const handle_lease&) = delete;
    handle_lease& operator=(const handle_lease&) = delete;

    explicit operator bool() const { return h != nullptr; }
    dev_handle* operator->() const { return h; }
    dev_handle* get() const { return h; }
    session* owner() const { return s.get(); }

private:
    // Declared first: the session outlives the handle count it holds.
    session_ref s;
    dev_handle* h = nullptr;
    std::atomic<std::uint32_t>* users = nullptr;
};
