#include "board/parse/bridge_replies.h"

namespace Tessory::Ostrane {

std::size_t RxBytesToRead(std::uint8_t requested, std::uint8_t level) {
    return requested < level ? requested : level;
}

bool RxLevelSatisfies(std::uint8_t requested, std::uint8_t level) {
    return level != 0 && requested <= level;
}

} // namespace Tessory::Ostrane
