// Streaming entry points: blocking reads and writes on the FIFO pipes of an opened device, and the
// calls that flush, time, inspect and recover them. Each checks and translates its arguments;
// the pipe (ft60x/pipe/) does the rest.
#include "ft60x/api_common.h"
#include "ft60x/device/dev_handle.h"
#include "ft60x/parse/arg_checks.h"
#include "ft60x/pipe/pipe.h"
#include "ostrane/ft60x.h"

namespace {

// The IN or OUT pipe of FIFO `fifo`, or null when the handle has no such FIFO.
class pipe* fifo_pipe(dev_handle* h, std::uint8_t fifo, bool in) {
    if (fifo >= h->fifo_count || !h->fifo_interfaces)
        return nullptr;
    fifo_interface& f = h->fifo_interfaces[fifo];
    return in ? f.in_pipe.get() : f.out_pipe.get();
}

// Like fifo_pipe, but only a pipe with an endpoint (one that was created) qualifies.
class pipe* streaming_pipe(dev_handle* h, std::uint8_t fifo, bool in) {
    class pipe* p = fifo_pipe(h, fifo, in);
    return p && p->has_endpoint() ? p : nullptr;
}

// The pipe of FIFO `fifo` for a read or write, after the checks the calls share in this order:
// the FIFO, the overlapped argument, the buffer and count.
FT_RESULT check_io(dev_handle* h, std::uint8_t fifo, bool in, const void* buffer,
                   std::uint32_t length, std::uint32_t* transferred, const void* overlapped,
                   class pipe*& p) {
    p = streaming_pipe(h, fifo, in);
    if (!p)
        return STATUS_BAD_PARAMETER;
    if (overlapped)
        return STATUS_UNSUPPORTED;
    return arg_checks::check_pipe_io(buffer, length, transferred);
}

// `timeout_ms` for the calls that give one, the pipe's own otherwise.
FT_RESULT write_pipe(dev_handle* h, std::uint8_t fifo, const std::uint8_t* data,
                     std::uint32_t length, std::uint32_t* transferred, const void* overlapped,
                     const std::uint32_t* timeout_ms) {
    class pipe* p = nullptr;
    if (const FT_RESULT r = check_io(h, fifo, false, data, length, transferred, overlapped, p))
        return r;
    return p->write(data, length, transferred, timeout_ms ? *timeout_ms : p->timeout_ms());
}

FT_RESULT read_pipe(dev_handle* h, std::uint8_t fifo, std::uint8_t* buffer, std::uint32_t length,
                    std::uint32_t* transferred, const void* overlapped,
                    const std::uint32_t* timeout_ms) {
    class pipe* p = nullptr;
    if (const FT_RESULT r = check_io(h, fifo, true, buffer, length, transferred, overlapped, p))
        return r;
    return p->read(buffer, length, transferred, timeout_ms ? *timeout_ms : p->timeout_ms(),
                   h->fifo_interfaces[fifo].stop_on_short_buf != 0);
}

FT_RESULT queue_status(void* handle, std::uint8_t fifo, std::uint32_t* bytes, bool in) {
    return entry::handle_call(handle, [&](const handle_lease& h) -> FT_RESULT {
        class pipe* p = fifo_pipe(h.get(), fifo, in);
        if (!p || !bytes)
            return STATUS_BAD_PARAMETER;
        *bytes = p->queued_bytes();
        return STATUS_SUCCESS;
    });
}

} // namespace

extern "C" {

// The calls taking a pipe id decide the direction themselves; only the FIFO index comes from the
// endpoint address.
FT60X_API FT_RESULT FT_WritePipe(void* handle, uint8_t pipeId, const uint8_t* data, uint32_t length,
                                 uint32_t* transferred, void* overlapped) {
    return entry::handle_call(handle, [&](const handle_lease& h) {
        return write_pipe(h.get(), h->get_fifo_id_from_ep(pipeId), data, length, transferred,
                          overlapped, nullptr);
    });
}

FT60X_API FT_RESULT FT_WritePipeEx(void* handle, uint8_t fifoId, const uint8_t* data,
                                   uint32_t length, uint32_t* transferred, uint32_t timeoutMs) {
    return entry::handle_call(handle, [&](const handle_lease& h) {
        return write_pipe(h.get(), fifoId, data, length, transferred, nullptr, &timeoutMs);
    });
}

FT60X_API FT_RESULT FT_ReadPipe(void* handle, uint8_t pipeId, uint8_t* buffer, uint32_t length,
                                uint32_t* transferred, void* overlapped) {
    return entry::handle_call(handle, [&](const handle_lease& h) {
        return read_pipe(h.get(), h->get_fifo_id_from_ep(pipeId), buffer, length, transferred,
                         overlapped, nullptr);
    });
}

FT60X_API FT_RESULT FT_ReadPipeEx(void* handle, uint8_t fifoId, uint8_t* buffer, uint32_t length,
                                  uint32_t* transferred, uint32_t timeoutMs) {
    return entry::handle_call(handle, [&](const handle_lease& h) {
        return read_pipe(h.get(), fifoId, buffer, length, transferred, nullptr, &timeoutMs);
    });
}

FT60X_API FT_RESULT FT_FlushPipe(void* handle, uint8_t pipeId) {
    return entry::handle_call(handle, [&](const handle_lease& h) -> FT_RESULT {
        class pipe* p = fifo_pipe(h.get(), h->get_fifo_id_from_ep(pipeId), (pipeId & 0x80) != 0);
        if (!p)
            return STATUS_BAD_PARAMETER;
        return p->flush() ? STATUS_SUCCESS : STATUS_IO_FAILED;
    });
}

FT60X_API FT_RESULT FT_SetPipeTimeout(void* handle, uint8_t pipeId, uint32_t timeoutMs) {
    return entry::handle_call(handle, [&](const handle_lease& h) -> FT_RESULT {
        class pipe* p = fifo_pipe(h.get(), h->get_fifo_id_from_ep(pipeId), (pipeId & 0x80) != 0);
        if (!p)
            return STATUS_BAD_PARAMETER;
        p->set_timeout_ms(timeoutMs);
        return STATUS_SUCCESS;
    });
}

FT60X_API FT_RESULT FT_GetReadQueueStatus(void* handle, uint8_t fifoId, uint32_t* bytes) {
    return queue_status(handle, fifoId, bytes, true);
}

FT60X_API FT_RESULT FT_GetWriteQueueStatus(void* handle, uint8_t fifoId, uint32_t* bytes) {
    return queue_status(handle, fifoId, bytes, false);
}

FT60X_API FT_RESULT FT_GetUnsentBuffer(void* handle, uint8_t fifoId, uint8_t* buffer,
                                       uint32_t* length) {
    return entry::handle_call(handle, [&](const handle_lease& h) -> FT_RESULT {
        class pipe* p = fifo_pipe(h.get(), fifoId, false);
        if (!p)
            return STATUS_BAD_PARAMETER;
        return p->read_unsent(buffer, length) ? STATUS_SUCCESS : STATUS_IO_FAILED;
    });
}

FT60X_API void FT_DumpStatus(void* handle, uint8_t pipeIndex, bool outPipe) {
    entry::handle_call(handle, [&](const handle_lease& h) {
        if (class pipe* p = fifo_pipe(h.get(), pipeIndex, !outPipe))
            p->statistic();
        return STATUS_SUCCESS;
    });
}

} // extern "C"
