#include "model/hostile.h"

#include <algorithm>

namespace vboard {

uint8_t ReplySource::next() {
    std::lock_guard lock(mutex_);
    return pos_ < bytes_.size() ? bytes_[pos_++] : 0;
}

void ReplySource::fill(uint8_t* out, size_t n) {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < n; ++i) out[i] = pos_ < bytes_.size() ? bytes_[pos_++] : 0;
}

size_t ReplySource::used() const {
    std::lock_guard lock(mutex_);
    return pos_;
}

bool ReplySource::exhausted() const {
    std::lock_guard lock(mutex_);
    return pos_ >= bytes_.size();
}

HostileDecision decide(ReplySource& source, size_t max_length) {
    const uint8_t op = source.next();
    HostileDecision d;
    // Half of the values answer normally so that a run gets past the first requests.
    switch (op % 16) {
    case 8: d.action = HostileAction::stall; break;
    case 9:
    case 10: {
        d.action = HostileAction::shorten;
        const size_t want = static_cast<size_t>(source.next()) | (static_cast<size_t>(source.next()) << 8);
        d.length = max_length == 0 ? 0 : want % max_length;  // strictly shorter
        break;
    }
    case 11:
    case 12: {
        d.action = HostileAction::garbage;
        // Mostly the whole length (a lying answer looks complete), sometimes less.
        const uint8_t cut = source.next();
        d.length = (cut & 0x80) || max_length == 0 ? max_length : cut % (max_length + 1);
        break;
    }
    case 13: {
        d.action = HostileAction::delay;
        const uint8_t ms = source.next();
        // Up to 300 ms; 0xFF waits past the host's 1 s request time-out.
        d.delay = std::chrono::milliseconds(ms == 0xFF ? 1200 : (ms % 16) * 20);
        break;
    }
    case 14: d.action = HostileAction::nak; break;
    default: break;
    }
    return d;
}

}  // namespace vboard
