// One virtual board served over USB/IP: the device end of a stream socket whose other end belongs
// to a kernel's vhci_hcd, through a socketpair on this machine or a TCP connection from another
// (the network listener hands over the connection once the board is imported). The kernel sends
// whole URBs (CMD_SUBMIT) and cancellations (CMD_UNLINK); this side answers them from the board
// model as the chip would, on its own thread. A malformed message ends the connection, as an
// unplug would.
//
// The model does not know it is served this way. Its data-ready callback must be routed to
// wake() so that transfers the model left pending are retried.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "model/usb_device.h"

namespace vboard {

class UsbipDevice {
public:
    // Takes ownership of `socket` (the device end). `name` labels trace lines. `ended` runs on the
    // serving thread once the connection is over, whatever ended it.
    UsbipDevice(UsbDevice& board, int socket, std::string name, FILE* trace, std::function<void()> ended = {});
    ~UsbipDevice();  // stops serving (the kernel sees the device go) and joins the thread
    UsbipDevice(const UsbipDevice&) = delete;
    UsbipDevice& operator=(const UsbipDevice&) = delete;

    // The model has new data or state: retry what is pending. Any thread.
    void wake();
    // Unplug: closes the connection; in-flight URBs are then the kernel's to fail. Idempotent, and
    // any thread but the serving one (not from `ended`).
    void stop();
    // False once the connection is gone (unplugged here, or detached by the kernel).
    bool serving() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vboard
