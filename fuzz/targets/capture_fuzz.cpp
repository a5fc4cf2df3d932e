// Captures handed to --replay: any bytes are read as a usbmon capture or refused with one line,
// and what is read keeps within what the file says (no data beyond a transfer's length, no frame
// beyond the file's); the boards found in it all carry the FT60x interface.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "replay/capture.h"
#include "replay/recording.h"

namespace {

void one_line(const vboard::replay::CaptureError& e) {
    const std::string what = e.what();
    if (what.empty() || what.find('\n') != std::string::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace vboard::replay;
    Capture capture;
    try {
        capture = read_capture({data, size});
    } catch (const CaptureError& e) {
        one_line(e);
        return 0;
    }
    for (const auto& device : capture.devices)
        for (const auto& t : device.transfers)
            if (t.out.size() > t.out_length || t.in.size() > t.in_length || t.complete_frame > capture.frames ||
                t.submit_frame > capture.frames || (t.setup && t.type != 2))
                std::abort();
    try {
        for (const auto& board : boards_of(std::move(capture), std::nullopt))
            if (!is_board(board.descriptors)) std::abort();
    } catch (const CaptureError& e) {
        one_line(e);
    }
    return 0;
}
