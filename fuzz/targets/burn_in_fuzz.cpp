// burn-in's check of a board's stream against its keyed counter, on any bytes in any blocks: every
// byte is counted once, as verified or wrong, however the stream jumps.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "burn_in_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    // First byte: the block size (1 to 64); the rest, read back as the board would send it. A key
    // of 0 makes a counter the fuzzer's inputs reach easily.
    const std::size_t block = 1 + data[0] % 64;
    cli::burn_in::stream_check check(0);
    std::size_t fed = 0;
    for (std::size_t at = 1; at < size; at += block) {
        const std::size_t n = at + block <= size ? block : size - at;
        std::vector<std::uint8_t> copy(data + at, data + at + n); // exactly its length: overreads show
        check.check(copy.data(), copy.size());
        fed += n;
    }
    if (check.verified() + check.wrong() != fed)
        std::abort();
    if ((check.wrong() != 0) != check.first_wrong().has_value() ||
        (check.jumps() != 0) != check.first_jump().has_value())
        std::abort();
    return 0;
}
