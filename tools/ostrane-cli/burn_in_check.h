// The data check of `ostrane-cli burn-in`: each board's FIFO stream carries its own keyed counter,
// and every byte read back is checked against it. The counter tells where a byte belongs, so after
// a lost or repeated block the check finds its place again and reports the block (its offset and
// size) instead of calling every later byte wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace cli::burn_in {

// Byte `offset` of the stream with `key` is byte (offset % 4) of the little-endian 32-bit word
// (offset / 4) ^ key.
void fill(std::uint8_t* p, std::uint32_t key, std::uint64_t offset, std::size_t n);

struct wrong_byte {
    std::uint64_t offset;
    std::uint8_t expected, got;
};
// The stream went on at `offset + bytes`: bytes > 0 were lost, bytes < 0 came again.
struct jump {
    std::uint64_t offset;
    std::int64_t bytes;
};

class stream_check {
public:
    explicit stream_check(std::uint32_t key) : key_(key) {}
    // Checks the next `n` bytes read back.
    void check(const std::uint8_t* data, std::size_t n);
    // After a reconnect the writer starts again where the reads have got to.
    std::uint64_t offset() const { return offset_; }

    std::uint64_t verified() const { return verified_; }
    std::uint64_t wrong() const { return wrong_; }
    std::uint64_t jumps() const { return jumps_; }
    const std::optional<wrong_byte>& first_wrong() const { return first_wrong_; }
    const std::optional<jump>& first_jump() const { return first_jump_; }

private:
    void check_slowly(const std::uint8_t* data, std::size_t n);

    std::uint32_t key_;
    std::uint64_t offset_ = 0;  // where the next byte belongs
    std::uint64_t verified_ = 0, wrong_ = 0, jumps_ = 0;
    std::optional<wrong_byte> first_wrong_;
    std::optional<jump> first_jump_;
    std::vector<std::uint8_t> want_;
};

} // namespace cli::burn_in
