// The launcher's script format: any text is either parsed or refused with a message naming its line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>

#include "script.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    try {
        const auto events = vboard::launcher::parse_script(in, vboard::BoardConfig{});
        for (const auto& e : events)
            if (e.line < 1 || (e.action != "plug" && (e.board < 1 || e.board > 1000)))
                std::abort();
    } catch (const std::runtime_error& e) {
        if (std::string(e.what()).rfind("script line ", 0) != 0)
            std::abort();
    }
    return 0;
}
