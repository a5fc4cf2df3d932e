#include "ft60x/parse/firmware_version.h"

#include <cstring>

namespace {
bool is_space(std::uint8_t c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_digit(std::uint8_t c)
{
    return c >= '0' && c <= '9';
}

// Reads "[spaces][+]digits" at `pos` as sscanf's %u does (a '-' never reaches here: it ends the
// text); false when no digit follows.
bool read_number(const std::uint8_t* text, std::size_t end, std::size_t& pos, std::uint32_t& out)
{
    std::size_t p = pos;
    while (p < end && is_space(text[p]))
        ++p;
    if (p < end && text[p] == '+')
        ++p;
    if (p >= end || !is_digit(text[p]))
        return false;
    std::uint32_t value = 0;
    while (p < end && is_digit(text[p]))
        value = value * 10u + static_cast<std::uint32_t>(text[p++] - '0');
    out = value;
    pos = p;
    return true;
}
} // namespace

bool parse_firmware_version(const std::uint8_t* text, std::size_t length, std::uint32_t* version)
{
    if (text == nullptr || version == nullptr)
        return false;
    const void* dash = std::memchr(text, '-', length);
    if (dash == nullptr)
        return false;
    // The numbers end at the first '-' (or a NUL before it).
    std::size_t end = static_cast<std::size_t>(static_cast<const std::uint8_t*>(dash) - text);
    if (const void* nul = std::memchr(text, 0, end))
        end = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - text);

    std::uint32_t parts[3] = {};
    std::size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (pos >= end || text[pos] != '.')
                break;
            ++pos;
        }
        if (!read_number(text, end, pos, parts[i]))
            break;
    }
    *version = (parts[0] << 24) | (parts[1] << 16) | parts[2];
    return true;
}
