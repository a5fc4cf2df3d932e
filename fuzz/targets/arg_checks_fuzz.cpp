// The entry points' argument checks fed with arbitrary arguments. Besides crashing, a run fails
// when a check lets through something its callers rely on it to refuse.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ft60x/parse/arg_checks.h"

namespace {

// Reads fixed-size values from the front of the input; zeros once it is used up.
class input {
  public:
    input(const std::uint8_t* data, std::size_t size) : at(data), left(size) {}

    template <typename T> T take() {
        T value{};
        const std::size_t n = left < sizeof value ? left : sizeof value;
        std::memcpy(&value, at, n);
        at += n;
        left -= n;
        return value;
    }
    std::vector<std::uint8_t> rest() const { return {at, at + left}; }

  private:
    const std::uint8_t* at;
    std::size_t left;
};

void require(bool holds) {
    if (!holds)
        std::abort();
}

void fuzz_open(std::uint64_t value, std::uint32_t flags, std::vector<std::uint8_t> text) {
    const auto by_index =
        arg_checks::parse_open(reinterpret_cast<const void*>(value), flags | 0x10);
    require(by_index.by_index);
    require((by_index.status == STATUS_SUCCESS) == (value <= UINT32_MAX));
    require(by_index.status != STATUS_SUCCESS || by_index.index == value);

    text.push_back(0); // the caller's text ends with a NUL
    const auto by_text = arg_checks::parse_open(text.data(), flags & ~0x10u);
    const std::size_t length = std::strlen(reinterpret_cast<const char*>(text.data()));
    const bool named = (flags & 0x03) != 0;
    require((by_text.status == STATUS_SUCCESS) == (named && length >= 1 && length <= 32));
    require(by_text.text_length == (named && (length == 0 || length > 32)));
    require(arg_checks::parse_open(nullptr, flags & ~0x10u).status == STATUS_BAD_PARAMETER);
}

void fuzz_control(std::uint64_t packet, std::uint32_t buffer_length, bool null_buffer) {
    const arg_checks::setup_packet s = arg_checks::split_setup(packet);
    require(s.length == packet >> 48 && s.request_type == (packet & 0xFF));
    std::uint8_t byte = 0;
    const FT_RESULT r = arg_checks::check_control(s, null_buffer ? nullptr : &byte, buffer_length);
    require((r == STATUS_SUCCESS) ==
            (s.length == 0 || (!null_buffer && s.length <= buffer_length)));

    const std::uint16_t asked = arg_checks::descriptor_request_length(buffer_length);
    require(asked <= buffer_length && asked <= arg_checks::max_control_data);
    require(asked == buffer_length || asked == arg_checks::max_control_data);
}

void fuzz_records(input& in) {
    const auto max_length = in.take<std::uint16_t>();
    const auto record = in.take<std::array<std::uint8_t, 2>>();
    const unsigned field = record[0] | (record[1] << 8);
    const FT_RESULT r = arg_checks::check_chip_config_record(record.data(), max_length);
    require((r == STATUS_SUCCESS) == (field >= 4 && field <= max_length));

    const auto fifo = in.take<std::uint8_t>();
    const auto conf = in.take<FT_TRANSFER_CONF>();
    const FT_RESULT t = arg_checks::check_transfer_conf(&conf, fifo);
    if (t == STATUS_SUCCESS) {
        require(fifo <= 4 && conf.wStructSize == sizeof conf);
        for (const FT_PIPE_TRANSFER_CONF& p : conf.aPipe) {
            const std::uint64_t count = p.wBufNum <= 1 ? 256 : p.wBufNum;
            const std::uint64_t size = p.dwBufSize < 512 ? 0x8000 : p.dwBufSize;
            require(p.bDisabled != 0 || (size <= arg_checks::max_buf_size &&
                                         count * size <= arg_checks::max_pipe_memory));
        }
    }
    require(arg_checks::check_transfer_conf(nullptr, fifo) == STATUS_BAD_PARAMETER);

    const auto length = in.take<std::uint32_t>();
    std::uint32_t count = 0;
    std::uint8_t data = 0;
    require(arg_checks::check_pipe_io(nullptr, length, &count) ==
            (length == 0 ? STATUS_SUCCESS : STATUS_BAD_PARAMETER));
    require(arg_checks::check_pipe_io(&data, length, nullptr) == STATUS_BAD_PARAMETER);
    require(arg_checks::check_pipe_io(&data, length, &count) == STATUS_SUCCESS);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    input in(data, size);
    const auto value = in.take<std::uint64_t>();
    const auto flags = in.take<std::uint32_t>();
    const auto packet = in.take<std::uint64_t>();
    const auto buffer_length = in.take<std::uint32_t>();
    const auto channel = in.take<std::int32_t>();
    require(arg_checks::channel_index_ok(channel) == (channel >= 0 && channel < 256));
    fuzz_control(packet, buffer_length, (flags & 0x100) != 0);
    fuzz_records(in);
    fuzz_open(value, flags, in.rest());
    return 0;
}
