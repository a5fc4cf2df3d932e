// What the board channel makes of the bridge's register replies. Pure: the register values are
// whatever the board answered, true or not.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Tessory::Ostrane {

// Bytes to pop from the receive FIFO for a request of `requested` bytes when the level register
// reads `level`: never more than was asked for, never more than the level claims.
std::size_t RxBytesToRead(std::uint8_t requested, std::uint8_t level);

// True when a receive of `requested` bytes can stop waiting at this level.
bool RxLevelSatisfies(std::uint8_t requested, std::uint8_t level);

} // namespace Tessory::Ostrane
