#include "ft60x/device/usb_transfer.h"

#include <chrono>
#include <cstring>

usb_transfer::usb_transfer(std::size_t length)
    : xfer(libusb_alloc_transfer(0)), buffer(new std::uint8_t[length])
{
    std::memset(buffer.get(), 0, length);
}

bool interrupt_transfer::tear_down(std::unique_ptr<interrupt_transfer>& t)
{
    if (!t)
        return true;
    interrupt_transfer& it = *t;
    {
        std::lock_guard<std::mutex> guard(it.resubmit_lock);
        it.closing = true;
        if (it.parked && unpark(it.parked) == &it) {
            // Out of libusb, its recovery not begun: it is this thread's to free.
            it.parked.reset();
            it.state.store(state_ended);
        } else if (it.state.load() == state_posted) {
            libusb_cancel_transfer(it.xfer.get());
        }
    }
    // The cancelled transfer comes back through the session's event thread, whose completion
    // ends it (finish) and wakes this wait.
    {
        std::unique_lock<std::mutex> guard(it.end_lock);
        it.ended.wait_for(guard, std::chrono::milliseconds(cancel_wait_ms),
                          [&it] { return it.has_ended(); });
        int posted = state_posted;
        if (it.state.compare_exchange_strong(posted, state_orphaned)) {
            // Still held by libusb or by its completion: that completion frees it.
            (void)t.release();
            return false;
        }
    }
    t.reset();
    return true;
}

bool interrupt_transfer::park(const std::function<void(parking)>& post)
{
    parking p;
    {
        std::lock_guard<std::mutex> guard(resubmit_lock);
        if (!closing) {
            parked = std::make_shared<std::atomic<interrupt_transfer*>>(this);
            p = parked;
        }
    }
    if (!p) {
        finish();
        return false;
    }
    // From here the teardown may take (and free) the transfer; the job then finds nothing.
    post(std::move(p));
    return true;
}

bool interrupt_transfer::resubmit()
{
    {
        std::lock_guard<std::mutex> guard(resubmit_lock);
        parked.reset();
        if (!closing && libusb_submit_transfer(xfer.get()) == 0)
            return true;
    }
    finish();
    return false;
}

void interrupt_transfer::finish()
{
    {
        std::lock_guard<std::mutex> guard(end_lock);
        int posted = state_posted;
        if (state.compare_exchange_strong(posted, state_ended)) {
            ended.notify_all();
            return; // the unlock is the last touch: the closing thread may free it from then on
        }
    }
    // The closing thread gave up waiting and handed the transfer over.
    delete this;
}
