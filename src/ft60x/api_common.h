// The frame every FT_* entry point shares: no exception leaves it, and a call on a handle holds a
// lease on it for the call's whole length.
#pragma once

#include <utility>

#include "ft60x/logging.h"
#include "ft60x/parse/arg_checks.h"
#include "ft60x/session/session_ref.h"
#include "ostrane/ft60x.h"

namespace entry {

// Runs `body`; an exception becomes the status it stands for.
template <typename Body>
FT_RESULT status_call(Body&& body) noexcept
{
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return arg_checks::current_exception_status();
    }
}

// Runs `body` with the session, made by the first call that needs it; SESSION_FAILED (logged
// under `entry_point`'s name) when it cannot be made.
template <typename Body>
FT_RESULT session_call(const char* entry_point, Body&& body) noexcept
{
    return status_call([&]() -> FT_RESULT {
        const session_ref s = session_ref::get_or_create();
        if (!s) {
            logging(FT_LOG_LEVEL_ERROR, "%s: constructor failed.\n", entry_point);
            return STATUS_SESSION_FAILED;
        }
        return body(*s.get());
    });
}

// Runs `body` on the open handle `handle`; a null, unknown or closing handle gets `bad_handle`.
template <typename Body>
FT_RESULT handle_call(void* handle, Body&& body, FT_RESULT bad_handle = STATUS_BAD_HANDLE) noexcept
{
    return status_call([&]() -> FT_RESULT {
        const handle_lease h(handle);
        if (!h)
            return bad_handle;
        return body(h);
    });
}

// The same for the calls that answer with a value of their own (true/false, 1/0): `bad_handle`
// for a handle that is not open, `failed` for an exception.
template <typename Result, typename Body>
Result handle_call_or(void* handle, Result bad_handle, Result failed, Body&& body) noexcept
{
    try {
        const handle_lease h(handle);
        if (!h)
            return bad_handle;
        return body(h);
    } catch (...) {
        return failed;
    }
}

} // namespace entry
