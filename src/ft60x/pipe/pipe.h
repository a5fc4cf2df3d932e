// Streaming engine of one bulk endpoint: a fixed set of libusb transfers and buffers that circulate
// through lock-free rings between the application and the libusb event thread. Completions
// resubmit their transfer themselves and wake a waiting reader or writer only once it can make
// real progress, so a steady stream costs no thread hand-off per transfer. A reader or writer that
// waits is served by the completions themselves, as a hand-written loop copies inside its
// completions: a reader is filled straight from the transfer's buffer, which then goes out again
// at once; a writer's data goes into the buffer a transfer just freed.
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
#include "ostrane/ft60x.h"

// Lives in ft60x/device/library.h.
class handle_lib;

// Wake-up event with a sticky flag: a signal given while nobody waits is not lost, the next wait
// consumes it and returns at once. Waiters always re-check their queue, so spurious wake-ups are
// harmless.
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

// The status a read or write reports for a pipe whose `status` holds libusb transfer status `s`
// (0 gives 0).
FT_RESULT pipe_status_result(std::uint8_t s);

// Per-transfer bookkeeping: the user data of each libusb transfer of a pipe. Lets the pipe tell a
// transfer libusb still holds from an idle one, and hand a transfer that never came back over to
// its own completion, which then frees it instead of touching a pipe that is gone.
struct pipe_transfer;

class pipe {
  public:
    pipe();
    virtual ~pipe();
    pipe(const pipe&) = delete;
    pipe& operator=(const pipe&) = delete;

    // Called on the event thread at the start of every OUT completion; does nothing here.
    virtual void pre_out_xfr_cb(urb_buf* ub);
    // Called on the submitting thread before every OUT submission; does nothing here.
    virtual void pre_submit_out_urb(urb_buf* ub);

    // Builds the transfers, buffers and rings for endpoint `ep` of the device held by `usb`. An IN
    // pipe returns with every transfer that has a buffer submitted (or the pipe failed).
    bool create(handle_lib* usb, std::uint8_t ep, const FT_PIPE_TRANSFER_CONF* conf);
    // Stops streaming: lets queued OUT data reach the device while it keeps taking it (bounded),
    // cancels what is still in flight and waits (bounded) for it to come back. A stopped pipe
    // reports itself cancelled (unless it failed otherwise) until a flush restarts it; OUT data
    // left unsent is logged.
    void stop();
    // Stops, discards queued data (received IN data, unsent OUT data) and restarts streaming.
    // False when transfers did not come back: the pipe then stays stopped.
    bool flush_all_urb_buffers();
    // OUT only: stops the pipe; with `dst` null reports the unsent byte count in `dst_len`, else
    // copies up to `*dst_len` unsent bytes to `dst` and drops the rest. The pipe stays stopped
    // until a flush.
    bool read_unsent_buffer(std::uint8_t* dst, std::uint32_t* dst_len);
    // The libusb transfer status reads and writes report: `status`, or cancelled for a pipe that
    // is stopped, or no device once any pipe of the device has seen it gone. 0 while the pipe
    // streams.
    std::uint8_t health() const {
        if (const std::uint8_t s = status.load())
            return s;
        if (device_gone != nullptr && device_gone->load(std::memory_order_relaxed))
            return LIBUSB_TRANSFER_NO_DEVICE;
        return stopped.load() ? LIBUSB_TRANSFER_CANCELLED : 0;
    }
    // Logs the queue fill levels.
    void statistic();
    std::uint8_t get_ep_addr() const { return ep_addr; }
    // Hands a buffer to the library side: an empty one (IN) or a filled one (OUT). It goes out at
    // once when a transfer is idle, else with the next transfer that comes back.
    void push_buf_to_lib(urb_buf* ub);
    // IN: takes the oldest received buffer for the reader, or false. Its unread bytes start at
    // `data_off`.
    bool pop_received(urb_buf*& ub) { return q_app->pop(ub); }
    // IN, for a reader with no current buffer: unless received data is already queued (then it
    // returns 0 at once), the completions copy what arrives straight into `dst`, up to `len`
    // bytes, until it is full or, with `short_ends`, a short transfer ended it (`ended` is set
    // then); the wait also ends when the pipe fails or stops, the handle closes (both signal
    // app_event), or at `deadline` (`timed_out` is set then). Returns the bytes copied into `dst`.
    std::uint32_t receive_into(std::uint8_t* dst, std::uint32_t len, bool short_ends,
                               pipe_event::clock::time_point deadline, bool& ended,
                               bool& timed_out);
    // OUT, for a writer that found no free buffer: unless one came free meanwhile (then it returns
    // 0 at once), the completions copy `src` into the buffers they free and queue them, up to
    // `len` bytes; the wait ends once all is queued, the pipe fails or stops, the handle closes,
    // or at `deadline` (`timed_out` is set then). Returns the bytes queued from `src`.
    std::uint32_t send_from(const std::uint8_t* src, std::uint32_t len,
                            pipe_event::clock::time_point deadline, bool& timed_out);

    // Serialises blocking reads and writes while `thread_safe` is set; a flush and
    // read_unsent_buffer take it too, once the pipe is stopped.
    std::mutex pipe_lock;
    // Set by FT_SetPipeTimeout while another thread may be starting a read or write.
    std::atomic<std::uint32_t> timeout_ms{1000};
    // Libusb status of the latest failed transfer, or LIBUSB_TRANSFER_NO_DEVICE after a failed
    // submission. 0 while healthy.
    std::atomic<std::uint8_t> status{0};
    std::uint32_t buf_size = 0;
    std::vector<std::unique_ptr<pipe_transfer>> transfers;
    std::unique_ptr<ProducerConsumerQueue<urb_buf*>> q_err;
    std::unique_ptr<ProducerConsumerQueue<urb_buf*>> q_lib;
    std::unique_ptr<ProducerConsumerQueue<urb_buf*>> q_app;
    std::unique_ptr<ProducerConsumerQueue<libusb_transfer*>> q_urb;
    std::vector<std::unique_ptr<urb_buf>> bufs;
    std::atomic<bool> stopped{true};
    // Signalled when a waiting reader or writer can make progress, the pipe fails or stops, or
    // the handle closes.
    pipe_event app_event;
    bool thread_safe = true;
    std::uint8_t ep_addr = 0;
    // IN: bytes received and not yet read. OUT: bytes queued and not yet sent, that is the data
    // of the buffers in q_lib, q_err and in flight (the writer counts each buffer before handing
    // it over, so a completion never finds it short).
    std::atomic<std::int64_t> pending_bytes{0};
    urb_buf* cur_buf = nullptr;
    std::uint8_t* cur_ptr = nullptr;
    std::uint32_t cur_left = 0;

  private:
    template <bool out> void xfr_cb(libusb_transfer* x, urb_buf* ub);
    template <bool out> static void LIBUSB_CALL xfr_cb_wrapper(libusb_transfer* x);
    // Records a failed or cancelled transfer's status; cancellation only marks a healthy pipe.
    void record_failure(libusb_transfer* x);
    // OUT: the bytes of the unsent buffers popped from q_err, q_err_submit and q_lib, each
    // buffer given to `take` and then freed for the writer; they leave the pending count.
    template <typename Take> void drain_unsent(Take take);
    // With submit_lock held: pairs idle transfers with buffers ready to go out and submits them,
    // oldest buffer first. Returns 0, or the libusb error of a submission that failed (the pipe
    // has failed then; the caller logs it and wakes the application once the lock is released).
    int submit_ready();
    // submit_ready under the lock, then the failure's log and wake-up.
    void submit_ready_and_report();
    // After a buffer joined q_lib: sends it out at once if a transfer is idle.
    void submit_if_transfer_idle();
    // Logs a failed submission and wakes the application to see it.
    void report_submit_failure(int rc);
    void start();
    // OUT, stopped: waits until every queued buffer went out, as long as transfers keep coming
    // back (see out_idle), at most until `cap`.
    bool wait_out_drained(pipe_event::clock::time_point cap);
    // Waits until no transfer is held by libusb any more, at most until `deadline`.
    bool wait_transfers_back(pipe_event::clock::time_point deadline);
    // Gives transfers that never came back to their own completions (see pipe_transfer).
    void orphan_pending_transfers();
    void stop_locked();
    bool is_out() const { return (ep_addr & LIBUSB_ENDPOINT_IN) == 0; }
    // Orders a hand-over against the other side's: of two threads that each publish something
    // and then pass here before looking at what the other published, at least one sees it.
    // (Read-modify-writes of one atomic, rather than fences, which ThreadSanitizer cannot follow.)
    void handoff_barrier() { handoff.fetch_add(1, std::memory_order_acq_rel); }
    // IN, on the event thread: a completed transfer's `ub` goes to a waiting reader as far as it
    // takes it, the rest to q_app. True when nothing is left in it; `app_done` when the reader's
    // request ended.
    bool deliver_received(urb_buf* ub, bool& app_done);
    // OUT, on the event thread: the buffer `ub` a transfer sent takes the next data of a waiting
    // writer and joins q_lib (true), or else goes to q_app; `app_done` when the writer's data is
    // all queued.
    bool refill_sent(urb_buf* ub, bool& app_done);

    // Serialises stop, flush and read_unsent_buffer of this pipe against each other.
    std::mutex control_lock;
    // Held while idle transfers are paired with buffers and submitted, so that only one thread
    // consumes q_lib and q_urb at a time and OUT buffers go out in the order they were queued.
    // Never held across anything but libusb_submit_transfer, which does not wait for the device.
    std::mutex submit_lock;
    // Set (under submit_lock) once nothing may be submitted any more: the pipe is stopping.
    bool no_submit = true;
    std::uint32_t urb_count = 0;

    // The rings above are single-producer. The rare paths that would add a second producer use
    // these side rings instead, each with one producer and one consumer:
    // IN: buffers the event thread gives back, of failed completions and those a waiting reader
    // emptied (event thread -> submitter); taken before q_lib, so that they go out again hot.
    std::unique_ptr<ProducerConsumerQueue<urb_buf*>> q_lib_back;
    // OUT: buffers whose submission failed (submitter -> read_unsent_buffer), read after q_err.
    std::unique_ptr<ProducerConsumerQueue<urb_buf*>> q_err_submit;

    // Transfers held by libusb right now, counted up before a submission and down as the last
    // step of a completion.
    std::atomic<std::uint32_t> in_flight{0};
    // The request of a reader waiting in receive_into or a writer waiting in send_from. Guarded
    // by request_lock, which successful completions also hold while they push to q_app, so that
    // a reader or writer registering sees either what q_app got or every later completion sees
    // its request (a failed completion sets the status first, which the caller checks after
    // registering). While a writer's request is open the completions are q_lib's producer.
    struct app_request {
        std::uint8_t* dst = nullptr;       // IN; null while no reader waits
        const std::uint8_t* src = nullptr; // OUT; null while no writer waits
        std::uint32_t left = 0;
        std::uint32_t done = 0;
        bool short_ends = false;
        bool ended = false; // IN: full, or ended by a short transfer: completions queue again
    };
    std::mutex request_lock;
    app_request request;
    // Opens `r` unless q_app holds something (woken then, at once) and waits for it to be served,
    // the pipe to fail or stop, or the handle to close; timed_out only at `deadline`.
    pipe_event::result wait_for_request(const app_request& r,
                                        pipe_event::clock::time_point deadline);
    // Closes the open request and returns it as the completions left it.
    app_request withdraw_request();
    std::atomic<std::uint32_t> handoff{0};
    // Completions since the pipe was created; the OUT drain at stop watches it for progress.
    std::atomic<std::uint64_t> completions{0};
    // Shared by the pipes of one device: set when a transfer or submission finds it gone.
    std::atomic<bool>* device_gone = nullptr;
};
