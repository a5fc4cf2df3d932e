#include "ft60x/pipe/pipe.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

#include "ft60x/device/library.h"
#include "ft60x/logging.h"

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

FT_RESULT pipe_status_result(std::uint8_t s) {
    switch (s) {
    case 0:
        return STATUS_SUCCESS;
    case LIBUSB_TRANSFER_CANCELLED:
        return STATUS_TRANSFER_CANCELLED;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return STATUS_DEVICE_GONE;
    default:
        return STATUS_IO_FAILED;
    }
}

pipe::pipe() = default;

pipe::~pipe() {
    stop();
    if (in_flight.load(std::memory_order_acquire) != 0) {
        // Cancelled already by the stop; give the stragglers one more bounded wait.
        if (!wait_transfers_back(pipe_event::clock::now() + cancel_wait))
            orphan_pending_transfers();
    }
}

void pipe::pre_out_xfr_cb(urb_buf*) {}
void pipe::pre_submit_out_urb(urb_buf*) {}

bool pipe::create(handle_lib* usb, std::uint8_t ep, const FT_PIPE_TRANSFER_CONF* conf) {
    const unsigned urb_num = conf->bUrbNum;
    const unsigned buf_num = conf->wBufNum;
    ep_addr = ep;
    thread_safe = conf->bNoLock == 0;
    logging(FT_LOG_LEVEL_TRACE, "Create EP%X URB count:%d BUF count:%d BUF size:%d\r\n", ep,
            static_cast<int>(urb_num), static_cast<int>(buf_num),
            static_cast<int>(conf->dwBufSize));
    buf_size = conf->dwBufSize;
    urb_count = urb_num;
    device_gone = &usb->device_gone;

    q_err.reset(new (std::nothrow) ProducerConsumerQueue<urb_buf*>(urb_num + 1));
    q_lib.reset(new (std::nothrow) ProducerConsumerQueue<urb_buf*>(buf_num + 1));
    q_app.reset(new (std::nothrow) ProducerConsumerQueue<urb_buf*>(buf_num + 1));
    q_urb.reset(new (std::nothrow) ProducerConsumerQueue<libusb_transfer*>(urb_num + 1));
    q_lib_back.reset(new (std::nothrow) ProducerConsumerQueue<urb_buf*>(urb_num + 1));
    q_err_submit.reset(new (std::nothrow) ProducerConsumerQueue<urb_buf*>(urb_num + 1));
    if (!q_lib || !q_app || !q_urb || !q_err || !q_lib_back || !q_err_submit) {
        logging(FT_LOG_LEVEL_ERROR, "Failed to create Q\r\n");
        return false;
    }

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
    start();
    return true;
}

void pipe::start() {
    stopped.store(false);
    {
        std::lock_guard<std::mutex> lock(submit_lock);
        no_submit = false;
    }
    submit_ready_and_report();
}

void pipe::push_buf_to_lib(urb_buf* ub) {
    assert(get_ep_addr() == ub->pp->get_ep_addr());
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

pipe_event::result pipe::wait_for_request(const app_request& r,
                                          pipe_event::clock::time_point deadline) {
    {
        std::lock_guard<std::mutex> lock(request_lock);
        // What q_app holds comes first: received data older than anything still to arrive, or a
        // free buffer the writer fills itself.
        if (!q_app->isEmpty())
            return pipe_event::result::woken;
        request = r;
    }
    // A failure, stop or close after this check signals app_event, whose flag keeps the signal.
    if (health() == 0)
        return app_event.wait_until(deadline);
    return pipe_event::result::woken;
}

pipe::app_request pipe::withdraw_request() {
    // Once withdrawn no completion touches the caller's memory again: the call may return.
    std::lock_guard<std::mutex> lock(request_lock);
    return std::exchange(request, app_request{});
}

std::uint32_t pipe::receive_into(std::uint8_t* dst, std::uint32_t len, bool short_ends,
                                 pipe_event::clock::time_point deadline, bool& ended,
                                 bool& timed_out) {
    const app_request r{dst, nullptr, len, 0, short_ends, false};
    if (wait_for_request(r, deadline) == pipe_event::result::timed_out)
        timed_out = true;
    const app_request done = withdraw_request();
    ended = done.ended;
    return done.done;
}

std::uint32_t pipe::send_from(const std::uint8_t* src, std::uint32_t len,
                              pipe_event::clock::time_point deadline, bool& timed_out) {
    const app_request r{nullptr, src, len, 0, false, false};
    if (wait_for_request(r, deadline) == pipe_event::result::timed_out)
        timed_out = true;
    return withdraw_request().done;
}

bool pipe::deliver_received(urb_buf* ub, bool& app_done) {
    const std::uint32_t n = ub->data_len;
    ub->data_off = 0;
    std::lock_guard<std::mutex> lock(request_lock);
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
    std::lock_guard<std::mutex> lock(request_lock);
    // Only into a pipe that still streams: a failed or stopping one leaves the rest of the data
    // to the writer, which then reports the failure with what was queued.
    if (request.src != nullptr && request.left != 0 && status.load() == 0 && !stopped.load()) {
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
        if (no_submit || status.load() != 0 || q_urb->isEmpty())
            return 0;
        urb_buf* ub = nullptr;
        if (!(!out && q_lib_back->pop(ub)) && !q_lib->pop(ub))
            return 0;
        libusb_transfer* x = nullptr;
        q_urb->pop(x);
        auto* t = static_cast<pipe_transfer*>(x->user_data);
        if (out)
            pre_submit_out_urb(ub);
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
        // Only a missing device means the board is gone. usbfs refuses memory beyond its limit
        // for all transfers in flight (16 MiB by default), and larger buffers than the host
        // controller can map: the pipe fails, the board stays.
        const bool gone = rc == LIBUSB_ERROR_NO_DEVICE;
        status.store(gone ? LIBUSB_TRANSFER_NO_DEVICE : LIBUSB_TRANSFER_ERROR);
        if (gone && device_gone != nullptr)
            device_gone->store(true, std::memory_order_relaxed);
        (out ? q_err_submit : q_err)->push(ub);
        q_urb->push(x);
        return rc;
    }
}

void pipe::submit_ready_and_report() {
    int rc = 0;
    {
        std::lock_guard<std::mutex> lock(submit_lock);
        rc = submit_ready();
    }
    if (rc != 0)
        report_submit_failure(rc);
}

void pipe::report_submit_failure(int rc) {
    logging(FT_LOG_LEVEL_ERROR, "Failed to submit URB transfer: %s\r\n", libusb_error_name(rc));
    if (rc == LIBUSB_ERROR_NO_MEM)
        logging(FT_LOG_LEVEL_ERROR,
                "EP%X: the kernel refused memory for a %u-byte transfer; use fewer or smaller "
                "buffers, or raise usbcore's usbfs_memory_mb\r\n",
                ep_addr, static_cast<unsigned>(buf_size));
    // A reader or writer blocked on this pipe reports the failure now, not at its deadline.
    app_event.signal();
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
    assert(this->get_ep_addr() == x->endpoint);
    auto* t = static_cast<pipe_transfer*>(x->user_data);
    const libusb_transfer_status s = x->status;
    if constexpr (out)
        pre_out_xfr_cb(ub);

    bool failed = false;
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
        failed = true;
        record_failure(x);
        if constexpr (out) {
            // What did go out is sent; the rest stays queued as unsent data at the buffer's
            // start, where read_unsent_buffer finds it and the pending count still holds it.
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
    completions.fetch_add(1, std::memory_order_relaxed);

    // The transfer goes out again at once with the next buffer ready, as a hand-written loop
    // would resubmit it from its completion.
    int rc = 0;
    {
        std::lock_guard<std::mutex> lock(submit_lock);
        t->state.store(xfer_idle, std::memory_order_release);
        q_urb->push(x);
        rc = submit_ready();
    }
    if (rc != 0)
        report_submit_failure(rc);
    if constexpr (out) {
        // With nothing else queued the transfer stayed idle: it takes the refilled buffer.
        if (refill && refill_sent(ub, app_done))
            submit_if_transfer_idle();
    }
    if (failed || app_done)
        app_event.signal(); // the request is served, or a blocked call reports the failure
    // Last touch of the pipe: a destructor waiting for this count may free it right after.
    in_flight.fetch_sub(1, std::memory_order_acq_rel);
}

void pipe::record_failure(libusb_transfer* x) {
    const libusb_transfer_status s = x->status;
    if (s == LIBUSB_TRANSFER_CANCELLED) {
        // A cancellation only marks a healthy pipe: an earlier stall or unplug stays visible.
        std::uint8_t healthy = 0;
        status.compare_exchange_strong(healthy, LIBUSB_TRANSFER_CANCELLED);
        return;
    }
    status.store(static_cast<std::uint8_t>(s));
    if (s == LIBUSB_TRANSFER_NO_DEVICE && device_gone != nullptr)
        device_gone->store(true, std::memory_order_relaxed);
    logging(FT_LOG_LEVEL_ERROR, "EP%X callback failure %s\r\n", x->endpoint,
            libusb_error_name(s));
}

bool pipe::wait_out_drained(pipe_event::clock::time_point cap) {
    std::uint64_t seen = completions.load(std::memory_order_relaxed);
    auto deadline = std::min(cap, pipe_event::clock::now() + out_idle);
    for (;;) {
        if (status.load() != 0)
            return false;
        if (q_lib->isEmpty() && in_flight.load(std::memory_order_acquire) == 0)
            return true;
        const auto now = pipe_event::clock::now();
        if (now >= deadline)
            return false;
        std::this_thread::sleep_for(1ms);
        // A transfer that came back is progress: the idle limit starts again.
        if (const std::uint64_t c = completions.load(std::memory_order_relaxed); c != seen) {
            seen = c;
            deadline = std::min(cap, pipe_event::clock::now() + out_idle);
        }
    }
}

bool pipe::wait_transfers_back(pipe_event::clock::time_point deadline) {
    // Completions count down as their very last step; polled, since nothing else may be
    // touched once the count reaches 0.
    while (in_flight.load(std::memory_order_acquire) != 0) {
        if (pipe_event::clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

void pipe::stop() {
    std::lock_guard<std::mutex> control(control_lock);
    stop_locked();
}

void pipe::stop_locked() {
    if (stopped.exchange(true))
        return;
    if (!q_urb)
        return;
    // Readers and writers waiting on the pipe see it stopped now.
    app_event.signal();
    // Data the writer was told was taken goes out before anything is cancelled.
    if (is_out() && status.load() == 0) {
        submit_ready_and_report();
        wait_out_drained(pipe_event::clock::now() + out_drain_cap);
    }
    {
        std::lock_guard<std::mutex> lock(submit_lock);
        no_submit = true;
    }
    if (in_flight.load(std::memory_order_acquire) != 0) {
        for (auto& t : transfers) {
            if (t->state.load(std::memory_order_acquire) == xfer_submitted)
                libusb_cancel_transfer(t->xfer);
        }
        if (!wait_transfers_back(pipe_event::clock::now() + cancel_wait))
            logging(FT_LOG_LEVEL_WARNING, "TODO:EP%X has pending urbs\r\n", ep_addr);
    }
    if (is_out()) {
        if (const std::int64_t unsent = pending_bytes.load(); unsent > 0)
            logging(FT_LOG_LEVEL_WARNING, "EP%X stopped with %lld bytes not sent\r\n", ep_addr,
                    static_cast<long long>(unsent));
    }
    // From now on reads and writes say the pipe is stopped (see health()); wake any that wait.
    std::uint8_t healthy = 0;
    status.compare_exchange_strong(healthy, LIBUSB_TRANSFER_CANCELLED);
    app_event.signal();
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
    // Completions already running finish with the pipe before it goes.
    while (in_flight.load(std::memory_order_acquire) != orphans)
        std::this_thread::yield();
    std::erase(transfers, nullptr);
    std::erase(bufs, nullptr);
}

bool pipe::flush_all_urb_buffers() {
    std::lock_guard<std::mutex> control(control_lock);
    stop_locked();
    if (ep_addr == 0)
        return true;
    // Nothing may come back behind our back while the rings are rearranged below. A pipe whose
    // transfers are still out stays stopped, and says so.
    if (in_flight.load(std::memory_order_acquire) != 0 &&
        !wait_transfers_back(pipe_event::clock::now() + cancel_wait))
        return false;
    // The stop woke the readers and writers of the pipe, so they leave soon; none may use the
    // rings while they are rearranged.
    std::lock_guard<std::mutex> io(pipe_lock);
    urb_buf* ub = nullptr;
    if (is_out()) {
        drain_unsent([](urb_buf*) {});
    } else {
        while (q_app->pop(ub))
            q_lib->push(ub);
        while (q_lib_back->pop(ub))
            q_lib->push(ub);
    }
    // The stop's own cancellations are no failure of the pipe; anything else stays reported.
    std::uint8_t cancelled = LIBUSB_TRANSFER_CANCELLED;
    status.compare_exchange_strong(cancelled, 0);
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

bool pipe::read_unsent_buffer(std::uint8_t* dst, std::uint32_t* dst_len) {
    if (ep_addr == 0 || !is_out() || dst_len == nullptr)
        return false;
    std::lock_guard<std::mutex> control(control_lock);
    stop_locked();
    if (in_flight.load(std::memory_order_acquire) != 0 &&
        !wait_transfers_back(pipe_event::clock::now() + cancel_wait))
        return false;
    std::lock_guard<std::mutex> lock(pipe_lock);
    if (dst == nullptr) {
        *dst_len = static_cast<std::uint32_t>(pending_bytes.load());
        return true;
    }
    std::uint32_t r = *dst_len;
    drain_unsent([&](urb_buf* ub) {
        const std::uint32_t n = std::min(ub->data_len, r);
        std::copy_n(ub->buf.get(), n, dst);
        dst += n;
        r -= n;
    });
    return true;
}

void pipe::statistic() {
    if (ep_addr == 0 || !q_lib || !q_app || !q_urb || !q_err || !q_lib_back || !q_err_submit)
        return;
    logging(FT_LOG_LEVEL_TRACE, "EP%X status:%d q_lib:%zu q_app:%zu q_urb:%zu q_err:%zu\r\n",
            ep_addr, static_cast<int>(status.load()),
            q_lib->approxSize() + q_lib_back->approxSize(), q_app->approxSize(),
            q_urb->approxSize(), q_err->approxSize() + q_err_submit->approxSize());
}
