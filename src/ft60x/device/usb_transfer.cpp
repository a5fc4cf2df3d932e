#include "ft60x/device/usb_transfer.h"

#include <chrono>
#include <cstring>
#include <sys/time.h>
#include <thread>

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
    // The cancelled transfer comes back through event handling. Handle events here as well as
    // on the event thread: libusb lets this thread wait while the event thread runs, and does
    // the handling itself when the event thread has ended after an error.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(cancel_wait_ms);
    while (!it.has_ended() && std::chrono::steady_clock::now() < deadline) {
        if (it.usb_context != nullptr) {
            timeval tv{0, 10000};
            if (libusb_handle_events_timeout_completed(it.usb_context, &tv, nullptr) != 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
    int posted = state_posted;
    if (it.state.compare_exchange_strong(posted, state_orphaned)) {
        // Still held by libusb or by its completion: that completion frees it.
        (void)t.release();
        return false;
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
    int posted = state_posted;
    if (state.compare_exchange_strong(posted, state_ended))
        return; // last touch: the closing thread may free it from here on
    // The closing thread gave up waiting and handed the transfer over.
    delete this;
}
