// The blocking read of an FT60x handle: served from the buffers the pipe's transfers filled ahead.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "ft60x/device/ft603_handle.h"
#include "ft60x/pipe/pipe.h"

// The caller holds the pipe's lock when the pipe is thread safe.
FT_RESULT ft603_handle::read_from_pipe(class pipe* p, std::uint8_t* buffer, std::uint32_t length,
                                       std::uint32_t* transferred, std::uint32_t timeout_ms,
                                       bool stop_on_short)
{
    const auto deadline = pipe_event::clock::now() + std::chrono::milliseconds(timeout_ms);
    *transferred = length;
    if (length == 0)
        return STATUS_SUCCESS;
    std::uint32_t left = length;
    bool timed_out = false;
    const auto finish = [&](FT_RESULT result) {
        const std::uint32_t done = length - left;
        *transferred = done;
        p->pending_bytes.fetch_sub(done);
        return result;
    };
    for (;;) {
        if (p->cur_left != 0) {
            if (left <= p->cur_left) {
                std::memcpy(buffer + (length - left), p->cur_ptr, left);
                p->cur_ptr += left;
                p->cur_left -= left;
                left = 0;
                return finish(STATUS_SUCCESS);
            }
            std::memcpy(buffer + (length - left), p->cur_ptr, p->cur_left);
            left -= p->cur_left;
            p->cur_left = 0;
            if (stop_on_short && p->cur_buf->data_len != p->buf_size)
                return finish(STATUS_SUCCESS);
        }
        for (;;) {
            if (p->cur_buf != nullptr) {
                p->push_buf_to_lib(p->cur_buf);
                p->cur_buf = nullptr;
            }
            if (const std::uint8_t s = p->health(); s != 0)
                return finish(pipe_status_result(s));
            urb_buf* ub = nullptr;
            if (p->pop_received(ub)) {
                p->cur_buf = ub;
                p->cur_left = ub->data_len - ub->data_off;
                if (p->cur_left == 0)
                    continue;
                p->cur_ptr = ub->buf.get() + ub->data_off;
                break;
            }
            // At the deadline the read takes what has arrived and returns.
            if (timed_out)
                return finish(left == length ? STATUS_TIMED_OUT : STATUS_SUCCESS);
            // A close wakes the wait below; the read then ends instead of waiting on.
            if (is_closing())
                return finish(STATUS_TRANSFER_CANCELLED);
            // The completions copy the rest straight in; woken once it is there (or a short
            // transfer ended the read), not per buffer.
            bool ended = false;
            left -= p->receive_into(buffer + (length - left), left, stop_on_short, deadline,
                                    ended, timed_out);
            if (ended)
                return finish(STATUS_SUCCESS);
        }
    }
}
