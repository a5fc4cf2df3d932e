// Hostile mode of the virtual board: a byte stream decides how the board answers each USB-level
// request (normally, stalled, short, with contents from the stream, late, or not yet), so that a
// fuzzer or a PRNG can drive a board that lies in every way a USB device can. When the stream runs
// out the board answers normally again, so every run ends with a working board.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace vboard {

class ReplySource {
public:
    explicit ReplySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

    uint8_t next();                               // 0 once the stream is used up
    void fill(uint8_t* out, size_t n);            // contents from the stream
    size_t used() const;
    bool exhausted() const;

private:
    mutable std::mutex mutex_;
    std::vector<uint8_t> bytes_;
    size_t pos_ = 0;
};

enum class HostileAction {
    normal,   // answer as the board would
    stall,    // STALL
    shorten,  // the normal answer cut to `length` bytes (IN) or `length` bytes taken (OUT)
    garbage,  // IN: `length` bytes from the stream instead of the answer
    delay,    // control: the normal answer after `delay`
    nak,      // bulk/interrupt: nothing yet
};

struct HostileDecision {
    HostileAction action = HostileAction::normal;
    size_t length = 0;  // never more than the request's own length
    std::chrono::milliseconds delay{0};
};

// One decision for a request of at most `max_length` bytes; a zero byte (and so an exhausted
// stream) means a normal answer.
HostileDecision decide(ReplySource& source, size_t max_length);

}  // namespace vboard
