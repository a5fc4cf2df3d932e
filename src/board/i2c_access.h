// One I2C transaction of the FT602's I2C master, carried by one vendor control request.
#pragma once

#include <cstdint>

#include "ostrane/ft60x.h"

namespace Tessory::Ostrane {

// Largest byte count of one transaction.
inline constexpr std::uint8_t i2c_max_count = 128;

struct i2c_access {
    std::uint8_t slave;    // I2C slave address
    std::uint8_t count;    // byte count, 0 to 128
    std::uint16_t reg;     // register address within the slave
    bool reg_address_flag; // sets bit 7 of the register address on the wire
    bool read;             // true: read from the slave
};
static_assert(sizeof(i2c_access) == 6);

// Status 6 for a null record or data pointer, 5 for more than 128 bytes (nothing is sent),
// else the status of the control transfer.
FT_RESULT FT_I2CAccess(void* handle, const i2c_access* access, std::uint8_t* data);

} // namespace Tessory::Ostrane
