#include "model/descriptors.h"

#include "model/uvc.h"

namespace vboard {
namespace {

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x & 0xFF));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

void endpoint(std::vector<uint8_t>& v, uint8_t address, uint8_t attributes, uint16_t max_packet,
              uint8_t interval, bool super, uint8_t max_burst, uint16_t bytes_per_interval) {
    v.insert(v.end(), {7, 0x05, address, attributes});
    put16(v, max_packet);
    v.push_back(interval);
    if (super) {
        // SuperSpeed endpoint companion.
        v.insert(v.end(), {6, 0x30, max_burst, 0});
        put16(v, bytes_per_interval);
    }
}

void vendor_interface(std::vector<uint8_t>& v, uint8_t number, uint8_t alternate, bool super) {
    v.insert(v.end(), {9, 0x04, number, alternate, 3, 0xFF, 0x06, 0x02, 0});
    // Notifications: 4-byte messages, polled every 1 ms (bInterval 4 at high/super speed).
    endpoint(v, 0x86, 0x03, 16, 4, super, 0, 16);
    endpoint(v, 0x85, 0x02, super ? 1024 : 512, 0, super, 15, 0);
    endpoint(v, 0x05, 0x02, super ? 1024 : 512, 0, super, 15, 0);
}

}  // namespace

DescriptorSet build_descriptors(const BoardConfig& config) {
    DescriptorSet d;
    const bool super = config.speed == Speed::super;
    const int video = config.video_interfaces < 0 ? 0 : (config.video_interfaces > 2 ? 2 : config.video_interfaces);

    auto& dev = d.device;
    dev = {18, 0x01};
    put16(dev, super ? 0x0320 : 0x0210);
    dev.insert(dev.end(), {0xEF, 0x02, 0x01, static_cast<uint8_t>(super ? 9 : 64)});
    put16(dev, vendor_id);
    put16(dev, product_id(config.model));
    put16(dev, config.bcd_device.value_or(0x0001));
    dev.insert(dev.end(), {1, 2, 3, 1});

    auto& c = d.configuration;
    // With video: the control interface, a streaming interface per stream, then the vendor one.
    d.vendor_interface = static_cast<uint8_t>(video > 0 ? video + 1 : 0);
    d.interface_count = d.vendor_interface + 1;
    c = {9, 0x02, 0, 0, static_cast<uint8_t>(d.interface_count), 1, 0, 0x80,
         static_cast<uint8_t>(super ? 0x70 : 0xFA)};
    if (video > 0) {
        uvc::append_descriptors(c, video, super);
    } else {
        // Without video the association names the vendor function alone.
        c.insert(c.end(), {8, 0x0B, 0, 1, 0xFF, 0x06, 0x02, 0});
    }
    vendor_interface(c, d.vendor_interface, 0, super);
    if (config.extra_alternate_setting) vendor_interface(c, d.vendor_interface, 1, super);
    c[2] = static_cast<uint8_t>(c.size() & 0xFF);
    c[3] = static_cast<uint8_t>(c.size() >> 8);

    auto& b = d.bos;
    b = {5, 0x0F, 0, 0, static_cast<uint8_t>(super ? 2 : 1)};
    b.insert(b.end(), {7, 0x10, 0x02, 0x02, 0x00, 0x00, 0x00});  // USB 2.0 extension: LPM
    if (super)
        b.insert(b.end(), {10, 0x10, 0x03, 0x00, 0x0E, 0x00, 0x01, 0x0A, 0xFF, 0x07});
    b[2] = static_cast<uint8_t>(b.size());

    if (!super) {
        d.qualifier = {10, 0x06};
        put16(d.qualifier, 0x0210);
        d.qualifier.insert(d.qualifier.end(), {0xEF, 0x02, 0x01, 64, 1, 0});
    }
    return d;
}

std::optional<std::vector<uint8_t>> string_descriptor(const BoardConfig& config, uint8_t index) {
    std::string text;
    switch (index) {
    case 0: return std::vector<uint8_t>{4, 0x03, 0x09, 0x04};
    case 1: text = config.manufacturer.empty() ? "Tessory" : config.manufacturer; break;
    case 2: text = config.product.empty() ? product_string(config.model) : config.product; break;
    case 3: text = config.serial; break;
    default: return std::nullopt;
    }
    if (text.size() > 126) text.resize(126);
    std::vector<uint8_t> s{static_cast<uint8_t>(2 + 2 * text.size()), 0x03};
    for (char ch : text) {
        s.push_back(static_cast<uint8_t>(ch));
        s.push_back(0);
    }
    return s;
}

}  // namespace vboard
