#include "board/parse/i2c_request.h"

namespace Tessory::Ostrane {

namespace {
constexpr std::uint8_t i2c_vendor_request = 0x05;
constexpr std::uint8_t request_type_out = 0x40; // vendor, host to device, device recipient
constexpr std::uint8_t request_type_in = 0xC0;  // vendor, device to host, device recipient
} // namespace

std::uint64_t I2CSetupPacket(const i2c_access& access) {
    const std::uint64_t request_type = access.read ? request_type_in : request_type_out;
    const std::uint16_t value = access.reg_address_flag
                                    ? static_cast<std::uint16_t>(access.reg | 0x80u)
                                    : static_cast<std::uint16_t>(access.reg & ~0x80u);
    // wIndex is the record's first two bytes read little-endian: slave low, count high.
    const std::uint16_t index = static_cast<std::uint16_t>(access.slave | (access.count << 8));
    return request_type | std::uint64_t{i2c_vendor_request} << 8 | std::uint64_t{value} << 16 |
           std::uint64_t{index} << 32 | std::uint64_t{access.count} << 48;
}

} // namespace Tessory::Ostrane
