// One libusb transfer with its data buffer, and the interrupt transfer that FT602 handles keep
// posted for notifications.
#pragma once

#include <libusb-1.0/libusb.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

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

    interrupt_transfer(std::size_t length, libusb_context* ctx)
        : usb_transfer(length), usb_context(ctx) {}
    // Cancels a posted transfer and waits until it has come back before releasing it.
    virtual ~interrupt_transfer();

    // Set (on the thread that handles events) when the transfer will not come back again: it
    // ended with a status other than completed, or its resubmission was refused.
    void mark_ended() { ended.store(1); }
    bool has_ended() const { return ended.load() != 0; }

    // Resubmits after a completion unless the transfer is being torn down; false (and the
    // transfer marked ended) when it is not posted again. Called on the thread handling events.
    bool resubmit();

    // The object the completion is for (the FT602 handle).
    void* owner = nullptr;

private:
    libusb_context* usb_context;
    // Orders a resubmission against the cancel at teardown, so that a completion running while
    // the transfer is cancelled cannot post it again after the cancel.
    std::mutex resubmit_lock;
    bool closing = false;
    std::atomic<int> ended{0};
};
