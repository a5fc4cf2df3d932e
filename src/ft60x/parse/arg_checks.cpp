#include "ft60x/parse/arg_checks.h"

#include <cstring>
#include <new>
#include <stdexcept>

namespace arg_checks {

namespace {
constexpr std::size_t text_field = 32;
constexpr std::uint32_t open_by_text = FT_OPEN_BY_SERIAL_NUMBER | FT_OPEN_BY_DESCRIPTION;

// Defaults that replace a zero (or one) count and a size below 512 when the table is taken.
constexpr std::uint64_t default_buf_num = 256;
constexpr std::uint32_t min_buf_size = 512;
constexpr std::uint32_t default_buf_size = 0x8000;

FT_RESULT check_pipe_conf(const FT_PIPE_TRANSFER_CONF& pipe) {
    if (pipe.bDisabled != 0)
        return STATUS_SUCCESS;
    const std::uint32_t size = pipe.dwBufSize < min_buf_size ? default_buf_size : pipe.dwBufSize;
    const std::uint64_t count = pipe.wBufNum <= 1 ? default_buf_num : pipe.wBufNum;
    if (size > max_buf_size || count * size > max_pipe_memory)
        return STATUS_TOO_LARGE;
    return STATUS_SUCCESS;
}
} // namespace

std::optional<std::uint32_t> index_from_pointer(const void* identifier) {
    const auto value = reinterpret_cast<std::uintptr_t>(identifier);
    if (value > UINT32_MAX)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

open_request parse_open(const void* identifier, std::uint32_t flags) {
    open_request r;
    if ((flags & FT_OPEN_BY_INDEX) != 0) {
        r.by_index = true;
        if (const auto index = index_from_pointer(identifier))
            r.index = *index;
        else
            r.status = STATUS_NO_DEVICE;
        return r;
    }
    if ((flags & open_by_text) == 0 || identifier == nullptr) {
        r.status = STATUS_BAD_PARAMETER;
        return r;
    }
    r.by_serial = (flags & FT_OPEN_BY_SERIAL_NUMBER) != 0;
    const std::size_t length = strnlen(static_cast<const char*>(identifier), text_field + 1);
    if (length == 0 || length > text_field) {
        r.status = STATUS_BAD_PARAMETER;
        r.text_length = true;
    }
    return r;
}

setup_packet split_setup(std::uint64_t packet) {
    return {static_cast<std::uint8_t>(packet), static_cast<std::uint8_t>(packet >> 8),
            static_cast<std::uint16_t>(packet >> 16), static_cast<std::uint16_t>(packet >> 32),
            static_cast<std::uint16_t>(packet >> 48)};
}

FT_RESULT check_control(const setup_packet& setup, const std::uint8_t* buffer,
                        std::uint32_t buffer_length) {
    if (setup.length == 0)
        return STATUS_SUCCESS;
    if (buffer == nullptr || setup.length > buffer_length)
        return STATUS_BAD_PARAMETER;
    return STATUS_SUCCESS;
}

FT_RESULT check_chip_config_record(const std::uint8_t* record, std::uint16_t max_length) {
    constexpr std::uint16_t header = 4;
    if (record == nullptr)
        return STATUS_BAD_PARAMETER;
    const auto length = static_cast<std::uint16_t>(record[0] | (record[1] << 8));
    if (length < header || length > max_length)
        return STATUS_BAD_PARAMETER;
    return STATUS_SUCCESS;
}

std::uint16_t descriptor_request_length(std::uint32_t buffer_length) {
    return buffer_length > max_control_data ? max_control_data
                                            : static_cast<std::uint16_t>(buffer_length);
}

FT_RESULT check_transfer_conf(const FT_TRANSFER_CONF* conf, std::uint32_t fifo_id) {
    if (fifo_id > 4 || conf == nullptr || conf->wStructSize != sizeof(FT_TRANSFER_CONF))
        return STATUS_BAD_PARAMETER;
    if (const FT_RESULT in = check_pipe_conf(conf->aPipe[FT_PIPE_DIR_IN]); in != STATUS_SUCCESS)
        return in;
    return check_pipe_conf(conf->aPipe[FT_PIPE_DIR_OUT]);
}

FT_RESULT check_pipe_io(const void* data, std::uint32_t length, const std::uint32_t* transferred) {
    if ((data == nullptr && length != 0) || transferred == nullptr)
        return STATUS_BAD_PARAMETER;
    return STATUS_SUCCESS;
}

FT_RESULT current_exception_status() noexcept {
    try {
        throw;
    } catch (const std::bad_array_new_length&) {
        return STATUS_TOO_LARGE;
    } catch (const std::length_error&) {
        return STATUS_TOO_LARGE;
    } catch (...) {
        return STATUS_IO_FAILED;
    }
}

} // namespace arg_checks
