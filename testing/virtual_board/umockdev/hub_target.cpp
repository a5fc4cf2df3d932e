#include <algorithm>
#include <cstring>

#include "umockdev/targets.h"

namespace vboard {

HubTarget::HubTarget(bool root, int ports) : root_(root), ports_(std::min(ports, 15)) {
    // Both hubs carry the Linux Foundation's SuperSpeed hub ID, so that nothing on the bus but the
    // boards uses the boards' vendor ID.
    const uint16_t vid = 0x1d6b;
    const uint16_t pid = 0x0003;
    device_ = {18, 0x01, 0x20, 0x03, 0x09, 0x00, 0x03, 0x09,
               static_cast<uint8_t>(vid), static_cast<uint8_t>(vid >> 8),
               static_cast<uint8_t>(pid), static_cast<uint8_t>(pid >> 8),
               0x01, 0x06, 1, 2, 0, 1};
    config_ = {9, 0x02, 31, 0, 1, 1, 0, 0xE0, 0,
               9, 0x04, 0, 0, 1, 0x09, 0x00, 0x00, 0,
               7, 0x05, 0x81, 0x03, 2, 0, 12,
               6, 0x30, 0, 0, 2, 0};
    bos_ = {5, 0x0F, 15, 0, 1, 10, 0x10, 0x03, 0x00, 0x08, 0x00, 0x03, 0x0A, 0xFF, 0x07};
}

std::vector<uint8_t> HubTarget::descriptors() const {
    auto d = device_;
    d.insert(d.end(), config_.begin(), config_.end());
    return d;
}

void HubTarget::set_connected(int port, bool connected) {
    if (port >= 1 && port <= ports_) connected_[port].store(connected);
}

ControlResult HubTarget::control(const SetupPacket& s, const uint8_t* /*out*/, uint8_t* in) {
    auto reply = [&](const std::vector<uint8_t>& bytes) {
        const size_t n = std::min<size_t>(bytes.size(), s.wLength);
        if (n) std::memcpy(in, bytes.data(), n);
        return ControlResult{UsbStatus::ok, n};
    };
    const ControlResult stall{UsbStatus::stall, 0};
    const ControlResult ok{UsbStatus::ok, 0};
    switch (s.bmRequestType) {
    case 0x80:
        if (s.bRequest == 0x00) return reply({0x01, 0x00});  // self powered
        if (s.bRequest == 0x08) return reply({1});
        if (s.bRequest != 0x06) return stall;
        switch (s.wValue >> 8) {
        case 1: return reply(device_);
        case 2: return reply(config_);
        case 0x0F: return reply(bos_);
        case 3: {
            const uint8_t index = s.wValue & 0xFF;
            if (index == 0) return reply({4, 0x03, 0x09, 0x04});
            std::string text = index == 1 ? (root_ ? "Linux xhci-hcd" : "Tessory")
                             : index == 2 ? (root_ ? "xHCI Host Controller" : "Virtual Hub")
                                          : "";
            if (text.empty()) return stall;
            std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * text.size()), 0x03};
            for (char c : text) d.insert(d.end(), {static_cast<uint8_t>(c), 0});
            return reply(d);
        }
        default: return stall;
        }
    case 0xA0:
        if (s.bRequest == 0x00) return reply({0, 0, 0, 0});
        if (s.bRequest == 0x06 && (s.wValue >> 8) == 0x2A) {
            const uint8_t n = static_cast<uint8_t>(ports_);
            return reply({12, 0x2A, n, 0x09, 0x00, 10, 0, 0, 0, 0, 0, 0});
        }
        if (s.bRequest == 0x06 && (s.wValue >> 8) == 0x29) {
            const uint8_t n = static_cast<uint8_t>(ports_);
            return reply({9, 0x29, n, 0x09, 0x00, 50, 0, 0x00, 0xFF});
        }
        return stall;
    case 0xA3: {
        if (s.bRequest != 0x00) return stall;
        const int port = s.wIndex;
        if (port < 1 || port > ports_) return stall;
        // Power on; a connected port is enabled in U0, an empty one waits in Rx.Detect.
        const uint16_t status = connected_[port].load() ? 0x0203 : 0x02A0;
        return reply({static_cast<uint8_t>(status), static_cast<uint8_t>(status >> 8), 0, 0});
    }
    case 0x00:
    case 0x20:
    case 0x23:
        return ok;
    default: return stall;
    }
}

}  // namespace vboard
