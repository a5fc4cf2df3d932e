// Linux usbmon captures as Wireshark, dumpcap and tshark record them on usbmonN, read with
// libpcap: pcap or pcapng, link type 220 (64-byte event header) or 189 (48-byte header). Each
// device's submissions are paired with their completions into transfers. read_capture is pure
// (bytes in, transfers out), so that any file may be fed to it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace vboard::replay {

// What is wrong with a capture, in one line.
class CaptureError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Transfer {
    uint8_t type = 0;       // usbmon's: 1 interrupt, 2 control, 3 bulk
    uint8_t endpoint = 0;   // direction bit included; a control request's is its data stage's
    std::optional<std::array<uint8_t, 8>> setup;
    std::vector<uint8_t> out;      // data sent to the device (cut to the snap length)
    uint32_t out_length = 0;       // bytes the host asked to send
    bool completed = false;
    int32_t status = 0;            // the completion's URB status (0, -EPIPE for a stall, ...)
    std::vector<uint8_t> in;       // data the device returned (cut to the snap length)
    uint32_t in_length = 0;        // bytes the device returned (OUT: bytes it took)
    uint64_t submit_frame = 0;     // packet numbers, from 1; a submission before the capture: 0
    uint64_t complete_frame = 0;
    int64_t submit_us = 0;         // time stamps in microseconds
    int64_t complete_us = 0;

    bool in_direction() const { return (endpoint & 0x80) != 0; }
};

struct DeviceTraffic {
    uint16_t bus = 0;
    uint8_t address = 0;
    std::vector<Transfer> transfers;  // in the order of their submission
};

struct Capture {
    int link_type = 0;
    uint64_t frames = 0;
    std::vector<DeviceTraffic> devices;  // by bus, then address
};

constexpr int link_usb_linux = 189;       // 48-byte header
constexpr int link_usb_linux_mmap = 220;  // 64-byte header

// Throws CaptureError: not a capture, empty, truncated, another link type, a broken event.
Capture read_capture(std::span<const uint8_t> bytes);
// The same from a file, read as it goes (a long stream need not fit in memory twice).
Capture read_capture_file(const std::string& path);

}  // namespace vboard::replay
