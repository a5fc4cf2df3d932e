// The kernel's own record of the traffic on vhci_hcd's buses, read from usbmon's binary interface
// (/dev/usbmonN) and written as a pcap capture. Its 64-byte event header is the record format of
// the pcap link type the umockdev transport writes, so both transports give the same kind of file.
#pragma once

#include <memory>

#include "umockdev/pcap_writer.h"

namespace vboard {

class UsbmonCapture {
public:
    // Starts recording every bus of vhci_hcd's root hubs into `out` (kept alive by the caller
    // until this is destroyed), at most `snaplen` data bytes per event. Throws
    // std::runtime_error when usbmon cannot be read (the usbmon module is missing, or no right
    // to open /dev/usbmonN).
    UsbmonCapture(PcapWriter& out, size_t snaplen);
    // Writes what the kernel still holds for the reader, then stops. Says on stderr how many
    // events the kernel dropped, if any: the capture is incomplete then.
    ~UsbmonCapture();
    UsbmonCapture(const UsbmonCapture&) = delete;
    UsbmonCapture& operator=(const UsbmonCapture&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vboard
