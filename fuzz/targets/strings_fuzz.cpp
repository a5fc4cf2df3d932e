// String descriptor replies of any length into fixed text fields of any size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "ft60x/parse/strings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    // First byte: the size of the field (1 to 64); the rest is the reply, in a buffer of exactly
    // its own length so that any read past it is caught.
    const std::size_t field_size = 1 + data[0] % 64;
    std::vector<std::uint8_t> reply(data + 1, data + size);
    std::vector<char> field(field_size, 'X');
    const int n = string_descriptor_to_ascii(reply.data(), reply.size(), field.data(), field.size());
    if (n < -1 || n >= static_cast<int>(field_size))
        std::abort();
    const std::size_t stored = n < 0 ? 0 : static_cast<std::size_t>(n);
    // A NUL character in the reply may end the text early; the terminator must be in place.
    if (field[stored] != 0)
        std::abort();
    for (std::size_t i = 0; i < stored; ++i)
        if (static_cast<unsigned char>(field[i]) >= 0x80)
            std::abort();
    const int language = first_string_language(reply.data(), reply.size());
    if (language < -1 || language > 0xFFFF)
        std::abort();
    return 0;
}
