// The session's record of one attached device: the 88 bytes the host sees, then where the device
// sits on the bus.
#pragma once

#include <cstdint>

#include "ostrane/ft60x.h"

struct device_record {
    FT_DEVICE_INFO info;
    std::uint8_t bus_number;
    std::uint8_t port_number;
    std::uint8_t device_address;
    std::uint8_t port_path[7];
};
