// Chip configuration records of the FT60x chips: where things are in them and how the host's
// video profiles are written into them. Pure: records and profiles are plain byte arrays.
#pragma once

#include <cstddef>
#include <cstdint>

// Offsets in the first 44 bytes of the chip configuration (FT603 layout, shared by the FT602).
namespace ft60x_config {
inline constexpr std::uint16_t prefix_length = 44;
inline constexpr unsigned in_enabled = 12;
inline constexpr unsigned out_enabled = 16;
inline constexpr unsigned version_text = 28;
inline constexpr unsigned version_text_length = 16;
inline constexpr unsigned channels = 4;

// FIFO channels in use: counted from channel 0 up to the first one with neither direction on.
// `prefix` holds at least `length` bytes; a prefix too short to say counts as none.
unsigned enabled_channels(const std::uint8_t* prefix, std::size_t length);
} // namespace ft60x_config

// Layout of the video frame tables in the FT602 chip configuration.
namespace ft602_config {
inline constexpr std::uint16_t short_length = 2768;
inline constexpr std::uint16_t long_length = 4064;
inline constexpr unsigned frame_tables = 940;
inline constexpr unsigned frame_entry_size = 12;
inline constexpr unsigned streams = 4;
inline constexpr unsigned speeds = 3;
inline constexpr unsigned profile_entry_size = 6;
inline constexpr std::uint32_t interval_units_per_second = 10000000;

struct layout {
    unsigned stream_stride;
    unsigned speed_stride;
    unsigned frames;
};
inline constexpr layout short_layout{204, 68, 5};
inline constexpr layout long_layout{528, 176, 14};

inline unsigned frame_offset(const layout& l, unsigned stream, unsigned speed, unsigned frame)
{
    return frame_tables + stream * l.stream_stride + speed * l.speed_stride +
           frame_entry_size * frame;
}

// The length field at the start of a record (little-endian); 0 when fewer than 2 bytes are given.
std::uint16_t record_length(const std::uint8_t* record, std::size_t available);

// The layout of a record of `length` bytes; null for a length the library does not know. No
// record of another length is read or written: the length is what bounds every copy.
const layout* layout_of(std::uint16_t length);

// Writes the four stream profiles (one 6-byte entry per stream) into every speed of a record of
// layout `l` (the record holds the layout's whole length); entries with a zero field are skipped.
void apply_profiles(std::uint8_t* record, const layout& l, const std::uint8_t* profile);

// Writes `count` profile entries into the frames of one stream and speed; zero fields leave
// the stored value. Returns the number of fields written, 0 when the arguments do not fit `l`.
unsigned apply_profile_speed(std::uint8_t* record, const layout& l, unsigned stream,
                             unsigned speed, const std::uint8_t* profile, unsigned count);
} // namespace ft602_config
