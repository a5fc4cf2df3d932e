#include "ft60x/pipe/completion_round.h"

#include "ft60x/pipe/pipe.h"

namespace {

struct held_step {
    class pipe* p;
    bool wake;
};

// Only the event thread runs rounds; a completion elsewhere finds no round and ends at once.
thread_local bool in_round = false;
thread_local std::vector<held_step> held;
thread_local std::size_t first = 0;

} // namespace

void completion_round::begin() { in_round = true; }

void completion_round::end() {
    in_round = false;
    const std::size_t n = held.size();
    if (n == 0)
        return;
    const std::size_t start = first++ % n;
    for (std::size_t i = 0; i < n; ++i) {
        const held_step& s = held[(start + i) % n];
        s.p->end_completion(s.wake);
    }
    held.clear();
}

bool completion_round::hold(class pipe* p, bool wake) {
    if (!in_round)
        return false;
    held.push_back({p, wake});
    return true;
}
