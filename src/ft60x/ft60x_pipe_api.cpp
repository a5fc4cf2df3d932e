// Streaming entry points: blocking reads and writes on the FIFO pipes of an opened device, and the
// calls that flush, time, inspect and recover them.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "ft60x/api_common.h"
#include "ft60x/device/dev_handle.h"
#include "ft60x/parse/arg_checks.h"
#include "ft60x/pipe/pipe.h"
#include "ostrane/ft60x.h"

namespace {

using clock_type = pipe_event::clock;

// The IN or OUT pipe of FIFO `fifo`, or null when the handle has no such FIFO.
class pipe* fifo_pipe(dev_handle* h, std::uint8_t fifo, bool in) {
    if (fifo >= h->fifo_count || !h->fifo_interfaces)
        return nullptr;
    fifo_interface& f = h->fifo_interfaces[fifo];
    return in ? f.in_pipe.get() : f.out_pipe.get();
}

// Like fifo_pipe, but only a pipe that streams (was created) qualifies.
class pipe* streaming_pipe(dev_handle* h, std::uint8_t fifo, bool in) {
    class pipe* p = fifo_pipe(h, fifo, in);
    return p && p->get_ep_addr() != 0 ? p : nullptr;
}

// Holds the pipe's lock for a whole blocking call unless the pipe was configured without it.
std::unique_lock<std::mutex> lock_pipe(class pipe* p) {
    return p->thread_safe ? std::unique_lock<std::mutex>(p->pipe_lock)
                          : std::unique_lock<std::mutex>();
}

FT_RESULT write_to_pipe(const dev_handle* h, class pipe* p, const std::uint8_t* data,
                        std::uint32_t length, std::uint32_t* transferred,
                        std::uint32_t timeout_ms) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    const auto lock = lock_pipe(p);
    *transferred = length;
    if (length == 0)
        return STATUS_SUCCESS;
    std::uint32_t r = length;
    bool timed_out = false;
    for (;;) {
        // Only a streaming pipe takes data: a stopped, failed or unplugged one says so.
        // Success only if the pipe still streamed when the last data was queued; otherwise the
        // data is reported with the failure and FT_GetUnsentBuffer can recover it.
        if (const std::uint8_t s = p->health()) {
            *transferred = length - r;
            return pipe_status_result(s);
        }
        if (r == 0)
            return STATUS_SUCCESS;
        urb_buf* ub = nullptr;
        if (p->q_app->pop(ub)) {
            const std::uint32_t n = std::min(r, p->buf_size);
            std::memcpy(ub->buf.get(), data + (length - r), n);
            ub->data_len = n;
            p->cur_buf = ub;
            // Counted before the hand-over so that a fast completion never makes it negative.
            p->pending_bytes.fetch_add(n, std::memory_order_acq_rel);
            p->push_buf_to_lib(ub);
            r -= n;
            continue;
        }
        // At the deadline the write has queued into every buffer that came free.
        if (timed_out) {
            *transferred = length - r;
            return r == length ? STATUS_TIMED_OUT : STATUS_SUCCESS;
        }
        // A close wakes the wait below; the write then ends instead of waiting on.
        if (h->is_closing()) {
            *transferred = length - r;
            return STATUS_TRANSFER_CANCELLED;
        }
        // The completions copy the rest into the buffers they free; woken once it is all queued,
        // not per buffer.
        r -= p->send_from(data + (length - r), r, deadline, timed_out);
    }
}

// After the handle check of the caller.
FT_RESULT write_pipe(dev_handle* h, std::uint8_t fifo, const std::uint8_t* data,
                     std::uint32_t length, std::uint32_t* transferred, const void* overlapped,
                     bool ex, std::uint32_t timeout_ms) {
    class pipe* p = streaming_pipe(h, fifo, false);
    if (!p)
        return STATUS_BAD_PARAMETER;
    if (overlapped)
        return STATUS_UNSUPPORTED;
    if (const FT_RESULT r = arg_checks::check_pipe_io(data, length, transferred))
        return r;
    const std::uint32_t t = ex ? timeout_ms : p->timeout_ms.load(std::memory_order_relaxed);
    return write_to_pipe(h, p, data, length, transferred, t);
}

// After the handle check of the caller.
FT_RESULT read_pipe(dev_handle* h, std::uint8_t fifo, std::uint8_t* buffer, std::uint32_t length,
                    std::uint32_t* transferred, const void* overlapped, bool ex,
                    std::uint32_t timeout_ms) {
    class pipe* p = streaming_pipe(h, fifo, true);
    if (!p)
        return STATUS_BAD_PARAMETER;
    if (overlapped)
        return STATUS_UNSUPPORTED;
    if (const FT_RESULT r = arg_checks::check_pipe_io(buffer, length, transferred))
        return r;
    const std::uint32_t t = ex ? timeout_ms : p->timeout_ms.load(std::memory_order_relaxed);
    const auto lock = lock_pipe(p);
    return h->read_from_pipe(p, buffer, length, transferred, t,
                             h->fifo_interfaces[fifo].stop_on_short_buf != 0);
}

FT_RESULT queue_status(void* handle, std::uint8_t fifo, std::uint32_t* bytes, bool in) {
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    class pipe* p = fifo_pipe(h.get(), fifo, in);
    if (!p || !bytes)
        return STATUS_BAD_PARAMETER;
    *bytes = static_cast<std::uint32_t>(p->pending_bytes.load());
    return STATUS_SUCCESS;
}

} // namespace

extern "C" {

FT60X_API FT_RESULT FT_WritePipe(void* handle, uint8_t pipeId, const uint8_t* data, uint32_t length,
                                 uint32_t* transferred, void* overlapped) try {
    // The call decides the direction; only the FIFO index comes from the endpoint address.
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    return write_pipe(h.get(), h->get_fifo_id_from_ep(pipeId), data, length, transferred, overlapped,
                      false, 0);
} catch (...) {
    return arg_checks::current_exception_status();
}

FT60X_API FT_RESULT FT_WritePipeEx(void* handle, uint8_t fifoId, const uint8_t* data,
                                   uint32_t length, uint32_t* transferred, uint32_t timeoutMs) try {
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    return write_pipe(h.get(), fifoId, data, length, transferred, nullptr, true, timeoutMs);
} catch (...) {
    return arg_checks::current_exception_status();
}

FT60X_API FT_RESULT FT_ReadPipe(void* handle, uint8_t pipeId, uint8_t* buffer, uint32_t length,
                                uint32_t* transferred, void* overlapped) try {
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    return read_pipe(h.get(), h->get_fifo_id_from_ep(pipeId), buffer, length, transferred, overlapped,
                     false, 0);
} catch (...) {
    return arg_checks::current_exception_status();
}

FT60X_API FT_RESULT FT_ReadPipeEx(void* handle, uint8_t fifoId, uint8_t* buffer, uint32_t length,
                                  uint32_t* transferred, uint32_t timeoutMs) try {
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    return read_pipe(h.get(), fifoId, buffer, length, transferred, nullptr, true, timeoutMs);
} catch (...) {
    return arg_checks::current_exception_status();
}

FT60X_API FT_RESULT FT_FlushPipe(void* handle, uint8_t pipeId) try {
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    class pipe* p = fifo_pipe(h.get(), h->get_fifo_id_from_ep(pipeId), (pipeId & 0x80) != 0);
    if (!p)
        return STATUS_BAD_PARAMETER;
    return p->flush_all_urb_buffers() ? STATUS_SUCCESS : STATUS_IO_FAILED;
} catch (...) {
    return arg_checks::current_exception_status();
}

FT60X_API FT_RESULT FT_SetPipeTimeout(void* handle, uint8_t pipeId, uint32_t timeoutMs) try {
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    class pipe* p = fifo_pipe(h.get(), h->get_fifo_id_from_ep(pipeId), (pipeId & 0x80) != 0);
    if (!p)
        return STATUS_BAD_PARAMETER;
    p->timeout_ms.store(timeoutMs, std::memory_order_relaxed);
    return STATUS_SUCCESS;
} catch (...) {
    return arg_checks::current_exception_status();
}

FT60X_API FT_RESULT FT_GetReadQueueStatus(void* handle, uint8_t fifoId, uint32_t* bytes) try {
    return queue_status(handle, fifoId, bytes, true);
} catch (...) {
    return arg_checks::current_exception_status();
}

FT60X_API FT_RESULT FT_GetWriteQueueStatus(void* handle, uint8_t fifoId, uint32_t* bytes) try {
    return queue_status(handle, fifoId, bytes, false);
} catch (...) {
    return arg_checks::current_exception_status();
}

FT60X_API FT_RESULT FT_GetUnsentBuffer(void* handle, uint8_t fifoId, uint8_t* buffer,
                                       uint32_t* length) try {
    const handle_lease h(handle);
    if (!h)
        return STATUS_BAD_HANDLE;
    class pipe* p = fifo_pipe(h.get(), fifoId, false);
    if (!p)
        return STATUS_BAD_PARAMETER;
    return p->read_unsent_buffer(buffer, length) ? STATUS_SUCCESS : STATUS_IO_FAILED;
} catch (...) {
    return arg_checks::current_exception_status();
}

FT60X_API void FT_DumpStatus(void* handle, uint8_t pipeIndex, bool outPipe) try {
    const handle_lease h(handle);
    if (!h)
        return;
    if (class pipe* p = fifo_pipe(h.get(), pipeIndex, !outPipe))
        p->statistic();
} catch (...) {
}

} // extern "C"
