#include "ft60x/logging.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace {

// Threshold, kept in one byte: levels are compared as unsigned bytes. Atomic (relaxed) only so
// that background threads reading it while the host changes it is defined; no ordering is needed.
std::atomic<std::uint8_t> lvl{0};

// Null stands for the standard output. Keeping stdout out of the static initialiser means an
// FT_SetDebug made from another unit's static initialisation is never overwritten.
std::atomic<std::FILE*> fp{nullptr};

std::FILE* current_stream() {
    std::FILE* f = fp.load(std::memory_order_relaxed);
    return f != nullptr ? f : stdout;
}

// A C caller may pass any int as a level, beyond the enumerators that bound the enum's range in
// C++: it is read by its bytes, never loaded as the enum, and its low byte is the level.
std::uint8_t level_byte(const FT_LOG_LEVEL& level) {
    std::underlying_type_t<FT_LOG_LEVEL> raw;
    std::memcpy(&raw, &level, sizeof raw);
    return static_cast<std::uint8_t>(raw);
}

} // namespace

void logging(FT_LOG_LEVEL level, const char* format, ...) {
    if (level_byte(level) > lvl.load(std::memory_order_relaxed))
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(current_stream(), format, args);
    va_end(args);
}

extern "C" FT60X_API void FT_SetDebug(FILE* stream, FT_LOG_LEVEL level) {
    // The library owns an installed stream until it is replaced; the standard output is never
    // closed. The new stream goes in before the old one is closed, which keeps the window small for
    // a message racing the change (the host should not change the log while the library runs).
    std::FILE* old = current_stream();
    fp.store(stream != nullptr ? stream : stdout, std::memory_order_relaxed);
    lvl.store(level_byte(level), std::memory_order_relaxed);
    if (old != stdout && old != stream)
        std::fclose(old);
}
