// Timed events for the launcher: one per line, "<ms> <action> [arguments]". An "await" line holds
// the lines after it until the host has done something to a board; their times count from then.
#pragma once

#include <chrono>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "model/board_config.h"

namespace vboard::launcher {

struct Event {
    std::chrono::milliseconds at{0};  // after the child started, or after the last await was met
    std::string action;               // plug, unplug, stall-control, ...
    int board = 0;                    // 1-based board number (not for plug)
    std::vector<std::string> args;    // the rest, checked by parse
    BoardConfig plug_config;          // for plug
    int line = 0;
};

// Parses a whole script; on the first bad line, throws std::runtime_error with a one-line message
// naming the line.
std::vector<Event> parse_script(std::istream& in, const BoardConfig& defaults);

}  // namespace vboard::launcher
