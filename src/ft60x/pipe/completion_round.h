// The last steps of pipe completions (waking a reader or writer, counting the transfer back) on
// the library's event thread, held until its round of event handling ends.
//
// The thread handles the devices of a round in the order libusb polls them, which is the order
// they were opened. Woken in the middle of the round, readers and writers take the cores from
// the rest of it, and are woken in that same order round after round: with 7 boards streaming on
// 2 cores the board opened last got 0.70 to 0.90 of the mean share. Held to the round's end,
// every transfer of the round is out again first, and the wakes start at another place each
// round, so that no board is always served last.
#pragma once

#include <cstddef>
#include <vector>

class pipe;

class completion_round {
  public:
    // On the event thread: runs one round of event handling, `handle`, then the held steps.
    template <typename Handle> static auto run(Handle handle) {
        begin();
        auto result = handle();
        end();
        return result;
    }
    // From a completion: true when the steps are held for the round's end (then the pipe is
    // still in use until they ran), false when not in a round (run them now).
    static bool hold(class pipe* p, bool wake);

  private:
    static void begin();
    static void end();
};
