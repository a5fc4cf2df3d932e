// --replay: the boards of a capture, plugged in place of the model, and what the launcher says
// when the program did not do what was recorded.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "replay/replay_board.h"
#include "umockdev/virtual_bus.h"
#include "usbip/usbip_server.h"

namespace vboard::launcher {

// The launcher's own status when a replay diverged (or, with --strict, left requests unanswered),
// whatever the program's status.
constexpr int replay_diverged_status = 125;

class Replay {
public:
    struct Options {
        std::string capture;
        std::string descriptors;  // a sysfs descriptors file, for boards the capture did not see enumerate
        bool strict = false;
        bool realtime = false;
    };
    // Reads the capture. Throws std::runtime_error with one line when it cannot be replayed.
    explicit Replay(Options options);

    size_t boards() const { return boards_.size(); }
    // Plugs the first `count` boards of the capture; returns their ids on the bus.
    std::vector<int> plug(VirtualBus& bus, size_t count);
    // Offers the first `count` boards to USB/IP clients instead; a recorded unplug ends the import.
    std::vector<int> serve(UsbipServer& server, size_t count);
    // After the program: prints the divergence (already told as it happened) and, with --strict,
    // what the capture still held. The launcher's status: `program_status`, or its own.
    int finish(int program_status) const;
    // Before the bus goes: a recorded unplug no longer reaches it.
    void detach();

private:
    Options options_;
    std::vector<std::shared_ptr<replay::ReplayBoard>> boards_;
};

}  // namespace vboard::launcher
