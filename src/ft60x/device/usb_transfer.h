// One libusb transfer with its data buffer, and the interrupt transfer that FT602 handles keep
// posted for notifications.
#pragma once

#include <libusb-1.0/libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "ft60x/device/host_link.h"

struct libusb_transfer_releaser {
    void operator()(libusb_transfer* t) const noexcept { libusb_free_transfer(t); }
};

class usb_transfer {
public:
    explicit usb_transfer(std::size_t length);
    usb_transfer(const usb_transfer&) = delete;
    usb_transfer& operator=(const usb_transfer&) = delete;

    libusb_transfer* get() const { return xfer.get(); }
    std::uint8_t* data() const { return buffer.get(); }

    // Declared so that the transfer is released after the buffer it points into.
    std::unique_ptr<libusb_transfer, libusb_transfer_releaser> xfer;
    std::unique_ptr<std::uint8_t[]> buffer;
    bool submitted = false;
};

class interrupt_transfer : public usb_transfer {
public:
    // Bound of the wait for a cancelled transfer to come back at close.
    static constexpr int cancel_wait_ms = 3000;
    // Stalls in a row (no message in between) after which the endpoint is given up.
    static constexpr int max_stalls_in_a_row = 10;

    interrupt_transfer(std::size_t length, std::shared_ptr<host_link> l)
        : usb_transfer(length), link(std::move(l)) {}

    // Cancels a posted transfer and waits (bounded) until it has come back, then frees it. One
    // that does not come back in time is handed to its own completion, which frees it: then
    // `t` is released, not freed, and false tells the caller that libusb still holds the
    // transfer (the device handle must stay open).
    static bool tear_down(std::unique_ptr<interrupt_transfer>& t);

    // Marks a transfer that was posted; before this it counts as ended.
    void posted() { state.store(state_posted); }
    bool has_ended() const { return state.load() == state_ended; }

    // Posts the transfer again unless it is being torn down; otherwise (or when libusb refuses)
    // finishes it. Called by the completion (event thread) or the stall recovery (callback
    // thread), as their last touch.
    bool resubmit();
    // Last step of a completion that does not post the transfer again: from here on the closing
    // thread may free it, or, when it gave up waiting, this frees it.
    void finish();

    // A stalled transfer waiting, out of libusb, for its recovery job on the callback thread.
    // The job and the teardown each try to take it; whichever comes first owns it. So a close
    // never waits for a job queued behind the closing callback or another handle's callback.
    using parking = std::shared_ptr<std::atomic<interrupt_transfer*>>;
    // Parks the transfer and hands the parking to `post`, which queues the recovery job; false
    // (and the transfer finished) when it is being torn down. The last touch of the transfer.
    bool park(const std::function<void(parking)>& post);
    // Takes the transfer out of `p`; null when the teardown took it first.
    static interrupt_transfer* unpark(const parking& p) { return p->exchange(nullptr); }

    // Shared with the handle: the host's callback, the callback thread, and whether the handle
    // still may be used.
    const std::shared_ptr<host_link> link;
    // Consecutive stalls, and whether the first was logged; touched by one completion at a time.
    int stalls_in_a_row = 0;
    bool stall_logged = false;

private:
    static constexpr int state_ended = 0;
    static constexpr int state_posted = 1;
    static constexpr int state_orphaned = 2;

    // Orders a resubmission against the cancel at teardown, so that a completion running while
    // the transfer is cancelled cannot post it again after the cancel.
    std::mutex resubmit_lock;
    bool closing = false;
    parking parked; // guarded by resubmit_lock
    std::atomic<int> state{state_ended};
    // Wakes the teardown when the completion's last touch ends the transfer. The completion
    // changes the state and signals under the lock, and the teardown frees the transfer only
    // after it has held the lock: unlocking is the completion's last touch.
    std::mutex end_lock;
    std::condition_variable ended;
};
