// A one-line progress bar with rate and time left, redrawn on a terminal only.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace cli {

class progress_bar {
public:
    // Draws on `out` when it is a terminal and the work is at least `min_total` bytes; a
    // `total` of 0 means unknown (no percentage, no time left).
    progress_bar(std::FILE* out, std::uint64_t total, std::uint64_t min_total = 0);
    ~progress_bar();
    void update(std::uint64_t done, bool force = false);
    void finish();
    bool enabled() const { return enabled_; }

private:
    std::FILE* out_;
    std::uint64_t total_;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_{};
};

} // namespace cli
