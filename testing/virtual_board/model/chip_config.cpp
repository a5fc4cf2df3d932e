#include "model/chip_config.h"

#include <cstring>

namespace vboard {
namespace {

struct Frame {
    uint16_t width;
    uint16_t height;
    uint32_t fps;
};

// Frame lists the firmware ships with: full speed carries only small frames.
constexpr Frame fast_frames[] = {
    {1920, 1080, 30}, {1280, 720, 60}, {1280, 720, 30}, {640, 480, 60}, {640, 480, 30},
    {3840, 2160, 15}, {2560, 1440, 30}, {1600, 1200, 30}, {1024, 768, 30}, {800, 600, 30},
    {720, 576, 25}, {720, 480, 30}, {352, 288, 30}, {176, 144, 15},
};
constexpr Frame slow_frames[] = {
    {320, 240, 15}, {176, 144, 15}, {160, 120, 15}, {320, 240, 5}, {160, 120, 5},
    {128, 96, 15}, {128, 96, 5}, {96, 72, 15}, {96, 72, 5}, {80, 60, 15},
    {80, 60, 5}, {64, 48, 15}, {64, 48, 5}, {32, 24, 5},
};

void put16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
    v[at] = static_cast<uint8_t>(x);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
}
void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

}  // namespace

FrameTableLayout frame_table_layout(ConfigLayout layout) {
    if (layout == ConfigLayout::ft602_2768) return {204, 68, 5};
    return {528, 176, 14};
}

std::vector<uint8_t> default_chip_configuration(const BoardConfig& config) {
    const auto length = static_cast<uint16_t>(config.config_layout);
    std::vector<uint8_t> c(length, 0);
    put16(c, 0, length);
    put16(c, 2, vendor_id);
    put16(c, 4, product_id(config.model));
    put16(c, 6, 0x0001);
    std::memcpy(&c[28], firmware_version_text, sizeof firmware_version_text - 1);
    const auto t = frame_table_layout(config.config_layout);
    for (size_t stream = 0; stream < 4; ++stream)
        for (size_t speed = 0; speed < 3; ++speed)
            for (size_t i = 0; i < t.entries; ++i) {
                const Frame& f = speed == 0 ? slow_frames[i] : fast_frames[i];
                const size_t at = frame_table_offset + stream * t.stream_stride + speed * t.speed_stride + 12 * i;
                put16(c, at, f.width);
                put16(c, at + 2, f.height);
                put32(c, at + 8, 10000000u / f.fps);
            }
    return c;
}

}  // namespace vboard
