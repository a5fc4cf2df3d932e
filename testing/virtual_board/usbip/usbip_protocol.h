// The USB/IP wire format, as the kernel documents it (Documentation/usb/usbip_protocol.rst): the
// management phase of a TCP connection (device list, import) and the URB phase that follows it.
// Pure functions over bytes a client sent, so that they can be fuzzed: every length a client gives
// is checked against a limit before anyone allocates from it, and every fault is a reason, never
// an exception or a crash.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vboard::usbip {

constexpr uint16_t protocol_version = 0x0111;
constexpr uint16_t op_req_devlist = 0x8005, op_rep_devlist = 0x0005;
constexpr uint16_t op_req_import = 0x8003, op_rep_import = 0x0003;
constexpr uint32_t cmd_submit = 1, cmd_unlink = 2, ret_submit = 3, ret_unlink = 4;
constexpr size_t op_header_size = 8, busid_size = 32, urb_header_size = 48;
constexpr size_t device_record_size = 312, interface_record_size = 4;

// Status of an OP_REP_* header.
enum class OpStatus : uint32_t { ok = 0, not_available = 1, busy = 2, device_error = 3, no_device = 4, error = 5 };

// The largest URB accepted per transfer type. Bulk: usbfs's whole default budget of a process
// (16 MiB), so that any transfer a host program may submit passes; the others as the bus allows.
constexpr size_t max_bulk_transfer = 16u << 20;
constexpr size_t max_control_transfer = 0xFFFF;
constexpr size_t max_interrupt_transfer = 64u << 10;

// Transfer type of each endpoint of the served device, as usbfs numbers them (1 interrupt,
// 2 control, 3 bulk; -1 absent), indexed by endpoint_index().
using EndpointTypes = std::array<int, 32>;
constexpr size_t endpoint_index(uint8_t number, bool in) { return (number & 0x0F) | (in ? 16u : 0u); }

// A management request's header. `body`: bytes that follow it (an import's bus ID).
struct OpRequest {
    uint16_t code = 0;
    size_t body = 0;
    const char* error = nullptr;  // non-null: malformed, the connection ends
};
OpRequest parse_op_request(const uint8_t* header /* op_header_size bytes */);

// The bus ID of an import: printable, zero-terminated within its 32 bytes.
struct BusId {
    std::string id;
    const char* error = nullptr;
};
BusId parse_busid(const uint8_t* bytes /* busid_size bytes */);

struct UrbCommand {
    uint32_t command = 0;  // cmd_submit or cmd_unlink
    uint32_t seqnum = 0;
    bool in = false;
    uint8_t ep = 0;        // endpoint address, direction bit included (control: 0)
    int type = -1;         // the endpoint's transfer type (-1: the device has no such endpoint)
    uint32_t flags = 0;
    size_t length = 0;     // transfer_buffer_length, within the endpoint type's limit
    uint32_t number_of_packets = 0;
    std::array<uint8_t, 8> setup{};
    uint32_t unlink_target = 0;  // CMD_UNLINK: the seqnum to cancel
    size_t payload = 0;    // bytes that follow the header (the data of an OUT submit)
    const char* error = nullptr;
};
UrbCommand parse_urb_command(const uint8_t* header /* urb_header_size bytes */, const EndpointTypes& types);

// What a device list and an import reply say of a device.
struct ExportedDevice {
    std::string path;      // a sysfs-like path, for `usbip list` only
    std::string busid;
    uint32_t busnum = 1;
    uint32_t devnum = 1;
    uint32_t speed = 5;    // 3 high, 5 super
    std::vector<uint8_t> descriptors;  // device descriptor, then the whole configuration
};
// The 312-byte record, followed (with_interfaces) by 4 bytes per interface of the configuration.
std::vector<uint8_t> encode_device(const ExportedDevice& device, bool with_interfaces);
std::vector<uint8_t> encode_op_reply(uint16_t code, OpStatus status);
std::array<uint8_t, urb_header_size> encode_ret_submit(uint32_t seqnum, int status, size_t actual_length,
                                                        uint32_t number_of_packets);
std::array<uint8_t, urb_header_size> encode_ret_unlink(uint32_t seqnum, int status);

}  // namespace vboard::usbip
