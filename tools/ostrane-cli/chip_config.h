// The FT602 chip configuration image as ostrane-cli shows and edits it: the fields it knows
// decoded (length, firmware version text, video frame tables), the whole image kept as hex so
// that a file from `config get` writes back every byte.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

using image = std::vector<std::uint8_t>;

image read_chip_config(void* handle);
nlohmann::json decode_chip_config(const image& config);
// Validates a JSON document from `decode_chip_config` (possibly edited) against the layout of
// `current` and gives the image to write; a usage failure names the first problem.
image encode_chip_config(const nlohmann::json& doc, const image& current);
// One line per decoded field or run of other bytes that differs.
std::vector<std::string> chip_config_changes(const image& from, const image& to);
// Frame tables in a few lines: "stream 0 super: 1920x1080@30 1280x720@30 ...".
std::vector<std::string> frame_table_lines(const image& config);

} // namespace cli
