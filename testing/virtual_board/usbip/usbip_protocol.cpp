#include "usbip/usbip_protocol.h"

#include <algorithm>
#include <cstring>

namespace vboard::usbip {
namespace {

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

size_t limit_of(int type) {
    switch (type) {
    case 1: return max_interrupt_transfer;
    case 2: return max_control_transfer;
    case 3: return max_bulk_transfer;
    default: return max_control_transfer;  // no such endpoint: it stalls, after its data is read
    }
}

// Descriptor `type` number `index` (0-based) within the configuration that follows the 18-byte
// device descriptor; null when there is none or the descriptors are cut short.
const uint8_t* find_descriptor(const std::vector<uint8_t>& d, uint8_t type, size_t index, size_t min_length) {
    for (size_t i = 18; i + 2 <= d.size() && d[i] >= 2 && i + d[i] <= d.size(); i += d[i]) {
        if (d[i + 1] != type || d[i] < min_length) continue;
        if (type == 4 && d[i + 3] != 0) continue;  // interfaces: the first alternate setting only
        if (index-- == 0) return &d[i];
    }
    return nullptr;
}

}  // namespace

OpRequest parse_op_request(const uint8_t* h) {
    OpRequest r;
    const uint16_t version = get16(h);
    r.code = get16(h + 2);
    if (version == 0 && r.code >= cmd_submit && r.code <= ret_unlink)
        r.error = "a URB command before an import";
    else if (version != protocol_version) r.error = "wrong protocol version";
    else if (r.code == op_req_devlist) r.body = 0;
    else if (r.code == op_req_import) r.body = busid_size;
    else r.error = "unknown management request";
    return r;
}

BusId parse_busid(const uint8_t* bytes) {
    BusId b;
    const uint8_t* end = std::find(bytes, bytes + busid_size, 0);
    if (end == bytes + busid_size) {
        b.error = "bus ID without its terminating zero";
        return b;
    }
    if (end == bytes || !std::all_of(bytes, end, [](uint8_t c) { return c > 0x20 && c < 0x7F; })) {
        b.error = "bus ID empty or not printable";
        return b;
    }
    b.id.assign(reinterpret_cast<const char*>(bytes), static_cast<size_t>(end - bytes));
    return b;
}

UrbCommand parse_urb_command(const uint8_t* h, const EndpointTypes& types) {
    UrbCommand u;
    u.command = get32(h);
    u.seqnum = get32(h + 4);
    const uint32_t direction = get32(h + 12), ep = get32(h + 16);
    if (u.command == cmd_unlink) {
        u.unlink_target = get32(h + 20);
        return u;
    }
    if (u.command != cmd_submit) {
        u.error = "unknown USB/IP command";
        return u;
    }
    if (direction > 1) {
        u.error = "direction neither IN nor OUT";
        return u;
    }
    if (ep > 15) {
        u.error = "endpoint number beyond 15";
        return u;
    }
    u.in = direction == 1;
    const uint8_t number = static_cast<uint8_t>(ep);
    u.ep = number == 0 ? 0 : static_cast<uint8_t>(number | (u.in ? 0x80 : 0));
    u.type = number == 0 ? 2 : types[endpoint_index(number, u.in)];
    u.flags = get32(h + 20);
    u.length = get32(h + 24);
    u.number_of_packets = get32(h + 32);
    std::copy(h + 40, h + 48, u.setup.begin());
    if (u.length > limit_of(u.type)) {
        u.error = "transfer longer than its endpoint allows";
        return u;
    }
    // Our devices have no isochronous endpoint, so no packet descriptors ever follow.
    u.payload = u.in ? 0 : u.length;
    return u;
}

std::vector<uint8_t> encode_device(const ExportedDevice& device, bool with_interfaces) {
    std::vector<uint8_t> out(device_record_size);
    uint8_t* p = out.data();
    std::memcpy(p, device.path.data(), std::min<size_t>(device.path.size(), 255));
    std::memcpy(p + 256, device.busid.data(), std::min<size_t>(device.busid.size(), busid_size - 1));
    put32(p + 288, device.busnum);
    put32(p + 292, device.devnum);
    put32(p + 296, device.speed);
    const auto& d = device.descriptors;
    uint8_t interfaces = 0;
    if (d.size() >= 18) {
        put16(p + 300, static_cast<uint16_t>(d[9] << 8 | d[8]));    // idVendor
        put16(p + 302, static_cast<uint16_t>(d[11] << 8 | d[10]));  // idProduct
        put16(p + 304, static_cast<uint16_t>(d[13] << 8 | d[12]));  // bcdDevice
        p[306] = d[4];
        p[307] = d[5];
        p[308] = d[6];
        p[310] = d[17];  // bNumConfigurations
    }
    if (d.size() >= 18 + 9 && d[18 + 1] == 2) {
        p[309] = d[18 + 5];  // bConfigurationValue
        interfaces = d[18 + 4];
        p[311] = interfaces;
    }
    if (!with_interfaces) return out;
    for (size_t i = 0; i < interfaces; ++i) {
        uint8_t record[interface_record_size] = {};
        if (const uint8_t* intf = find_descriptor(d, 4, i, 9)) {
            record[0] = intf[5];
            record[1] = intf[6];
            record[2] = intf[7];
        }
        out.insert(out.end(), record, record + interface_record_size);
    }
    return out;
}

std::vector<uint8_t> encode_op_reply(uint16_t code, OpStatus status) {
    std::vector<uint8_t> out(op_header_size);
    put16(out.data(), protocol_version);
    put16(out.data() + 2, code);
    put32(out.data() + 4, static_cast<uint32_t>(status));
    return out;
}

std::array<uint8_t, urb_header_size> encode_ret_submit(uint32_t seqnum, int status, size_t actual_length,
                                                        uint32_t number_of_packets) {
    std::array<uint8_t, urb_header_size> h{};
    put32(h.data(), ret_submit);
    put32(h.data() + 4, seqnum);
    put32(h.data() + 20, static_cast<uint32_t>(status));
    put32(h.data() + 24, static_cast<uint32_t>(actual_length));
    put32(h.data() + 32, number_of_packets);
    return h;
}

std::array<uint8_t, urb_header_size> encode_ret_unlink(uint32_t seqnum, int status) {
    std::array<uint8_t, urb_header_size> h{};
    put32(h.data(), ret_unlink);
    put32(h.data() + 4, seqnum);
    put32(h.data() + 20, static_cast<uint32_t>(status));
    return h;
}

}  // namespace vboard::usbip
