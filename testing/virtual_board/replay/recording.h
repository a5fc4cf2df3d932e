// The boards of a capture: each device that carries an FT60x interface, with the descriptors its
// enumeration showed (or that were given), the strings it answered and every transfer it saw.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/usb_device.h"
#include "replay/capture.h"

namespace vboard::replay {

struct Recording {
    uint16_t bus = 0;
    uint8_t address = 0;
    std::vector<uint8_t> descriptors;  // device descriptor and configuration, as sysfs has them
    DeviceIdentity identity;
    std::vector<Transfer> transfers;   // in the order of their submission

    std::string name() const;          // "bus 1 device 5"
};

// Device descriptor and configuration as the enumeration in `traffic` returned them; empty when
// the capture began after the device was enumerated.
std::vector<uint8_t> enumerated_descriptors(const DeviceTraffic& traffic);
// A vendor-class interface with bulk endpoints both ways: what the board's FT60x chip presents.
bool is_board(const std::vector<uint8_t>& descriptors);

// The boards of `capture`, by bus and address. `fallback` (a sysfs descriptors file) stands in
// for a device whose enumeration is not in the capture. Throws CaptureError when the capture has
// no board, or a device that talks as a board does but whose descriptors are unknown.
std::vector<Recording> boards_of(Capture capture, const std::optional<std::vector<uint8_t>>& fallback);

}  // namespace vboard::replay
