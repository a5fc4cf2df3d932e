// The I2C request built from any caller record within the count limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "board/parse/i2c_request.h"

using namespace Tessory::Ostrane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    for (std::size_t i = 0; i + 5 <= size; i += 5) {
        i2c_access a{};
        a.slave = data[i];
        a.count = static_cast<std::uint8_t>(data[i + 1] % (i2c_max_count + 1));
        a.reg = static_cast<std::uint16_t>(data[i + 2] | (data[i + 3] << 8));
        a.reg_address_flag = (data[i + 4] & 1) != 0;
        a.read = (data[i + 4] & 2) != 0;
        const std::uint64_t setup = I2CSetupPacket(a);
        const auto type = static_cast<std::uint8_t>(setup);
        const auto request = static_cast<std::uint8_t>(setup >> 8);
        const auto value = static_cast<std::uint16_t>(setup >> 16);
        const auto index = static_cast<std::uint16_t>(setup >> 32);
        const auto length = static_cast<std::uint16_t>(setup >> 48);
        if (type != (a.read ? 0xC0 : 0x40) || request != 5)
            std::abort();
        // The data stage is exactly the record's count, and the chip sees the same count in wIndex.
        if (length != a.count || (index >> 8) != a.count || (index & 0xFF) != a.slave)
            std::abort();
        if (((value & 0x80) != 0) != a.reg_address_flag)
            std::abort();
    }
    return 0;
}
