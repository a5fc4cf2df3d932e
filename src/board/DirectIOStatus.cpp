#include "ostrane/DirectIOStatus.h"

namespace Tessory::Ostrane {

namespace {
constexpr bool bit(std::uint8_t status, std::uint8_t mask) {
    return (status & mask) != 0;
}
} // namespace

bool CDirectIOStatus::IsUARTNotReady(std::uint8_t status) {
    return !bit(status, 0x80);
}
bool CDirectIOStatus::IsParityError(std::uint8_t status) {
    return bit(status, 0x40);
}
bool CDirectIOStatus::IsFramingError(std::uint8_t status) {
    return bit(status, 0x20);
}
bool CDirectIOStatus::IsBreakError(std::uint8_t status) {
    return bit(status, 0x10);
}
bool CDirectIOStatus::IsTxFIFOOverrun(std::uint8_t status) {
    return bit(status, 0x08);
}
bool CDirectIOStatus::IsRxFIFOOverrun(std::uint8_t status) {
    return bit(status, 0x04);
}
bool CDirectIOStatus::IsTxFifoEmpty(std::uint8_t status) {
    return bit(status, 0x02);
}
bool CDirectIOStatus::IsRxFifoEmpty(std::uint8_t status) {
    return !bit(status, 0x01);
}

bool CDirectIOStatus::IsError(std::uint8_t status) {
    return IsUARTNotReady(status) || IsParityError(status) || IsFramingError(status) ||
           IsBreakError(status) || IsTxFIFOOverrun(status) || IsRxFIFOOverrun(status);
}

} // namespace Tessory::Ostrane
