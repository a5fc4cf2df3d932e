// Decoding of the status register of the board's UART bridge.
#pragma once

#include <cstdint>

#include "ostrane/OstraneExport.h"

namespace Tessory::Ostrane {

class OSTRANE_API CDirectIOStatus {
  public:
    static bool IsUARTNotReady(std::uint8_t status);  // bit 7 clear
    static bool IsParityError(std::uint8_t status);   // bit 6
    static bool IsFramingError(std::uint8_t status);  // bit 5
    static bool IsBreakError(std::uint8_t status);    // bit 4
    static bool IsTxFIFOOverrun(std::uint8_t status); // bit 3
    static bool IsRxFIFOOverrun(std::uint8_t status); // bit 2
    static bool IsTxFifoEmpty(std::uint8_t status);   // bit 1 set
    static bool IsRxFifoEmpty(std::uint8_t status);   // bit 0 clear
    // UART not ready, or any of the four line errors or two overruns.
    static bool IsError(std::uint8_t status);
};

} // namespace Tessory::Ostrane
