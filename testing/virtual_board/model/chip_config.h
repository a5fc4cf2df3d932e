// The FT602 chip configuration image that request 1 reads and writes.
#pragma once

#include <cstdint>
#include <vector>

#include "model/board_config.h"

namespace vboard {

constexpr char firmware_version_text[] = "1.2.7-vb";

struct FrameTableLayout {
    size_t stream_stride;
    size_t speed_stride;
    size_t entries;
};
FrameTableLayout frame_table_layout(ConfigLayout layout);
constexpr size_t frame_table_offset = 940;

std::vector<uint8_t> default_chip_configuration(const BoardConfig& config);

}  // namespace vboard
