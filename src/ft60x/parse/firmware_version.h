// The firmware version text of the chip configuration: "major.minor.build-anything".
#pragma once

#include <cstddef>
#include <cstdint>

// Parses the text in `text` (not NUL-terminated, `length` bytes) into
// (major << 24) | (minor << 16) | build. False when there is no '-' in it. Numbers that do not
// parse count as 0; each number keeps the low 32 bits of its value, as an unsigned conversion
// would.
bool parse_firmware_version(const std::uint8_t* text, std::size_t length, std::uint32_t* version);
