// What the FT_* entry points share: the process-wide session and the handle check.
#pragma once

#include <atomic>
#include <cstdint>

#include "ft60x/device/dev_handle.h"
#include "ft60x/session/session.h"

// The process-wide session, created by the first call that needs it (one creation even when two
// threads race for it). Null when it could not be created.
session* get_session();

// The session if it has been created, without creating it.
session* existing_session();

// A lease on the registered handle behind `handle`: while it lives, the handle (and its pipes)
// stays alive even if another thread closes it. Empty when `handle` is null, not registered or
// being closed. Never creates the session; takes no lock on the common path.
class handle_lease {
public:
    explicit handle_lease(void* handle);
    ~handle_lease()
    {
        if (users != nullptr)
            users->fetch_sub(1, std::memory_order_release);
    }
    handle_lease(const handle_lease&) = delete;
    handle_lease& operator=(const handle_lease&) = delete;

    explicit operator bool() const { return h != nullptr; }
    dev_handle* operator->() const { return h; }
    dev_handle* get() const { return h; }

private:
    dev_handle* h = nullptr;
    std::atomic<std::uint32_t>* users = nullptr;
};
