#include "ft60x/parse/chip_config.h"

namespace {
void put16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint16_t get16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

struct profile_entry {
    std::uint8_t enable;
    std::uint8_t rate;
    std::uint16_t width;
    std::uint16_t height;
};

profile_entry read_profile(const std::uint8_t* profile, unsigned index)
{
    const std::uint8_t* p = profile + ft602_config::profile_entry_size * index;
    return {p[0], p[1], get16(p + 2), get16(p + 4)};
}
} // namespace

unsigned ft60x_config::enabled_channels(const std::uint8_t* prefix, std::size_t length)
{
    if (prefix == nullptr || length < out_enabled + channels)
        return 0;
    unsigned count = 0;
    while (count < channels &&
           (prefix[in_enabled + count] != 0 || prefix[out_enabled + count] != 0))
        ++count;
    return count;
}

std::uint16_t ft602_config::record_length(const std::uint8_t* record, std::size_t available)
{
    return record != nullptr && available >= 2 ? get16(record) : 0;
}

const ft602_config::layout* ft602_config::layout_of(std::uint16_t length)
{
    if (length == short_length)
        return &short_layout;
    if (length == long_length)
        return &long_layout;
    return nullptr;
}

void ft602_config::apply_profiles(std::uint8_t* record, const layout& l,
                                  const std::uint8_t* profile)
{
    for (unsigned k = 0; k < streams; ++k) {
        const profile_entry e = read_profile(profile, k);
        if (e.enable == 0 || e.rate == 0 || e.width == 0 || e.height == 0)
            continue;
        for (unsigned s = 0; s < speeds; ++s) {
            std::uint8_t* frame = record + frame_offset(l, k, s, 0);
            put16(frame, e.width);
            put16(frame + 2, e.height);
            put32(frame + 8, interval_units_per_second / e.rate);
        }
    }
}

unsigned ft602_config::apply_profile_speed(std::uint8_t* record, const layout& l, unsigned stream,
                                           unsigned speed, const std::uint8_t* profile,
                                           unsigned count)
{
    if (stream >= streams || speed >= speeds || count > l.frames)
        return 0;
    unsigned written = 0;
    for (unsigned i = 0; i < count; ++i) {
        const profile_entry e = read_profile(profile, i);
        if (e.enable == 0)
            continue;
        std::uint8_t* frame = record + frame_offset(l, stream, speed, i);
        if (e.width != 0) {
            put16(frame, e.width);
            ++written;
        }
        if (e.height != 0) {
            put16(frame + 2, e.height);
            ++written;
        }
        if (e.rate != 0) {
            put32(frame + 8, interval_units_per_second / e.rate);
            ++written;
        }
    }
    return written;
}
