// String descriptors into the fixed text fields of the device record. Pure: the bytes are what
// the board answered, of any length.
#pragma once

#include <cstddef>
#include <cstdint>

// The first language of a language-list descriptor (string descriptor 0), or -1 when the reply
// is not one.
int first_string_language(const std::uint8_t* reply, std::size_t length);

// Converts a string descriptor reply (UTF-16LE) into NUL-terminated ASCII in `out`, one byte per
// character, '?' for characters outside ASCII, cut to `out_size` - 1 characters. Returns the
// characters stored, or -1 (and an empty text) when the reply is not a string descriptor.
int string_descriptor_to_ascii(const std::uint8_t* reply, std::size_t length, char* out,
                               std::size_t out_size);
