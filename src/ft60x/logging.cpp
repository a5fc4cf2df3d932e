#include "ft60x/logging.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace {

// Threshold, kept in one byte: levels are compared as unsigned bytes.
std::uint8_t lvl = 0;

// Null stands for the standard output. Keeping stdout out of the static initialiser means an
// FT_SetDebug made from another unit's static initialisation is never overwritten.
std::FILE* fp = nullptr;

std::FILE* current_stream() {
    return fp != nullptr ? fp : stdout;
}

} // namespace

void logging(FT_LOG_LEVEL level, const char* format, ...) {
    if (static_cast<std::uint8_t>(level) > lvl)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(current_stream(), format, args);
    va_end(args);
}

extern "C" FT60X_API void FT_SetDebug(FILE* stream, FT_LOG_LEVEL level) {
    // The library owns an installed stream until it is replaced; the standard output is never
    // closed.
    std::FILE* old = current_stream();
    if (old != stdout && old != stream)
        std::fclose(old);
    fp = stream != nullptr ? stream : stdout;
    lvl = static_cast<std::uint8_t>(level);
}
