// The network listener's message parser fed with what a hostile client may send: the management
// phase, then URB commands, read as the server reads them. Besides crashing, a run fails when a
// length the client gave gets past its endpoint's limit, or a bus ID escapes its 32 bytes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "usbip/usbip_protocol.h"

using namespace vboard::usbip;

namespace {

void require(bool holds) {
    if (!holds) std::abort();
}

// The endpoints of a board: control, the notification and the FIFO pipes, one video pipe.
EndpointTypes board_endpoints() {
    EndpointTypes t;
    t.fill(-1);
    t[endpoint_index(0, false)] = t[endpoint_index(0, true)] = 2;
    t[endpoint_index(6, true)] = 1;
    t[endpoint_index(5, true)] = t[endpoint_index(5, false)] = t[endpoint_index(1, true)] = 3;
    return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* at = data;
    size_t left = size;
    auto take = [&](size_t n) -> const uint8_t* {
        if (left < n) return nullptr;
        const uint8_t* p = at;
        at += n;
        left -= n;
        return p;
    };
    // Management phase: requests until an import or a fault.
    bool imported = false;
    while (!imported) {
        const uint8_t* h = take(op_header_size);
        if (!h) return 0;
        const OpRequest r = parse_op_request(h);
        if (r.error) return 0;
        require(r.code == op_req_devlist || r.code == op_req_import);
        if (r.code == op_req_devlist) continue;
        require(r.body == busid_size);
        const uint8_t* id = take(busid_size);
        if (!id) return 0;
        const BusId b = parse_busid(id);
        if (b.error) return 0;
        require(!b.id.empty() && b.id.size() < busid_size);
        imported = true;
    }
    const EndpointTypes types = board_endpoints();
    while (const uint8_t* h = take(urb_header_size)) {
        const UrbCommand c = parse_urb_command(h, types);
        if (c.error) return 0;
        require(c.command == cmd_submit || c.command == cmd_unlink);
        if (c.command == cmd_unlink) continue;
        const size_t limit = c.type == 3 ? max_bulk_transfer : c.type == 1 ? max_interrupt_transfer : max_control_transfer;
        require(c.length <= limit && c.payload <= c.length && (!c.in || c.payload == 0));
        require(c.ep == 0 || (c.ep & 0x0F) != 0);
        if (!take(c.payload)) return 0;
    }
    // What is left, taken as a device's descriptors: the records built from them stay in shape.
    ExportedDevice d;
    d.busid = std::string(reinterpret_cast<const char*>(at), std::min<size_t>(left, 40));
    d.descriptors.assign(at, at + left);
    const auto bare = encode_device(d, false);
    require(bare.size() == device_record_size && bare[256 + busid_size - 1] == 0);
    const auto full = encode_device(d, true);
    require(full.size() == device_record_size + interface_record_size * bare[311]);
    return 0;
}
