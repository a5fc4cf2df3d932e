// The bridge's level registers, true or lying, against any requested byte count.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "board/parse/bridge_replies.h"

using namespace Tessory::Ostrane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const std::uint8_t requested = data[i], level = data[i + 1];
        const std::size_t take = RxBytesToRead(requested, level);
        if (take > requested || take > level)
            std::abort();
        // Stopping the wait means the whole request can be read now.
        if (RxLevelSatisfies(requested, level) && take != requested)
            std::abort();
        if (level == 0 && RxLevelSatisfies(requested, level))
            std::abort();
    }
    return 0;
}
