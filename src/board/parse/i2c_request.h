// The vendor control request that carries one I2C transaction of the FT602's I2C master, built
// from the caller's record. Pure: no USB.
#pragma once

#include <cstdint>

#include "board/i2c_access.h"

namespace Tessory::Ostrane {

// The 8-byte setup packet as FT_ControlTransfer takes it (bmRequestType in the low byte, then
// bRequest, wValue, wIndex, wLength). The record must have passed the count check.
std::uint64_t I2CSetupPacket(const i2c_access& access);

} // namespace Tessory::Ostrane
