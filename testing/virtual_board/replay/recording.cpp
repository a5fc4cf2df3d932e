#include "replay/recording.h"

#include <cstdio>

namespace vboard::replay {
namespace {

constexpr uint8_t get_descriptor = 6;
constexpr uint8_t descriptor_device = 1, descriptor_config = 2, descriptor_string = 3;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

bool is_get_descriptor(const Transfer& t, uint8_t kind) {
    return t.setup && (*t.setup)[0] == 0x80 && (*t.setup)[1] == get_descriptor && (*t.setup)[3] == kind &&
           t.completed && t.status == 0 && t.in.size() == t.in_length;
}

// A string descriptor's UTF-16 text, as sysfs shows it (characters beyond ASCII become '?').
std::string string_text(const std::vector<uint8_t>& d) {
    std::string s;
    if (d.size() < 2 || d[1] != descriptor_string) return s;
    for (size_t i = 2; i + 1 < std::min<size_t>(d.size(), d[0]); i += 2) {
        const uint16_t c = le16(&d[i]);
        s += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return s;
}

std::string string_answer(const DeviceTraffic& traffic, uint8_t index) {
    if (index == 0) return {};
    std::string text;
    for (const auto& t : traffic.transfers)
        if (is_get_descriptor(t, descriptor_string) && (*t.setup)[2] == index && le16(&(*t.setup)[4]) != 0)
            text = string_text(t.in);
    return text;
}

// Talks as a board does: vendor requests, or bulk transfers.
bool acts_as_board(const DeviceTraffic& traffic) {
    for (const auto& t : traffic.transfers)
        if ((t.setup && ((*t.setup)[0] & 0x60) == 0x40) || t.type == 3) return true;
    return false;
}

}  // namespace

std::string Recording::name() const {
    return "bus " + std::to_string(bus) + " device " + std::to_string(address);
}

std::vector<uint8_t> enumerated_descriptors(const DeviceTraffic& traffic) {
    std::vector<uint8_t> device, config;
    for (const auto& t : traffic.transfers) {
        if (is_get_descriptor(t, descriptor_device) && t.in.size() == 18 && t.in[1] == descriptor_device) device = t.in;
        // The whole configuration (index 0), not the first 9 bytes the host reads to learn its length.
        if (is_get_descriptor(t, descriptor_config) && (*t.setup)[2] == 0 && t.in.size() >= 9 &&
            t.in[1] == descriptor_config && t.in.size() == le16(&t.in[2]))
            config = t.in;
    }
    if (device.empty() || config.empty()) return {};
    device.insert(device.end(), config.begin(), config.end());
    return device;
}

bool is_board(const std::vector<uint8_t>& d) {
    if (d.size() < 18 + 9 || d[1] != descriptor_device) return false;
    bool vendor = false, bulk_in = false, bulk_out = false;
    for (size_t i = 18; i + 1 < d.size() && d[i] >= 2; i += d[i]) {
        if (d[i + 1] == 4 && i + 5 < d.size()) {  // interface: a new one starts
            if (vendor && bulk_in && bulk_out) return true;
            vendor = d[i + 5] == 0xFF;
            bulk_in = bulk_out = false;
        } else if (d[i + 1] == 5 && i + 3 < d.size() && (d[i + 3] & 3) == 2) {  // bulk endpoint
            (d[i + 2] & 0x80 ? bulk_in : bulk_out) = true;
        }
    }
    return vendor && bulk_in && bulk_out;
}

std::vector<Recording> boards_of(Capture capture, const std::optional<std::vector<uint8_t>>& fallback) {
    std::vector<Recording> boards;
    std::string others;
    for (auto& traffic : capture.devices) {
        Recording r;
        r.bus = traffic.bus;
        r.address = traffic.address;
        r.descriptors = enumerated_descriptors(traffic);
        if (r.descriptors.empty()) {
            if (!acts_as_board(traffic)) {
                others += (others.empty() ? "" : ", ") + r.name() + " (not enumerated in the capture)";
                continue;
            }
            if (!fallback)
                throw CaptureError(r.name() + " talks as a board but the capture has no enumeration of it: start "
                                   "the capture before plugging the board, or give --descriptors FILE");
            r.descriptors = *fallback;
        }
        if (!is_board(r.descriptors)) {
            char id[16];
            std::snprintf(id, sizeof id, "%04x:%04x", le16(&r.descriptors[8]), le16(&r.descriptors[10]));
            others += (others.empty() ? "" : ", ") + r.name() + " (" + id + ")";
            continue;
        }
        r.identity.speed = le16(&r.descriptors[2]) >= 0x0300 ? Speed::super : Speed::high;
        r.identity.manufacturer = string_answer(traffic, r.descriptors[14]);
        r.identity.product = string_answer(traffic, r.descriptors[15]);
        r.identity.serial = string_answer(traffic, r.descriptors[16]);
        r.identity.label = "replay of " + r.name();
        r.transfers = std::move(traffic.transfers);
        boards.push_back(std::move(r));
    }
    if (boards.empty())
        throw CaptureError("no FT60x board in the capture" +
                           (others.empty() ? std::string(" (no USB traffic)") : " (devices: " + others + ")"));
    return boards;
}

}  // namespace vboard::replay
