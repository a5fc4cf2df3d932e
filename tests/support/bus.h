// The process's virtual bus: each test case runs in a process of its own.
//
// A test case's own traffic can become its replay: with OSTRANE_TEST_CAPTURE=FILE the bus records
// every transfer there; with OSTRANE_TEST_REPLAY=FILE each board the test plugs is, in its place,
// the next board of that capture (they were recorded in the order they were plugged). A replay
// has no model: what a test sets in it or reads from it is left out (see model()), a request the
// capture cannot answer fails the test with the replay's report, and a board unplugged when
// recorded is unplugged by the replay at the same point.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "replay/recording.h"
#include "replay/replay_board.h"
#include "support/wait.h"
#include "umockdev/virtual_bus.h"

namespace test_support {

inline const char* replay_file()
{
    static const char* const file = std::getenv("OSTRANE_TEST_REPLAY");
    return file;
}

inline bool replaying() { return replay_file() != nullptr; }

// Made on first use, which must come before the library's first call (libusb has to start after
// the bus exists); the first use's `trace` is the one kept. Never destroyed: the library releases
// libusb when it is unloaded after main returns, and the emulated devices must still exist then.
inline vboard::VirtualBus& bus(FILE* trace = nullptr)
{
    static vboard::VirtualBus* const instance = [trace] {
        vboard::VirtualBus::Options options;
        options.trace = trace;
        if (const char* capture = std::getenv("OSTRANE_TEST_CAPTURE"))
            options.capture_file = capture;
        return new vboard::VirtualBus(options);
    }();
    return *instance;
}

// The replayed boards whose capture holds their unplug.
inline std::set<int>& unplugged_by_replay()
{
    static auto* const ids = new std::set<int>;
    return *ids;
}

// Plugs a board with `config`; under replay, the capture's next board instead (never freed, as
// the bus is not).
inline vboard::PluggedBoard plug_board(const vboard::BoardConfig& config = {})
{
    if (!replaying())
        return bus().plug(config);
    using vboard::replay::ReplayBoard;
    static std::vector<std::shared_ptr<ReplayBoard>>* const boards = [] {
        auto* loaded = new std::vector<std::shared_ptr<ReplayBoard>>;
        for (auto& recording : vboard::replay::boards_of(vboard::replay::read_capture_file(replay_file()), {}))
            loaded->push_back(std::make_shared<ReplayBoard>(std::move(recording), ReplayBoard::Options{}));
        return loaded;
    }();
    static std::size_t next = 0;
    if (next == boards->size())
        throw std::runtime_error("the capture holds no further board");
    auto board = (*boards)[next++];
    board->set_divergence_callback([](const std::string& report) { ADD_FAILURE() << report; });
    std::fprintf(stderr, "replay: %s of %s in place of a model board\n", board->name().c_str(), replay_file());
    const vboard::PluggedBoard plugged = bus().plug_device(board, board->identity());
    if (board->unplugs())
        unplugged_by_replay().insert(plugged.id);
    // An unplug in the capture happens where it happened; one the test makes itself may come first.
    board->set_unplug_callback([id = plugged.id] {
        try {
            bus().unplug(id);
        } catch (const std::exception&) {
        }
    });
    return plugged;
}

// Unplugs a board. Under replay the capture's own unplug, where it holds one, is the one, at its
// recorded point: this waits for it (false if it never came).
inline bool unplug(int id)
{
    if (unplugged_by_replay().count(id) == 0) {
        bus().unplug(id);
        return true;
    }
    return eventually([id] { return !bus().plugged(id); });
}

// The model of a plugged board, or null under replay.
inline vboard::Board* model(int id) { return replaying() ? nullptr : &bus().board(id); }

} // namespace test_support
