// Decoding, validation and comparison of FT602 chip configuration images.
#include "chip_config.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "common.h"
#include "ostrane/ft60x.h"

namespace cli {

namespace {

struct layout {
    std::size_t length;
    std::size_t stream_stride;
    std::size_t speed_stride;
    std::size_t entries;
};
constexpr layout layouts[] = {{2768, 204, 68, 5}, {4064, 528, 176, 14}};
constexpr std::size_t version_offset = 28;
constexpr std::size_t version_size = 16;
constexpr std::size_t frames_offset = 940;
constexpr std::size_t entry_size = 12;
constexpr int streams = 4;
constexpr const char* speeds[] = {"full", "high", "super"};
constexpr std::size_t hex_line_bytes = 32;

std::uint16_t get16(const image& c, std::size_t at)
{
    return static_cast<std::uint16_t>(c[at] | c[at + 1] << 8);
}
std::uint32_t get32(const image& c, std::size_t at)
{
    return static_cast<std::uint32_t>(get16(c, at)) | static_cast<std::uint32_t>(get16(c, at + 2)) << 16;
}
void put16(image& c, std::size_t at, std::uint32_t v)
{
    c[at] = static_cast<std::uint8_t>(v);
    c[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(image& c, std::size_t at, std::uint32_t v)
{
    put16(c, at, v & 0xFFFF);
    put16(c, at + 2, v >> 16);
}

const layout* layout_of(const image& c)
{
    if (c.size() < 2)
        return nullptr;
    for (const layout& l : layouts)
        if (get16(c, 0) == l.length && c.size() == l.length)
            return &l;
    return nullptr;
}

std::size_t entry_at(const layout& l, int stream, int speed, std::size_t i)
{
    return frames_offset + static_cast<std::size_t>(stream) * l.stream_stride +
           static_cast<std::size_t>(speed) * l.speed_stride + entry_size * i;
}

std::string version_text(const image& c)
{
    const char* p = reinterpret_cast<const char*>(c.data() + version_offset);
    return std::string(p, strnlen(p, version_size));
}

[[noreturn]] void invalid(const std::string& what)
{
    fail(exit_usage, "invalid configuration file: " + what);
}

std::uint32_t field(const nlohmann::json& j, const char* key, std::uint32_t max,
                    const std::string& where)
{
    if (!j.contains(key) || !j[key].is_number_unsigned() || j[key].get<std::uint64_t>() > max)
        invalid(fmt::format("{}: \"{}\" must be a whole number from 0 to {}", where, key, max));
    return j[key].get<std::uint32_t>();
}

std::string frame_text(std::uint16_t w, std::uint16_t h, std::uint32_t interval)
{
    if (interval == 0)
        return fmt::format("{}x{}", w, h);
    // Intervals are whole 100 ns units, so 60 fps is stored as 166666: show it as 60.
    const double fps = 1e7 / interval;
    if (std::abs(fps - std::round(fps)) < 0.01)
        return fmt::format("{}x{}@{}", w, h, std::lround(fps));
    return fmt::format("{}x{}@{:.2f}", w, h, fps);
}

} // namespace

image read_chip_config(void* handle)
{
    // Large enough for the longest layout.
    image c(4096);
    if (const FT_RESULT rc = FT_GetChipConfiguration(handle, c.data()); rc != STATUS_SUCCESS)
        fail_status("read the chip configuration", rc);
    const std::size_t length = get16(c, 0);
    c.resize(std::min<std::size_t>(length, c.size()));
    return c;
}

nlohmann::json decode_chip_config(const image& c)
{
    nlohmann::json doc;
    doc["length"] = c.size();
    const layout* l = layout_of(c);
    if (l != nullptr) {
        doc["firmware_version"] = version_text(c);
        nlohmann::json table = nlohmann::json::array();
        for (int k = 0; k < streams; ++k) {
            nlohmann::json stream;
            for (int s = 0; s < 3; ++s) {
                nlohmann::json frames = nlohmann::json::array();
                for (std::size_t i = 0; i < l->entries; ++i) {
                    const std::size_t at = entry_at(*l, k, s, i);
                    frames.push_back({{"width", get16(c, at)},
                                      {"height", get16(c, at + 2)},
                                      {"interval", get32(c, at + 8)}});
                }
                stream[speeds[s]] = frames;
            }
            table.push_back(stream);
        }
        doc["streams"] = table;
    }
    nlohmann::json raw = nlohmann::json::array();
    for (std::size_t at = 0; at < c.size(); at += hex_line_bytes) {
        std::string line;
        for (std::size_t i = at; i < std::min(c.size(), at + hex_line_bytes); ++i)
            line += fmt::format("{:02x}", c[i]);
        raw.push_back(line);
    }
    doc["raw"] = raw;
    return doc;
}

image encode_chip_config(const nlohmann::json& doc, const image& current)
{
    if (!doc.is_object())
        invalid("not a JSON object");
    for (const auto& [key, value] : doc.items())
        if (key != "length" && key != "firmware_version" && key != "streams" && key != "raw")
            invalid(fmt::format("unknown field \"{}\"", key));
    if (!doc.contains("raw") || !doc["raw"].is_array())
        invalid("\"raw\" (the whole image as hex lines) is missing");
    image c;
    for (const auto& line : doc["raw"]) {
        if (!line.is_string())
            invalid("\"raw\" holds a line that is not a text");
        const std::string hex = line.get<std::string>();
        if (hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            invalid(fmt::format("\"raw\" line {} is not hex bytes", c.size() / hex_line_bytes));
        for (std::size_t i = 0; i < hex.size(); i += 2)
            c.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    if (c.size() != current.size())
        invalid(fmt::format("\"raw\" holds {} bytes, the board's configuration has {}", c.size(),
                            current.size()));
    if (get16(c, 0) != current.size())
        invalid(fmt::format("the image's length field says {}, the board's configuration is {} bytes",
                            get16(c, 0), current.size()));
    if (doc.contains("length") && doc["length"] != current.size())
        invalid(fmt::format("\"length\" must stay {}", current.size()));
    const layout* l = layout_of(c);
    if (l == nullptr) {
        if (doc.contains("firmware_version") || doc.contains("streams"))
            invalid(fmt::format("a {}-byte configuration has no decoded fields", c.size()));
        return c;
    }
    if (doc.contains("firmware_version")) {
        if (!doc["firmware_version"].is_string() ||
            doc["firmware_version"].get<std::string>().size() > version_size)
            invalid(fmt::format("\"firmware_version\" must be a text of at most {} characters",
                                version_size));
        const std::string v = doc["firmware_version"].get<std::string>();
        std::fill_n(c.begin() + version_offset, version_size, 0);
        std::copy(v.begin(), v.end(), c.begin() + version_offset);
    }
    if (doc.contains("streams")) {
        const auto& table = doc["streams"];
        if (!table.is_array() || table.size() != streams)
            invalid(fmt::format("\"streams\" must list {} streams", streams));
        for (int k = 0; k < streams; ++k) {
            for (int s = 0; s < 3; ++s) {
                const std::string where = fmt::format("stream {} {}", k, speeds[s]);
                if (!table[k].is_object() || !table[k].contains(speeds[s]) ||
                    !table[k][speeds[s]].is_array() || table[k][speeds[s]].size() != l->entries)
                    invalid(fmt::format("{}: must list {} frame entries", where, l->entries));
                for (std::size_t i = 0; i < l->entries; ++i) {
                    const auto& e = table[k][speeds[s]][i];
                    const std::string at_entry = fmt::format("{} entry {}", where, i);
                    if (!e.is_object())
                        invalid(at_entry + ": not an object");
                    const std::size_t at = entry_at(*l, k, s, i);
                    put16(c, at, field(e, "width", 0xFFFF, at_entry));
                    put16(c, at + 2, field(e, "height", 0xFFFF, at_entry));
                    put32(c, at + 8, field(e, "interval", 0xFFFFFFFF, at_entry));
                }
            }
        }
    }
    return c;
}

std::vector<std::string> chip_config_changes(const image& from, const image& to)
{
    std::vector<std::string> lines;
    std::vector<bool> decoded(to.size(), false);
    const layout* l = layout_of(to);
    if (l != nullptr && from.size() == to.size()) {
        std::fill_n(decoded.begin() + version_offset, version_size, true);
        if (version_text(from) != version_text(to))
            lines.push_back(fmt::format("firmware_version: \"{}\" -> \"{}\"", version_text(from),
                                        version_text(to)));
        for (int k = 0; k < streams; ++k)
            for (int s = 0; s < 3; ++s)
                for (std::size_t i = 0; i < l->entries; ++i) {
                    const std::size_t at = entry_at(*l, k, s, i);
                    for (std::size_t b : {0, 1, 2, 3, 8, 9, 10, 11})
                        decoded[at + b] = true;
                    const auto a = frame_text(get16(from, at), get16(from, at + 2), get32(from, at + 8));
                    const auto b = frame_text(get16(to, at), get16(to, at + 2), get32(to, at + 8));
                    if (a != b || get32(from, at + 8) != get32(to, at + 8))
                        lines.push_back(fmt::format("stream {} {} entry {}: {} (interval {}) -> {} "
                                                    "(interval {})",
                                                    k, speeds[s], i, a, get32(from, at + 8), b,
                                                    get32(to, at + 8)));
                }
    }
    for (std::size_t i = 0; i < to.size() && i < from.size();) {
        if (decoded[i] || from[i] == to[i]) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < to.size() && !decoded[end] && from[end] != to[end])
            ++end;
        lines.push_back(fmt::format("{} {}: {:02x} -> {:02x}",
                                    end - i == 1 ? "byte" : "bytes",
                                    end - i == 1 ? fmt::format("{}", i) : fmt::format("{}..{}", i, end - 1),
                                    fmt::join(from.begin() + static_cast<long>(i),
                                              from.begin() + static_cast<long>(end), " "),
                                    fmt::join(to.begin() + static_cast<long>(i),
                                              to.begin() + static_cast<long>(end), " ")));
        i = end;
    }
    return lines;
}

std::vector<std::string> frame_table_lines(const image& c)
{
    std::vector<std::string> lines;
    const layout* l = layout_of(c);
    if (l == nullptr)
        return lines;
    for (int k = 0; k < streams; ++k)
        for (int s = 0; s < 3; ++s) {
            std::vector<std::string> frames;
            for (std::size_t i = 0; i < l->entries; ++i) {
                const std::size_t at = entry_at(*l, k, s, i);
                if (get16(c, at) != 0 || get16(c, at + 2) != 0)
                    frames.push_back(frame_text(get16(c, at), get16(c, at + 2), get32(c, at + 8)));
            }
            lines.push_back(fmt::format("stream {} {:<5}: {}", k, speeds[s],
                                        frames.empty() ? "-" : fmt::format("{}", fmt::join(frames, " "))));
        }
    return lines;
}

} // namespace cli
