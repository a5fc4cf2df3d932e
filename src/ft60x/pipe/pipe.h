// Streaming engine of one bulk endpoint: a fixed set of libusb transfers and buffers that circulate
// through lock-free rings between the application and the libusb event thread. Completions
// resubmit their transfer themselves and wake a waiting reader or writer only once it can make
// real progress, so a steady stream costs no thread hand-off per transfer. A reader or writer that
// waits is served by the completions themselves, as a hand-written loop copies inside its
// completions: a reader is filled straight from the transfer's buffer, which then goes out again
// at once; a writer's data goes into the buffer a transfer just freed.
//
// Everything of a pipe is here and in pipe.cpp: its blocking reads and writes, its life (one state,
// changed in one place) and the count of its queued bytes.
#pragma once

#include <libusb-1.0/libusb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "ft60x/pipe/queue.h"
#include "ft60x/thread_annotations.h"
#include "ostrane/ft60x.h"

// Lives in ft60x/device/library.h.
class handle_lib;

// Wake-up event with a sticky flag: a signal given while nobody waits is not lost, the next wait
// consumes it and returns at once. Waiters always re-check their condition, so spurious wake-ups
// are harmless.
class pipe_event {
  public:
    using clock = std::chrono::steady_clock;
    enum class result { woken, timed_out };

    void signal();
    result wait_until(clock::time_point deadline);

  private:
    std::mutex mutex;
    std::atomic<bool> flag{false};
    std::condition_variable cv;
};

// Per-transfer bookkeeping: the user data of each libusb transfer of a pipe. Lets the pipe tell a
// transfer libusb still holds from an idle one, and hand a transfer that never came back over to
// its own completion, which then frees it instead of touching a pipe that is gone.
struct pipe_transfer;

class pipe {
  public:
    using clock = pipe_event::clock;

    // The pipe's life. Reads and writes are served only while it streams; a stopping or stopped
    // pipe reports them cancelled until a flush restarts it; a failed one reports its failure
    // (see `failure`), a gone one the missing device, for good.
    enum class state : std::uint8_t {
        created,   // no endpoint yet: not opened, or its FIFO is disabled
        streaming, // transfers circulate
        stopping,  // queued OUT data still drains; nothing new is taken
        stopped,   // nothing is submitted; transfers still out are being cancelled
        failed,    // a transfer or submission failed
        gone,      // the device is gone (seen by this pipe or another of the device)
    };

    pipe();
    ~pipe();
    pipe(const pipe&) = delete;
    pipe& operator=(const pipe&) = delete;

    // Builds the transfers, buffers and rings for endpoint `ep` of the device held by `usb` and
    // starts streaming: an IN pipe returns with every transfer that has a buffer submitted (or
    // the pipe failed). False, or std::bad_alloc, when what it needs cannot be had.
    bool create(handle_lib* usb, std::uint8_t ep, const FT_PIPE_TRANSFER_CONF* conf);
    // True once created with an endpoint: reads, writes and flushes apply to it.
    bool has_endpoint() const { return ep_addr != 0; }

    // IN: copies up to `length` received bytes into `dst`, waiting for more until `timeout_ms`
    // has passed or, with `stop_on_short`, a short transfer ends the data. Waiting for another
    // call on the pipe counts against the time-out. Reports the bytes read in `*transferred`,
    // whatever the status; a zero-length read reports the pipe's state.
    FT_RESULT read(std::uint8_t* dst, std::uint32_t length, std::uint32_t* transferred,
                   std::uint32_t timeout_ms, bool stop_on_short) EXCLUDES(call_lock);
    // OUT: queues `length` bytes of `src` for sending, waiting for free buffers until
    // `timeout_ms`; success when all is queued while the pipe streams. Otherwise as read().
    FT_RESULT write(const std::uint8_t* src, std::uint32_t length, std::uint32_t* transferred,
                    std::uint32_t timeout_ms) EXCLUDES(call_lock);

    // IN: bytes received and not yet read. OUT: bytes queued and not yet sent.
    std::uint32_t queued_bytes() const;
    // The time-out of reads and writes that do not give their own.
    std::uint32_t timeout_ms() const { return default_timeout_ms.load(std::memory_order_relaxed); }
    void set_timeout_ms(std::uint32_t ms) { default_timeout_ms.store(ms, std::memory_order_relaxed); }

    // Stops streaming: lets queued OUT data reach the device while it keeps taking it (bounded),
    // cancels what is still in flight and waits (bounded) for it to come back. OUT data left
    // unsent is logged.
    void stop() EXCLUDES(control_lock);
    // Stops, discards queued data and restarts streaming. IN: what was received and not yet
    // handed to a reader is dropped; the bytes left of the buffer a reader has started on are
    // not, and come first in the next read. OUT: unsent data is dropped. False when transfers did
    // not come back: the pipe then stays stopped. A failed or gone pipe stays so.
    bool flush() EXCLUDES(control_lock, call_lock);
    // OUT only: stops the pipe; with `dst` null reports the unsent byte count in `*length`, else
    // copies up to `*length` unsent bytes to `dst`, drops the rest and reports the bytes copied.
    // The pipe stays stopped until a flush.
    bool read_unsent(std::uint8_t* dst, std::uint32_t* length) EXCLUDES(control_lock, call_lock);
    // The handle closes: blocked reads and writes return, later ones are refused.
    void close_callers();
    // Logs the queue fill levels.
    void statistic() const;

  private:
    // What reads and writes report for the pipe's state now: success while it streams.
    FT_RESULT condition() const;
    bool is_out() const { return (ep_addr & LIBUSB_ENDPOINT_IN) == 0; }
    // The one place the state changes. Wakes blocked readers and writers and anyone waiting on
    // state_changed.
    void set_state(state next, std::uint8_t reason = 0) REQUIRES(state_lock);
    // Records a failed or cancelled transfer; a cancellation only marks a streaming pipe.
    void record_failure(libusb_transfer* x) EXCLUDES(state_lock);
    // A submission failed with libusb error `rc`.
    void record_submit_failure(int rc) EXCLUDES(state_lock);
    void start() EXCLUDES(state_lock);
    void stop_locked() REQUIRES(control_lock);

    // Lets a read or write in: at once for a pipe configured without the lock (its caller makes
    // one call at a time), else once the calls before it have left, at most until `deadline`.
    bool enter_call(clock::time_point deadline) TRY_ACQUIRE(true, call_lock);
    void leave_call() RELEASE(call_lock);
    FT_RESULT read_entered(std::uint8_t* dst, std::uint32_t length, std::uint32_t* transferred,
                           clock::time_point deadline, bool stop_on_short) REQUIRES(call_lock);
    FT_RESULT write_entered(const std::uint8_t* src, std::uint32_t length,
                            std::uint32_t* transferred, clock::time_point deadline)
        REQUIRES(call_lock);

    template <bool out> void xfr_cb(libusb_transfer* x, urb_buf* ub);
    template <bool out> static void LIBUSB_CALL xfr_cb_wrapper(libusb_transfer* x);
    // The last step of every completion: counts it back and wakes a wait for transfers.
    void transfer_back() EXCLUDES(state_lock);
    // The end of a completion: wakes the served reader or writer (`wake`), then transfer_back.
    void end_completion(bool wake) EXCLUDES(state_lock);
    friend class completion_round;

    // Hands a buffer to the library side: an empty one (IN) or a filled one (OUT). It goes out at
    // once when a transfer is idle, else with the next transfer that comes back.
    void push_buf_to_lib(urb_buf* ub);
    // OUT: the bytes of the unsent buffers popped from q_err, q_err_submit and q_lib, each
    // buffer given to `take` and then freed for the writer; they leave the queued count.
    template <typename Take> void drain_unsent(Take take);
    // With submit_lock held: pairs idle transfers with buffers ready to go out and submits them,
    // oldest buffer first. Returns 0, or the libusb error of a submission that failed (recorded
    // by the caller once the lock is released).
    int submit_ready() REQUIRES(submit_lock);
    // submit_ready under the lock, then the failure's record.
    void submit_ready_and_report() EXCLUDES(submit_lock);
    // After a buffer joined q_lib: sends it out at once if a transfer is idle.
    void submit_if_transfer_idle() EXCLUDES(submit_lock);
    // OUT, stopping: waits until every queued buffer went out, as long as transfers keep coming
    // back (see out_idle), at most until `cap`.
    bool wait_out_drained(clock::time_point cap) EXCLUDES(state_lock);
    // Waits until no transfer is held by libusb any more, at most until `deadline`.
    bool wait_transfers_back(clock::time_point deadline) EXCLUDES(state_lock);
    // Gives transfers that never came back to their own completions (see pipe_transfer).
    void orphan_pending_transfers() EXCLUDES(state_lock);
    // Orders a hand-over against the other side's: of two threads that each publish something
    // and then pass here before looking at what the other published, at least one sees it.
    // (Read-modify-writes of one atomic, rather than fences, which ThreadSanitizer cannot follow.)
    void handoff_barrier() { handoff.fetch_add(1, std::memory_order_acq_rel); }
    // IN, on the event thread: a completed transfer's `ub` goes to a waiting reader as far as it
    // takes it, the rest to q_app. True when nothing is left in it; `app_done` when the reader's
    // request ended.
    bool deliver_received(urb_buf* ub, bool& app_done) EXCLUDES(request_lock);
    // OUT, on the event thread: the buffer `ub` a transfer sent takes the next data of a waiting
    // writer and joins q_lib (true), or else goes to q_app; `app_done` when the writer's data is
    // all queued.
    bool refill_sent(urb_buf* ub, bool& app_done) EXCLUDES(request_lock);

    // The request of a reader waiting in receive_into or a writer waiting in send_from. Guarded
    // by request_lock, which successful completions also hold while they push to q_app, so that
    // a reader or writer registering sees either what q_app got or every later completion sees
    // its request (a failed completion changes the state first, which the caller checks after
    // registering). While a writer's request is open the completions are q_lib's producer.
    struct app_request {
        std::uint8_t* dst = nullptr;       // IN; null while no reader waits
        const std::uint8_t* src = nullptr; // OUT; null while no writer waits
        std::uint32_t left = 0;
        std::uint32_t done = 0;
        bool short_ends = false;
        bool ended = false; // IN: full, or ended by a short transfer: completions queue again
    };
    // Opens `r` unless q_app holds something (woken then, at once) and waits for it to be served,
    // the pipe to leave streaming, or the handle to close; timed_out only at `deadline`.
    pipe_event::result wait_for_request(const app_request& r, clock::time_point deadline)
        EXCLUDES(request_lock);
    // Closes the open request and returns it as the completions left it.
    app_request withdraw_request() EXCLUDES(request_lock);
    // IN, for a reader with no current buffer: unless received data is already queued (then it
    // returns 0 at once), the completions copy what arrives straight into `dst`, up to `len`
    // bytes, until it is full or, with `short_ends`, a short transfer ended it (`ended` is set
    // then); the wait also ends when the pipe leaves streaming, the handle closes, or at
    // `deadline` (`timed_out` is set then). Returns the bytes copied into `dst`.
    std::uint32_t receive_into(std::uint8_t* dst, std::uint32_t len, bool short_ends,
                               clock::time_point deadline, bool& ended, bool& timed_out);
    // OUT, for a writer that found no free buffer: unless one came free meanwhile (then it returns
    // 0 at once), the completions copy `src` into the buffers they free and queue them, up to
    // `len` bytes; the wait ends once all is queued, the pipe leaves streaming, the handle
    // closes, or at `deadline` (`timed_out` is set then). Returns the bytes queued from `src`.
    std::uint32_t send_from(const std::uint8_t* src, std::uint32_t len, clock::time_point deadline,
                            bool& timed_out);

    // Lock order: control_lock, then call_lock, then submit_lock, then state_lock; request_lock
    // and app_event's lock are taken alone.
    // Serialises stop, flush and read_unsent of this pipe against each other.
    locking::mutex control_lock ACQUIRED_BEFORE(call_lock);
    // Serialises reads and writes (unless the pipe was configured without it); a flush and
    // read_unsent take it too, once the pipe is stopped.
    locking::timed_mutex call_lock ACQUIRED_BEFORE(submit_lock);
    // Held while idle transfers are paired with buffers and submitted, so that only one thread
    // consumes q_lib and q_urb at a time and OUT buffers go out in the order they were queued.
    // Never held across anything but libusb_submit_transfer, which does not wait for the device.
    locking::mutex submit_lock ACQUIRED_BEFORE(state_lock);
    // Guards changes of the state and the count of transfers out; state_changed tells of both
    // while someone waits.
    mutable locking::mutex state_lock;
    std::condition_variable_any state_changed;
    std::uint32_t state_waiters GUARDED_BY(state_lock) = 0;

    // Written only by set_state; read without the lock by the paths that only look.
    std::atomic<state> life{state::created};
    // The libusb transfer status that failed the pipe, while it is failed.
    std::atomic<std::uint8_t> failure{0};
    // Set by stop and cleared by start: a pipe that failed is stopped (its transfers cancelled)
    // once, not at every later stop.
    bool stop_done GUARDED_BY(control_lock) = true;
    // Transfers held by libusb right now, counted up before a submission and down as the last
    // step of a completion (transfer_back).
    std::atomic<std::uint32_t> in_flight{0};
    // Completions since the pipe was created; the OUT drain at stop watches it for progress.
    std::uint64_t completions GUARDED_BY(state_lock) = 0;
    // Shared by the pipes of one device: set when a transfer or submission finds it gone.
    std::atomic<bool>* device_gone = nullptr;
    std::atomic<bool> closing{false};

    // IN: bytes received and not yet read. OUT: bytes queued and not yet sent, that is the data
    // of the buffers in q_lib, q_err and in flight (the writer counts each buffer before handing
    // it over, so a completion never finds it short).
    std::atomic<std::int64_t> pending_bytes{0};
    std::atomic<std::uint32_t> default_timeout_ms{1000};

    // Set once by create, before any other thread sees the pipe.
    std::uint8_t ep_addr = 0;
    bool thread_safe = true;
    std::uint32_t buf_size = 0;
    std::uint32_t urb_count = 0;
    std::vector<std::unique_ptr<pipe_transfer>> transfers;
    std::vector<std::unique_ptr<urb_buf>> bufs;

    // Rings of buffers and idle transfers, each with one producer and one consumer:
    // IN: q_lib holds empty buffers for the transfers, q_app received ones for the reader.
    // OUT: q_app holds free buffers for the writer, q_lib filled ones for the transfers, q_err
    // those whose transfer failed with data unsent.
    std::unique_ptr<ProducerConsumerQueue<urb_buf*>> q_err;
    std::unique_ptr<ProducerConsumerQueue<urb_buf*>> q_lib;
    std::unique_ptr<ProducerConsumerQueue<urb_buf*>> q_app;
    std::unique_ptr<ProducerConsumerQueue<libusb_transfer*>> q_urb;
    // The rare paths that would add a second producer use these side rings instead:
    // IN: buffers the event thread gives back, of failed completions and those a waiting reader
    // emptied (event thread -> submitter); taken before q_lib, so that they go out again hot.
    std::unique_ptr<ProducerConsumerQueue<urb_buf*>> q_lib_back;
    // OUT: buffers whose submission failed (submitter -> read_unsent), read after q_err.
    std::unique_ptr<ProducerConsumerQueue<urb_buf*>> q_err_submit;

    // The reader's current buffer: the unread bytes of the buffer it has started on.
    urb_buf* cur_buf GUARDED_BY(call_lock) = nullptr;
    std::uint8_t* cur_ptr GUARDED_BY(call_lock) = nullptr;
    std::uint32_t cur_left GUARDED_BY(call_lock) = 0;

    locking::mutex request_lock;
    app_request request GUARDED_BY(request_lock);
    std::atomic<std::uint32_t> handoff{0};
    // Signalled when a waiting reader or writer can make progress, the pipe leaves streaming, or
    // the handle closes.
    pipe_event app_event;
};
