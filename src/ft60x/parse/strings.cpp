#include "ft60x/parse/strings.h"

namespace {
constexpr std::uint8_t string_type = 0x03;

// The descriptor's own length when the reply is a string descriptor that fits what arrived.
std::size_t checked_length(const std::uint8_t* reply, std::size_t length)
{
    if (reply == nullptr || length < 2 || reply[1] != string_type || reply[0] < 2 ||
        reply[0] > length)
        return 0;
    return reply[0];
}
} // namespace

int first_string_language(const std::uint8_t* reply, std::size_t length)
{
    const std::size_t own = checked_length(reply, length);
    if (own < 4)
        return -1;
    return reply[2] | (reply[3] << 8);
}

int string_descriptor_to_ascii(const std::uint8_t* reply, std::size_t length, char* out,
                               std::size_t out_size)
{
    if (out == nullptr || out_size == 0)
        return -1;
    out[0] = 0;
    const std::size_t own = checked_length(reply, length);
    if (own == 0)
        return -1;
    std::size_t n = 0;
    // An odd trailing byte is half a character and is dropped.
    for (std::size_t i = 2; i + 1 < own && n + 1 < out_size; i += 2) {
        const bool ascii = reply[i + 1] == 0 && reply[i] < 0x80;
        out[n++] = ascii ? static_cast<char>(reply[i]) : '?';
    }
    out[n] = 0;
    return static_cast<int>(n);
}
