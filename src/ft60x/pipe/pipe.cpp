#include "ft60x/pipe/pipe.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

#include "ft60x/device/library.h"
#include "ft60x/logging.h"
#include "ft60x/pipe/completion_round.h"

using namespace std::chrono_literals;

namespace {

// OUT data already queued when the pipe stops keeps going out as long as the device keeps taking
// it: the drain gives up after this long without a transfer coming back...
constexpr auto out_idle = 1s;
// ...and in any case after this long.
constexpr auto out_drain_cap = 10s;
// How long stopping waits for cancelled transfers to come back from libusb.
constexpr auto cancel_wait = 1s;

// States of a pipe_transfer.
constexpr std::uint8_t xfer_idle = 0;
constexpr std::uint8_t xfer_submitted = 1;
constexpr std::uint8_t xfer_completing = 2;
constexpr std::uint8_t xfer_orphaned = 3;

} // namespace

// The user data of each libusb transfer of a pipe. The state decides who may touch the transfer:
// the completion moves it from submitted to completing before it looks at the pipe; a pipe that
// is destroyed while libusb still holds the transfer moves it to orphaned instead, and the
// completion then frees the transfer and its buffer itself without touching the pipe.
struct pipe_transfer {
    explicit pipe_transfer(libusb_transfer* x) : xfer(x) {}
    ~pipe_transfer() { libusb_free_transfer(xfer); }
    pipe_transfer(const pipe_transfer&) = delete;
    pipe_transfer& operator=(const pipe_transfer&) = delete;

    libusb_transfer* const xfer;
    urb_buf* ub = nullptr;
    std::atomic<std::uint8_t> state{xfer_idle};
};

void pipe_event::signal() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        flag.store(true);
    }
    // Outside the lock: a waiter woken on another core would otherwise block on it at once.
    cv.notify_all();
}

pipe_event::result pipe_event::wait_until(clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex);
    // The wake-up consumes the signal too: left set, it would end the next wait at once.
    const bool signalled = cv.wait_until(lock, deadline, [this] { return flag.load(); });
    flag.store(false);
    return signalled ? result::woken : result::timed_out;
}

namespace {

// The status a read or write reports for a transfer that ended with libusb status `s`.
FT_RESULT transfer_result(std::uint8_t s) {
    switch (s) {
    case LIBUSB_TRANSFER_CANCELLED:
        return STATUS_TRANSFER_CANCELLED;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return STATUS_DEVICE_GONE;
    default:
        return STATUS_IO_FAILED;
    }
}

} // namespace

pipe::pipe() = default;

pipe::~pipe() {
    stop();
    // Cancelled already by the stop; stragglers get one more bounded wait. Always through the
    // state lock, even with nothing in flight: the last completion counts itself back under it
    // and may still be releasing it, so the pipe is freed only once that lock has been had.
    if (!wait_transfers_back(clock::now() + cancel_wait))
        orphan_pending_transfers();
}

bool pipe::create(handle_lib* usb, std::uint8_t ep, const FT_PIPE_TRANSFER_CONF* conf) {
    const unsigned urb_num = conf->bUrbNum;
    const unsigned buf_num = conf->wBufNum;
    logging(FT_LOG_LEVEL_TRACE, "Create EP%X URB count:%d BUF count:%d BUF size:%d\r\n", ep,
            static_cast<int>(urb_num), static_cast<int>(buf_num),
            static_cast<int>(conf->dwBufSize));
    // The rings may throw std::bad_alloc: the open then fails with nothing of the pipe left.
    q_err = std::make_unique<ProducerConsumerQueue<urb_buf*>>(urb_num + 1);
    q_lib = std::make_unique<ProducerConsumerQueue<urb_buf*>>(buf_num + 1);
    q_app = std::make_unique<ProducerConsumerQueue<urb_buf*>>(buf_num + 1);
    q_urb = std::make_unique<ProducerConsumerQueue<libusb_transfer*>>(urb_num + 1);
    q_lib_back = std::make_unique<ProducerConsumerQueue<urb_buf*>>(urb_num + 1);
    q_err_submit = std::make_unique<ProducerConsumerQueue<urb_buf*>>(urb_num + 1);
    ep_addr = ep;
    thread_safe = conf->bNoLock == 0;
    buf_size = conf->dwBufSize;
    urb_count = urb_num;
    device_gone = &usb->device_gone;

    const bool out = is_out();
    bufs.reserve(bufs.size() + buf_num);
    for (unsigned i = 0; i < buf_num; ++i) {
        auto ub = std::make_unique<urb_buf>();
        ub->buf = std::make_unique<std::uint8_t[]>(buf_size);
        ub->pp = this;
        bufs.push_back(std::move(ub));
    }
    for (unsigned i = 0; i < buf_num; ++i) {
        if (!(out ? q_app : q_lib)->push(bufs[i].get())) {
            logging(FT_LOG_LEVEL_ERROR, "Failed to associate buffer %d with Q\r\n",
                    static_cast<int>(i));
            return false;
        }
    }

    transfers.reserve(transfers.size() + urb_num);
    for (unsigned i = 0; i < urb_num; ++i) {
        libusb_transfer* x = libusb_alloc_transfer(0);
        if (!x)
            throw std::bad_alloc();
        auto t = std::make_unique<pipe_transfer>(x);
        x->dev_handle = usb->get();
        x->endpoint = ep;
        x->type = LIBUSB_TRANSFER_TYPE_BULK;
        x->timeout = 0;
        x->length = static_cast<int>(buf_size);
        x->callback = out ? &pipe::xfr_cb_wrapper<true> : &pipe::xfr_cb_wrapper<false>;
        x->buffer = nullptr;
        x->user_data = t.get();
        if (!q_urb->push(x)) {
            logging(FT_LOG_LEVEL_ERROR, "Failed to create idle URB queue\r\n");
            return false; // `t` frees the transfer
        }
        transfers.push_back(std::move(t));
    }

    // An IN pipe submits every transfer that has a buffer before the host reads.
    {
        locking::lock_guard<locking::mutex> control(control_lock);
        stop_done = false;
    }
    start();
    return true;
}

void pipe::set_state(state next, std::uint8_t reason) {
    failure.store(next == state::failed ? reason : 0);
    life.store(next);
    if (state_waiters != 0)
        state_changed.notify_all();
    // Readers and writers blocked on the pipe look at it again.
    app_event.signal();
}

FT_RESULT pipe::condition() const {
    const state s = life.load();
    if (s == state::failed)
        return transfer_result(failure.load());
    // Once any pipe of the device has seen it gone, none of them streams any more.
    if (s == state::gone || (device_gone != nullptr && device_gone->load(std::memory_order_relaxed)))
        return STATUS_DEVICE_GONE;
    if (s == state::streaming)
        return STATUS_SUCCESS;
    return STATUS_TRANSFER_CANCELLED;
}

void pipe::record_failure(libusb_transfer* x) {
    const libusb_transfer_status s = x->status;
    {
        locking::lock_guard<locking::mutex> lock(state_lock);
        const state now = life.load();
        if (s == LIBUSB_TRANSFER_CANCELLED) {
            // A cancellation only marks a streaming pipe: a stop's own cancellations are no
            // failure, and an earlier stall or unplug stays visible.
            if (now == state::streaming)
                set_state(state::failed, LIBUSB_TRANSFER_CANCELLED);
            return;
        }
        if (s == LIBUSB_TRANSFER_NO_DEVICE) {
            if (device_gone != nullptr)
                device_gone->store(true, std::memory_order_relaxed);
            set_state(state::gone);
        } else if (now != state::gone) {
            set_state(state::failed, static_cast<std::uint8_t>(s));
        }
    }
    logging(FT_LOG_LEVEL_ERROR, "EP%X callback failure %s\r\n", x->endpoint,
            libusb_error_name(s));
}

void pipe::record_submit_failure(int rc) {
    {
        locking::lock_guard<locking::mutex> lock(state_lock);
        // Only a missing device means the board is gone. usbfs refuses memory beyond its limit
        // for all transfers in flight (16 MiB by default), and larger buffers than the host
        // controller can map: the pipe fails, the board stays.
        if (rc == LIBUSB_ERROR_NO_DEVICE) {
            if (device_gone != nullptr)
                device_gone->store(true, std::memory_order_relaxed);
            set_state(state::gone);
        } else if (life.load() != state::gone) {
            set_state(state::failed, LIBUSB_TRANSFER_ERROR);
        }
    }
    logging(FT_LOG_LEVEL_ERROR, "Failed to submit URB transfer: %s\r\n", libusb_error_name(rc));
    if (rc == LIBUSB_ERROR_NO_MEM)
        logging(FT_LOG_LEVEL_ERROR,
                "EP%X: the kernel refused memory for a %u-byte transfer; use fewer or smaller "
                "buffers, or raise usbcore's usbfs_memory_mb\r\n",
                ep_addr, static_cast<unsigned>(buf_size));
}

void pipe::start() {
    {
        locking::lock_guard<locking::mutex> lock(state_lock);
        set_state(state::streaming);
    }
    submit_ready_and_report();
}

void pipe::close_callers() {
    closing.store(true, std::memory_order_release);
    app_event.signal();
}

std::uint32_t pipe::queued_bytes() const {
    const std::int64_t n = pending_bytes.load();
    return n > 0 ? static_cast<std::uint32_t>(n) : 0;
}

// The analysis cannot follow a lock taken only sometimes: a pipe without the lock is the caller's
// to use one call at a time, which holds it as well.
bool pipe::enter_call(clock::time_point deadline) NO_THREAD_SAFETY_ANALYSIS {
    return !thread_safe || call_lock.try_lock_until(deadline);
}

void pipe::leave_call() NO_THREAD_SAFETY_ANALYSIS {
    if (thread_safe)
        call_lock.unlock();
}

FT_RESULT pipe::read(std::uint8_t* dst, std::uint32_t length, std::uint32_t* transferred,
                     std::uint32_t timeout_ms, bool stop_on_short) {
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    *transferred = 0;
    if (length == 0)
        return closing.load(std::memory_order_acquire) ? FT_RESULT{STATUS_TRANSFER_CANCELLED}
                                                       : condition();
    if (!enter_call(deadline))
        return STATUS_TIMED_OUT;
    const FT_RESULT result = read_entered(dst, length, transferred, deadline, stop_on_short);
    leave_call();
    return result;
}

FT_RESULT pipe::read_entered(std::uint8_t* dst, std::uint32_t length, std::uint32_t* transferred,
                             clock::time_point deadline, bool stop_on_short) {
    std::uint32_t left = length;
    bool timed_out = false;
    const auto finish = [&](FT_RESULT result) {
        const std::uint32_t done = length - left;
        *transferred = done;
        pending_bytes.fetch_sub(done);
        return result;
    };
    for (;;) {
        if (cur_left != 0) {
            if (left <= cur_left) {
                std::memcpy(dst + (length - left), cur_ptr, left);
                cur_ptr += left;
                cur_left -= left;
                left = 0;
                return finish(STATUS_SUCCESS);
            }
            std::memcpy(dst + (length - left), cur_ptr, cur_left);
            left -= cur_left;
            cur_left = 0;
            if (stop_on_short && cur_buf->data_len != buf_size)
                return finish(STATUS_SUCCESS);
        }
        for (;;) {
            if (cur_buf != nullptr) {
                push_buf_to_lib(cur_buf);
                cur_buf = nullptr;
            }
            if (const FT_RESULT s = condition(); s != STATUS_SUCCESS)
                return finish(s);
            urb_buf* ub = nullptr;
            if (q_app->pop(ub)) {
                cur_buf = ub;
                cur_left = ub->data_len - ub->data_off;
                if (cur_left == 0)
                    continue;
                cur_ptr = ub->buf.get() + ub->data_off;
                break;
            }
            // At the deadline the read takes what has arrived and returns.
            if (timed_out)
                return finish(left == length ? STATUS_TIMED_OUT : STATUS_SUCCESS);
            // A close wakes the wait below; the read then ends instead of waiting on.
            if (closing.load(std::memory_order_acquire))
                return finish(STATUS_TRANSFER_CANCELLED);
            // The completions copy the rest straight in; woken once it is there (or a short
            // transfer ended the read), not per buffer.
            bool ended = false;
            left -= receive_into(dst + (length - left), left, stop_on_short, deadline, ended,
                                 timed_out);
            if (ended)
                return finish(STATUS_SUCCESS);
        }
    }
}

FT_RESULT pipe::write(const std::uint8_t* src, std::uint32_t length, std::uint32_t* transferred,
                      std::uint32_t timeout_ms) {
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    *transferred = 0;
    if (length == 0)
        return closing.load(std::memory_order_acquire) ? FT_RESULT{STATUS_TRANSFER_CANCELLED}
                                                       : condition();
    if (!enter_call(deadline))
        return STATUS_TIMED_OUT;
    const FT_RESULT result = write_entered(src, length, transferred, deadline);
    leave_call();
    return result;
}

FT_RESULT pipe::write_entered(const std::uint8_t* src, std::uint32_t length,
                              std::uint32_t* transferred, clock::time_point deadline) {
    std::uint32_t r = length;
    bool timed_out = false;
    for (;;) {
        // Only a streaming pipe takes data: a stopped, failed or unplugged one says so.
        // Success only if the pipe still streamed when the last data was queued; otherwise the
        // data is reported with the failure and read_unsent can recover it.
        if (const FT_RESULT s = condition(); s != STATUS_SUCCESS) {
            *transferred = length - r;
            return s;
        }
        if (r == 0) {
            *transferred = length;
            return STATUS_SUCCESS;
        }
        urb_buf* ub = nullptr;
        if (q_app->pop(ub)) {
            const std::uint32_t n = std::min(r, buf_size);
            std::memcpy(ub->buf.get(), src + (length - r), n);
            ub->data_len = n;
            // Counted before the hand-over so that a fast completion never makes it negative.
            pending_bytes.fetch_add(n, std::memory_order_acq_rel);
            push_buf_to_lib(ub);
            r -= n;
            continue;
        }
        // At the deadline the write has queued into every buffer that came free.
        if (timed_out) {
            *transferred = length - r;
            return r == length ? STATUS_TIMED_OUT : STATUS_SUCCESS;
        }
        // A close wakes the wait below; the write then ends instead of waiting on.
        if (closing.load(std::memory_order_acquire)) {
            *transferred = length - r;
            return STATUS_TRANSFER_CANCELLED;
        }
        // The completions copy the rest into the buffers they free; woken once it is all queued,
        // not per buffer.
        r -= send_from(src + (length - r), r, deadline, timed_out);
    }
}

void pipe::push_buf_to_lib(urb_buf* ub) {
    assert(ub->pp == this);
    q_lib->push(ub);
    submit_if_transfer_idle();
}

void pipe::submit_if_transfer_idle() {
    // Pairs with the barrier in submit_ready: either this thread sees the transfer a completion
    // just left idle, or that completion sees the buffer just queued.
    handoff_barrier();
    if (!q_urb->isEmpty())
        submit_ready_and_report();
}

pipe_event::result pipe::wait_for_request(const app_request& r, clock::time_point deadline) {
    {
        locking::lock_guard<locking::mutex> lock(request_lock);
        // What q_app holds comes first: received data older than anything still to arrive, or a
        // free buffer the writer fills itself.
        if (!q_app->isEmpty())
            return pipe_event::result::woken;
        request = r;
    }
    // A state change or close after this check signals app_event, whose flag keeps the signal.
    if (condition() == STATUS_SUCCESS && !closing.load(std::memory_order_acquire))
        return app_event.wait_until(deadline);
    return pipe_event::result::woken;
}

pipe::app_request pipe::withdraw_request() {
    // Once withdrawn no completion touches the caller's memory again: the call may return.
    locking::lock_guard<locking::mutex> lock(request_lock);
    return std::exchange(request, app_request{});
}

std::uint32_t pipe::receive_into(std::uint8_t* dst, std::uint32_t len, bool short_ends,
                                 clock::time_point deadline, bool& ended, bool& timed_out) {
    const app_request r{dst, nullptr, len, 0, short_ends, false};
    if (wait_for_request(r, deadline) == pipe_event::result::timed_out)
        timed_out = true;
    const app_request done = withdraw_request();
    ended = done.ended;
    return done.done;
}

std::uint32_t pipe::send_from(const std::uint8_t* src, std::uint32_t len,
                              clock::time_point deadline, bool& timed_out) {
    const app_request r{nullptr, src, len, 0, false, false};
    if (wait_for_request(r, deadline) == pipe_event::result::timed_out)
        timed_out = true;
    return withdraw_request().done;
}

bool pipe::deliver_received(urb_buf* ub, bool& app_done) {
    const std::uint32_t n = ub->data_len;
    ub->data_off = 0;
    locking::lock_guard<locking::mutex> lock(request_lock);
    // q_app is empty here: the reader registered only with nothing queued, and nothing is
    // queued until its request ended, so the bytes reach it in order.
    if (request.dst != nullptr && !request.ended) {
        assert(q_app->isEmpty());
        const std::uint32_t take = std::min(n, request.left);
        std::memcpy(request.dst + request.done, ub->buf.get(), take);
        request.done += take;
        request.left -= take;
        ub->data_off = take;
        // A short transfer ends the read once all of it is taken, as when the reader copies it.
        const bool short_end = request.short_ends && n != 0 && n != buf_size && take == n;
        if (request.left == 0 || short_end) {
            request.ended = true;
            app_done = true;
        }
    }
    if (ub->data_off == n)
        return true;
    q_app->push(ub);
    return false;
}

bool pipe::refill_sent(urb_buf* ub, bool& app_done) {
    locking::lock_guard<locking::mutex> lock(request_lock);
    // Only into a pipe that still streams: a failed or stopping one leaves the rest of the data
    // to the writer, which then reports the failure with what was queued.
    if (request.src != nullptr && request.left != 0 && condition() == STATUS_SUCCESS) {
        const std::uint32_t n = std::min(request.left, buf_size);
        std::memcpy(ub->buf.get(), request.src + request.done, n);
        ub->data_len = n;
        request.done += n;
        request.left -= n;
        // Counted before the hand-over, as the writer counts its own buffers.
        pending_bytes.fetch_add(n, std::memory_order_acq_rel);
        // Behind everything the writer queued before it waited: the order holds.
        q_lib->push(ub);
        if (request.left == 0)
            app_done = true;
        return true;
    }
    q_app->push(ub);
    return false;
}

int pipe::submit_ready() {
    // Pairs with the barrier in push_buf_to_lib (see there).
    handoff_barrier();
    const bool out = is_out();
    for (;;) {
        // A stopping pipe still sends what was queued; nothing else submits.
        const state s = life.load();
        if ((s != state::streaming && s != state::stopping) || q_urb->isEmpty())
            return 0;
        urb_buf* ub = nullptr;
        if (!(!out && q_lib_back->pop(ub)) && !q_lib->pop(ub))
            return 0;
        libusb_transfer* x = nullptr;
        q_urb->pop(x);
        auto* t = static_cast<pipe_transfer*>(x->user_data);
        t->ub = ub;
        x->buffer = ub->buf.get();
        x->length = static_cast<int>(out ? ub->data_len : buf_size);
        in_flight.fetch_add(1, std::memory_order_acq_rel);
        t->state.store(xfer_submitted, std::memory_order_release);
        const int rc = libusb_submit_transfer(x);
        if (rc == 0)
            continue;
        t->state.store(xfer_idle, std::memory_order_relaxed);
        in_flight.fetch_sub(1, std::memory_order_acq_rel);
        (out ? q_err_submit : q_err)->push(ub);
        q_urb->push(x);
        return rc;
    }
}

void pipe::submit_ready_and_report() {
    int rc = 0;
    {
        locking::lock_guard<locking::mutex> lock(submit_lock);
        rc = submit_ready();
    }
    if (rc != 0)
        record_submit_failure(rc);
}

template <bool out> void LIBUSB_CALL pipe::xfr_cb_wrapper(libusb_transfer* x) {
    auto* t = static_cast<pipe_transfer*>(x->user_data);
    std::uint8_t expected = xfer_submitted;
    if (!t->state.compare_exchange_strong(expected, xfer_completing, std::memory_order_acq_rel)) {
        // The pipe is gone; the transfer and its buffer were left to this completion.
        delete t->ub;
        delete t;
        return;
    }
    urb_buf* ub = t->ub;
    ub->pp->xfr_cb<out>(x, ub);
}

template <bool out> void pipe::xfr_cb(libusb_transfer* x, urb_buf* ub) {
    assert(ep_addr == x->endpoint);
    auto* t = static_cast<pipe_transfer*>(x->user_data);
    const libusb_transfer_status s = x->status;

    bool app_done = false;
    bool refill = false;
    if (s == LIBUSB_TRANSFER_COMPLETED) {
        if constexpr (out) {
            pending_bytes.fetch_sub(x->actual_length, std::memory_order_acq_rel);
            // The sent buffer is refilled below, once the transfer is out again with the oldest
            // queued one: the copy stays off the device's path.
            refill = true;
        } else {
            ub->data_len = static_cast<std::uint32_t>(x->actual_length);
            // Counted before the reader can see the bytes: its read subtracts them.
            pending_bytes.fetch_add(x->actual_length, std::memory_order_acq_rel);
            // An emptied buffer goes out again with this very transfer (see submit_ready).
            if (deliver_received(ub, app_done))
                q_lib_back->push(ub);
        }
    } else {
        // Wakes a blocked call to report the failure (set_state signals).
        record_failure(x);
        if constexpr (out) {
            // What did go out is sent; the rest stays queued as unsent data at the buffer's
            // start, where read_unsent finds it and the queued count still holds it.
            const auto sent = static_cast<std::uint32_t>(std::max(x->actual_length, 0));
            pending_bytes.fetch_sub(sent, std::memory_order_acq_rel);
            if (sent < ub->data_len) {
                std::memmove(ub->buf.get(), ub->buf.get() + sent, ub->data_len - sent);
                ub->data_len -= sent;
                q_err->push(ub);
            } else {
                q_app->push(ub);
            }
        } else {
            q_lib_back->push(ub);
        }
    }

    // The transfer goes out again at once with the next buffer ready, as a hand-written loop
    // would resubmit it from its completion.
    int rc = 0;
    {
        locking::lock_guard<locking::mutex> lock(submit_lock);
        t->state.store(xfer_idle, std::memory_order_release);
        q_urb->push(x);
        rc = submit_ready();
    }
    if (rc != 0)
        record_submit_failure(rc);
    if constexpr (out) {
        // With nothing else queued the transfer stayed idle: it takes the refilled buffer.
        if (refill && refill_sent(ub, app_done))
            submit_if_transfer_idle();
    }
    // Held to the end of the event thread's round (see completion_round); the pipe stays in use
    // until then, as transfer_back comes last.
    if (!completion_round::hold(this, app_done))
        end_completion(app_done);
}

void pipe::end_completion(bool wake) {
    if (wake)
        app_event.signal(); // the request is served
    transfer_back();
}

void pipe::transfer_back() {
    // Under the lock a waiter needs before it may free the pipe: once it is released, nothing of
    // the pipe is touched again.
    locking::lock_guard<locking::mutex> lock(state_lock);
    ++completions;
    in_flight.fetch_sub(1, std::memory_order_acq_rel);
    if (state_waiters != 0)
        state_changed.notify_all();
}

bool pipe::wait_out_drained(clock::time_point cap) {
    locking::lock_guard<locking::mutex> lock(state_lock);
    ++state_waiters;
    std::uint64_t seen = completions;
    auto deadline = std::min(cap, clock::now() + out_idle);
    bool drained = false;
    for (;;) {
        if (life.load() != state::stopping)
            break;
        if (q_lib->isEmpty() && in_flight.load(std::memory_order_acquire) == 0) {
            drained = true;
            break;
        }
        // A transfer that came back is progress: the idle limit starts again.
        if (completions != seen) {
            seen = completions;
            deadline = std::min(cap, clock::now() + out_idle);
        }
        if (clock::now() >= deadline)
            break;
        locking::wait_until(state_changed, state_lock, deadline);
    }
    --state_waiters;
    return drained;
}

bool pipe::wait_transfers_back(clock::time_point deadline) {
    locking::lock_guard<locking::mutex> lock(state_lock);
    ++state_waiters;
    bool back = true;
    while (in_flight.load(std::memory_order_acquire) != 0) {
        if (locking::wait_until(state_changed, state_lock, deadline) == std::cv_status::timeout &&
            in_flight.load(std::memory_order_acquire) != 0) {
            back = false;
            break;
        }
    }
    --state_waiters;
    return back;
}

void pipe::stop() {
    locking::lock_guard<locking::mutex> control(control_lock);
    stop_locked();
}

void pipe::stop_locked() {
    if (stop_done || !q_urb)
        return;
    stop_done = true;
    {
        // Readers and writers waiting on the pipe see it stopping now (set_state wakes them).
        locking::lock_guard<locking::mutex> lock(state_lock);
        if (life.load() == state::streaming)
            set_state(state::stopping);
    }
    // Data the writer was told was taken goes out before anything is cancelled.
    if (is_out() && life.load() == state::stopping) {
        submit_ready_and_report();
        wait_out_drained(clock::now() + out_drain_cap);
    }
    {
        locking::lock_guard<locking::mutex> lock(state_lock);
        if (life.load() == state::stopping)
            set_state(state::stopped);
    }
    // A submission that saw the pipe still stopping has ended once this lock is had; later ones
    // see it stopped. So every transfer out now is cancelled below.
    { locking::lock_guard<locking::mutex> lock(submit_lock); }
    if (in_flight.load(std::memory_order_acquire) != 0) {
        for (auto& t : transfers) {
            if (t->state.load(std::memory_order_acquire) == xfer_submitted)
                libusb_cancel_transfer(t->xfer);
        }
        if (!wait_transfers_back(clock::now() + cancel_wait))
            logging(FT_LOG_LEVEL_WARNING, "EP%X: transfers did not come back after cancelling\r\n",
                    ep_addr);
    }
    if (is_out()) {
        if (const std::int64_t unsent = pending_bytes.load(); unsent > 0)
            logging(FT_LOG_LEVEL_WARNING, "EP%X stopped with %lld bytes not sent\r\n", ep_addr,
                    static_cast<long long>(unsent));
    }
}

void pipe::orphan_pending_transfers() {
    std::uint32_t orphans = 0;
    for (auto& t : transfers) {
        // Read while the transfer is still ours: once it is orphaned its completion may free it
        // (and the buffer) at any moment.
        urb_buf* const ub = t->ub;
        std::uint8_t expected = xfer_submitted;
        if (!t->state.compare_exchange_strong(expected, xfer_orphaned, std::memory_order_acq_rel))
            continue;
        // From here on the completion owns the transfer and its buffer; neither is touched again.
        t.release();
        for (auto& b : bufs) {
            if (b.get() == ub) {
                b.release();
                break;
            }
        }
        ++orphans;
    }
    if (orphans != 0)
        logging(FT_LOG_LEVEL_WARNING, "EP%X left %u transfers to their completions\r\n", ep_addr,
                static_cast<unsigned>(orphans));
    // Completions already running finish with the pipe before it goes (they only run to their
    // end); orphaned ones never count back.
    {
        locking::lock_guard<locking::mutex> lock(state_lock);
        ++state_waiters;
        while (in_flight.load(std::memory_order_acquire) > orphans)
            locking::wait(state_changed, state_lock);
        --state_waiters;
    }
    std::erase(transfers, nullptr);
    std::erase(bufs, nullptr);
}

bool pipe::flush() {
    locking::lock_guard<locking::mutex> control(control_lock);
    if (ep_addr == 0)
        return true;
    stop_locked();
    // Nothing may come back behind our back while the rings are rearranged below. A pipe whose
    // transfers are still out stays stopped, and says so.
    if (in_flight.load(std::memory_order_acquire) != 0 &&
        !wait_transfers_back(clock::now() + cancel_wait))
        return false;
    {
        // The stop woke the readers and writers of the pipe, so they leave soon; none may use
        // the rings while they are rearranged.
        locking::lock_guard<locking::timed_mutex> io(call_lock);
        urb_buf* ub = nullptr;
        if (is_out()) {
            drain_unsent([](urb_buf*) {});
        } else {
            while (q_app->pop(ub))
                q_lib->push(ub);
            while (q_lib_back->pop(ub))
                q_lib->push(ub);
            // What is left queued for reading: the rest of the reader's current buffer.
            pending_bytes.store(cur_left);
        }
    }
    // The stop's own cancellations are no failure of the pipe; anything else stays reported.
    const state s = life.load();
    if (s != state::stopped &&
        !(s == state::failed && failure.load() == LIBUSB_TRANSFER_CANCELLED))
        return true;
    stop_done = false;
    start();
    return true;
}

template <typename Take> void pipe::drain_unsent(Take take) {
    urb_buf* ub = nullptr;
    // Oldest first: buffers that were in flight, then one whose submission failed, then those
    // never submitted.
    for (auto* q : {q_err.get(), q_err_submit.get(), q_lib.get()}) {
        while (q->pop(ub)) {
            take(ub);
            pending_bytes.fetch_sub(ub->data_len, std::memory_order_acq_rel);
            q_app->push(ub);
        }
    }
}

bool pipe::read_unsent(std::uint8_t* dst, std::uint32_t* length) {
    if (ep_addr == 0 || !is_out() || length == nullptr)
        return false;
    locking::lock_guard<locking::mutex> control(control_lock);
    stop_locked();
    if (in_flight.load(std::memory_order_acquire) != 0 &&
        !wait_transfers_back(clock::now() + cancel_wait))
        return false;
    locking::lock_guard<locking::timed_mutex> io(call_lock);
    if (dst == nullptr) {
        *length = queued_bytes();
        return true;
    }
    std::uint32_t room = *length;
    std::uint32_t copied = 0;
    drain_unsent([&](urb_buf* ub) {
        const std::uint32_t n = std::min(ub->data_len, room);
        std::copy_n(ub->buf.get(), n, dst + copied);
        copied += n;
        room -= n;
    });
    *length = copied;
    return true;
}

void pipe::statistic() const {
    if (ep_addr == 0)
        return;
    static constexpr const char* names[] = {"created", "streaming", "stopping",
                                            "stopped", "failed",    "gone"};
    logging(FT_LOG_LEVEL_TRACE,
            "EP%X state:%s failure:%d q_lib:%zu q_app:%zu q_urb:%zu q_err:%zu\r\n", ep_addr,
            names[static_cast<int>(life.load())], static_cast<int>(failure.load()),
            q_lib->approxSize() + q_lib_back->approxSize(), q_app->approxSize(),
            q_urb->approxSize(), q_err->approxSize() + q_err_submit->approxSize());
}
