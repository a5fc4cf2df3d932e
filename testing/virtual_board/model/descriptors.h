// USB descriptors of a virtual board, built from its configuration.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/board_config.h"

namespace vboard {

struct DescriptorSet {
    std::vector<uint8_t> device;         // 18 bytes
    std::vector<uint8_t> configuration;  // whole configuration, wTotalLength bytes
    std::vector<uint8_t> bos;            // binary object store
    std::vector<uint8_t> qualifier;      // device qualifier (high speed only, else empty)
    uint8_t vendor_interface = 0;
    int interface_count = 0;
};

DescriptorSet build_descriptors(const BoardConfig& config);

// String descriptor `index` (0: language list) for language `lang`; nullopt when there is none.
std::optional<std::vector<uint8_t>> string_descriptor(const BoardConfig& config, uint8_t index);

}  // namespace vboard
