// A bounded wait for a state the test needs, rather than a guess at how long it takes.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace test_support {

// Waits for `done`, checking every millisecond, for at most `bound` (generous, so that a busy
// machine does not fail the test); true when it came true.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds bound = std::chrono::seconds(60))
{
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace test_support
