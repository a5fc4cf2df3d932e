// Chip configuration records and the host's profiles written into them. The record is as long as
// its own length field says (only known layouts are accepted) and lives in a buffer of exactly
// that size, so any write past a frame table is caught.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <vector>

#include "ft60x/parse/chip_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 4)
        return 0;
    const unsigned channels = ft60x_config::enabled_channels(data, size);
    if (channels > ft60x_config::channels)
        std::abort();

    const std::uint16_t length = ft602_config::record_length(data, size);
    const ft602_config::layout* layout = ft602_config::layout_of(length);
    // The header's first two bytes pick the layout; a lying length is refused rather than read.
    if (layout == nullptr)
        return 0;
    std::vector<std::uint8_t> record(length, 0);
    std::memcpy(record.data(), data, std::min<std::size_t>(size, length));
    const std::uint8_t stream = data[2], speed = data[3];
    // The profile follows the record image: as many whole 6-byte entries as there are.
    const std::size_t rest = size > length ? size - length : 0;
    const std::size_t entries = rest / ft602_config::profile_entry_size;
    std::vector<std::uint8_t> profile(data + size - rest,
                                      data + size - rest + entries * ft602_config::profile_entry_size);
    if (entries >= ft602_config::streams)
        ft602_config::apply_profiles(record.data(), *layout, profile.data());
    const unsigned count = static_cast<unsigned>(entries);
    const unsigned written = ft602_config::apply_profile_speed(record.data(), *layout, stream,
                                                               speed, profile.data(), count);
    if (written > 3 * count)
        std::abort();
    // The length field is never touched by a profile.
    if (ft602_config::record_length(record.data(), record.size()) != length)
        std::abort();
    return 0;
}
