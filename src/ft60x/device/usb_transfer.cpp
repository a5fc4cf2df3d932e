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

interrupt_transfer::~interrupt_transfer()
{
    if (!xfer || !submitted || has_ended())
        return;
    {
        std::lock_guard<std::mutex> guard(resubmit_lock);
        closing = true;
        libusb_cancel_transfer(xfer.get());
    }
    // The cancelled transfer comes back through event handling. Handle events here as well as
    // on the event thread: libusb lets this thread wait while the event thread runs, and does
    // the handling itself when the event thread has ended after an error. The wait is bounded so
    // that a transfer libusb never returns cannot hang the close.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(cancel_wait_ms);
    while (!has_ended() && std::chrono::steady_clock::now() < deadline) {
        if (usb_context != nullptr) {
            timeval tv{0, 10000};
            if (libusb_handle_events_timeout_completed(usb_context, &tv, nullptr) != 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
    if (!has_ended()) {
        // libusb still owns the transfer: releasing it would leave libusb a dangling pointer, so
        // it is left to the process.
        (void)xfer.release();
        (void)buffer.release();
    }
}

bool interrupt_transfer::resubmit()
{
    {
        std::lock_guard<std::mutex> guard(resubmit_lock);
        if (!closing && libusb_submit_transfer(xfer.get()) == 0)
            return true;
    }
    // Last touch of this object: once it reads as ended, the closing thread may free it.
    mark_ended();
    return false;
}
