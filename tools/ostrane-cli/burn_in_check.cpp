#include "burn_in_check.h"

#include <algorithm>
#include <cstring>

namespace cli::burn_in {
namespace {

std::uint8_t byte_at(std::uint32_t key, std::uint64_t offset)
{
    const std::uint32_t word = static_cast<std::uint32_t>(offset >> 2) ^ key;
    return static_cast<std::uint8_t>(word >> (8 * (offset & 3)));
}

std::uint32_t le32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

} // namespace

void fill(std::uint8_t* p, std::uint32_t key, std::uint64_t offset, std::size_t n)
{
    std::size_t i = 0;
    for (; i < n && (offset & 3) != 0; ++i, ++offset)
        p[i] = byte_at(key, offset);
    for (; n - i >= 4; i += 4, offset += 4) {
        const std::uint32_t w = static_cast<std::uint32_t>(offset >> 2) ^ key;
        const std::uint8_t le[4] = {static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(w >> 8),
                                    static_cast<std::uint8_t>(w >> 16),
                                    static_cast<std::uint8_t>(w >> 24)};
        std::memcpy(p + i, le, 4);
    }
    for (; i < n; ++i, ++offset)
        p[i] = byte_at(key, offset);
}

void stream_check::check(const std::uint8_t* data, std::size_t n)
{
    if (want_.size() < n)
        want_.resize(n);
    fill(want_.data(), key_, offset_, n);
    if (std::memcmp(data, want_.data(), n) == 0) {
        offset_ += n;
        verified_ += n;
        return;
    }
    check_slowly(data, n);
}

void stream_check::check_slowly(const std::uint8_t* data, std::size_t n)
{
    std::size_t i = 0;
    while (i < n) {
        if (data[i] == byte_at(key_, offset_)) {
            ++i;
            ++offset_;
            ++verified_;
            continue;
        }
        // Two whole words that follow each other in the counter, but not where the stream should
        // be, say where it went on: a block was lost or came again. Anything less is a wrong byte.
        // They are looked for from the start of this byte's word when it is in this block (bytes
        // before the mismatch may have matched by chance), else from the next word.
        const std::size_t back = static_cast<std::size_t>(offset_ & 3);
        const std::size_t k = back <= i ? i - back : i + (4 - back);
        const std::uint64_t at = back <= i ? offset_ - back : offset_ + (4 - back);
        if (k + 8 <= n) {
            const std::uint32_t w0 = le32(data + k) ^ key_, w1 = le32(data + k + 4) ^ key_;
            const auto expected = static_cast<std::uint32_t>(at >> 2);
            const std::int64_t bytes = std::int64_t{static_cast<std::int32_t>(w0 - expected)} * 4;
            const std::uint64_t from = std::min(at, offset_);
            if (w1 == w0 + 1 && w0 != expected && (bytes > 0 || std::uint64_t(-bytes) <= from)) {
                if (k < i) {  // those bytes belong after the jump
                    verified_ -= i - k;
                    offset_ = at;
                    i = k;
                }
                if (!first_jump_)
                    first_jump_ = jump{offset_, bytes};
                ++jumps_;
                offset_ = static_cast<std::uint64_t>(static_cast<std::int64_t>(offset_) + bytes);
                continue;
            }
        }
        if (!first_wrong_)
            first_wrong_ = wrong_byte{offset_, byte_at(key_, offset_), data[i]};
        ++wrong_;
        ++i;
        ++offset_;
    }
}

} // namespace cli::burn_in
