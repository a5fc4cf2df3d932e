#include "replay.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "replay/capture.h"
#include "replay/recording.h"

namespace vboard::launcher {

using namespace replay;

namespace {

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

Replay::Replay(Options options) : options_(std::move(options)) {
    std::optional<std::vector<uint8_t>> descriptors;
    if (!options_.descriptors.empty()) {
        descriptors = read_file(options_.descriptors);
        if (!is_board(*descriptors))
            throw std::runtime_error("the descriptors in " + options_.descriptors + " are not a board's");
    }
    std::vector<Recording> recordings;
    try {
        recordings = boards_of(read_capture_file(options_.capture), descriptors);
    } catch (const CaptureError& e) {
        throw std::runtime_error("cannot replay " + options_.capture + ": " + e.what());
    }
    ReplayBoard::Options board_options;
    board_options.realtime = options_.realtime;
    for (auto& r : recordings) boards_.push_back(std::make_shared<ReplayBoard>(std::move(r), board_options));
}

namespace {

void tell_divergence(ReplayBoard& board) {
    // Told as it happens: a program that hangs on a stalled board still shows why.
    board.set_divergence_callback([](const std::string& report) {
        std::fprintf(stderr, "ostrane-virtual-board: %s\n", report.c_str());
    });
}

}  // namespace

std::vector<int> Replay::serve(UsbipServer& server, size_t count) {
    std::vector<int> ids;
    for (size_t i = 0; i < std::min(count, boards_.size()); ++i) {
        tell_divergence(*boards_[i]);
        const int id = server.add(boards_[i], boards_[i]->identity());
        ids.push_back(id);
        boards_[i]->set_unplug_callback([&server, id] { server.remove(id); });
    }
    return ids;
}

std::vector<int> Replay::plug(VirtualBus& bus, size_t count) {
    std::vector<int> ids;
    for (size_t i = 0; i < std::min(count, boards_.size()); ++i) {
        tell_divergence(*boards_[i]);
        const int id = bus.plug_device(boards_[i], boards_[i]->identity()).id;
        ids.push_back(id);
        boards_[i]->set_unplug_callback([&bus, id] {
            try {
                bus.unplug(id);
            } catch (const std::exception&) {
                // a script's unplug came first
            }
        });
    }
    return ids;
}

void Replay::detach() {
    for (const auto& b : boards_) b->set_unplug_callback({});
}

int Replay::finish(int program_status) const {
    bool failed = false;
    for (const auto& b : boards_) {
        if (!b->divergence().empty()) failed = true;
        if (!options_.strict) continue;
        for (const auto& line : b->unanswered()) {
            std::fprintf(stderr, "ostrane-virtual-board: unanswered: %s\n", line.c_str());
            failed = true;
        }
    }
    return failed ? replay_diverged_status : program_status;
}

}  // namespace vboard::launcher
