// What the entry points accept from the caller: each check looks only at the arguments (and at
// the caller's memory they point to), never at a device, so that one fuzzer covers them all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "ostrane/ft60x.h"

namespace arg_checks {

// A device index carried in a pointer value (open and list by index). An index that does not fit
// in 32 bits names no device instead of being cut down to one that exists.
std::optional<std::uint32_t> index_from_pointer(const void* identifier);

// FT_Create's flags and identifier, before anything is opened.
struct open_request {
    FT_RESULT status = STATUS_SUCCESS; // not 0: refuse with this status
    bool by_index = false;
    std::uint32_t index = 0;  // by_index: the device index; else unused
    bool by_serial = false;   // by text: serial number (else description)
    bool text_length = false; // the text was refused for its length (to be logged)
};
// Texts are 1 to 32 characters; at most 33 bytes of `identifier` are looked at.
open_request parse_open(const void* identifier, std::uint32_t flags);

// The five fields of a control request's setup packet (bmRequestType in the lowest byte).
struct setup_packet {
    std::uint8_t request_type;
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
    std::uint16_t length;
};
setup_packet split_setup(std::uint64_t packet);

// FT_ControlTransfer: the data stage must fit the caller's buffer.
FT_RESULT check_control(const setup_packet& setup, const std::uint8_t* buffer,
                        std::uint32_t buffer_length);

// FT_SetChipConfiguration: the record's own length field (its first two bytes) says how much is
// sent; it must cover at least the header and at most the chip's configuration length.
FT_RESULT check_chip_config_record(const std::uint8_t* record, std::uint16_t max_length);

// FT_GetDescriptor: the wLength of the request for a caller's buffer of `buffer_length` bytes.
// Linux moves at most 4096 bytes in one control request: a longer buffer asks for that much
// instead of being cut down to its low 16 bits (65536 would ask for nothing).
inline constexpr std::uint16_t max_control_data = 4096;
std::uint16_t descriptor_request_length(std::uint32_t buffer_length);

// Largest buffer and largest buffer memory of one pipe the library agrees to allocate.
inline constexpr std::uint32_t max_buf_size = 256u << 20;
inline constexpr std::uint64_t max_pipe_memory = std::uint64_t{4} << 30;

// FT_SetTransferParams: a record for FIFO `fifo_id` (4 stands for 0). 6 for a bad index, a null
// record or a wrong wStructSize; 5 for buffers larger than the library allocates, counted with
// the defaults that replace zero fields.
FT_RESULT check_transfer_conf(const FT_TRANSFER_CONF* conf, std::uint32_t fifo_id);

// Pipe read and write arguments that do not depend on the pipe: 6 for a null data pointer with a
// non-zero length or a null count pointer.
FT_RESULT check_pipe_io(const void* data, std::uint32_t length, const std::uint32_t* transferred);

// Board channel: the device index of an open (0 to 255) and a receive request.
inline constexpr int channel_count = 256;
inline bool channel_index_ok(int index) {
    return index >= 0 && index < channel_count;
}

// The status of the exception being handled: 5 when a size was beyond what can be allocated at
// all, 4 for any other failure. Call only inside a catch block.
FT_RESULT current_exception_status() noexcept;

} // namespace arg_checks
