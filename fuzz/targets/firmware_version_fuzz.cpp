// The firmware version text: any 16 (or other number of) bytes. Where every number is short
// enough for sscanf's result to be defined, the parser must agree with sscanf("%u.%u.%u").
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ft60x/parse/firmware_version.h"

namespace {
bool numbers_are_short(const char* text)
{
    int run = 0;
    for (const char* p = text; *p; ++p) {
        run = (*p >= '0' && *p <= '9') ? run + 1 : 0;
        if (run > 9)
            return false;
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> text(data, data + size);
    std::uint32_t version = 0xA5A5A5A5;
    const bool ok = parse_firmware_version(text.data(), text.size(), &version);
    const bool has_dash = std::memchr(data, '-', size) != nullptr;
    if (ok != has_dash)
        std::abort();
    if (!ok || size > 256)
        return 0;
    std::vector<char> copy(data, data + size);
    copy.push_back(0);
    *static_cast<char*>(std::memchr(copy.data(), '-', size)) = 0;
    if (!numbers_are_short(copy.data()))
        return 0;
    unsigned major = 0, minor = 0, build = 0;
    std::sscanf(copy.data(), "%u.%u.%u", &major, &minor, &build);
    if (version != ((major << 24) | (minor << 16) | build))
        std::abort();
    return 0;
}
