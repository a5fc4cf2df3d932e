#include "replay/replay_board.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "model/timer_queue.h"

namespace vboard::replay {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Byte order, by hand: GCC 12 at -O3 sees an impossible bound in the library's memcmp of two vectors.
struct BytesLess {
    bool operator()(const Bytes& a, const Bytes& b) const {
        const size_t n = std::min(a.size(), b.size());
        for (size_t i = 0; i < n; ++i)
            if (a[i] != b[i]) return a[i] < b[i];
        return a.size() < b.size();
    }
};

constexpr int32_t status_stall = -EPIPE;
constexpr int32_t status_short = -EREMOTEIO;  // an IN transfer that ended short where it must not
bool unplugged(const Transfer& t) { return t.completed && (t.status == -ESHUTDOWN || t.status == -ENODEV); }
constexpr size_t max_unanswered_lines = 1000;

std::string hex(const uint8_t* p, size_t n, size_t limit = 32) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < std::min(n, limit); ++i) {
        std::snprintf(b, sizeof b, i ? " %02x" : "%02x", p[i]);
        s += b;
    }
    if (n > limit) s += " ...";
    return s;
}

bool is_vendor(const std::array<uint8_t, 8>& setup) { return (setup[0] & 0x60) == 0x40; }

// The board's UART bridge, read through vendor I2C requests: its receive FIFO and receive level.
constexpr uint8_t i2c_request = 5, bridge_slave = 0x0D, bridge_rx_fifo = 0x10, bridge_rx_level = 0x12;
bool bridge_read(const SetupPacket& s, uint8_t reg) {
    return s.bmRequestType == 0xC0 && s.bRequest == i2c_request && (s.wIndex & 0xFF) == bridge_slave && s.wValue == reg;
}
bool is_standard(const std::array<uint8_t, 8>& setup) { return (setup[0] & 0x60) == 0; }

// A recorded answer given back: `length` bytes of which the capture kept `kept`; the rest, cut
// by the snap length, reads as zeros.
size_t copy_answer(const Transfer& t, uint8_t* buffer, size_t room) {
    const size_t n = std::min<size_t>(room, t.in_length);
    const size_t kept = std::min(n, t.in.size());
    std::memcpy(buffer, t.in.data(), kept);
    std::memset(buffer + kept, 0, n - kept);
    return n;
}

}  // namespace

struct ReplayBoard::Impl {
    // The recorded requests with one setup packet and OUT data, in recorded order.
    struct Key {
        std::vector<size_t> entries;     // transfer indices
        std::vector<size_t> run_start;   // per entry: where the run of equal answers it is in starts
        size_t served = 0;               // one past the furthest entry given
        // Which entries were given (the host's threads may ask for them in another order than
        // recorded), the last one given and how many commands had come then.
        std::vector<bool> given;
        std::optional<size_t> last;
        uint64_t last_after = 0;
        uint64_t fifo_read_at_last = 0;  // bytes read from the bridge's receive FIFO by then
    };
    // Something the host must have sent before a later recorded answer may be given.
    struct Gate {
        uint64_t frame = 0;
        int64_t us = 0;
        Key* key = nullptr;              // a vendor request ...
        uint8_t out_ep = 0;              // ... or a bulk OUT transfer
        size_t need = 0;                 // served (or taken) count that satisfies it
    };
    struct OutPipe {
        std::vector<size_t> entries;
        // Per entry: the bulk IN answers recorded before the board took it (endpoint, count). A
        // board that takes data only as the host reads (a full loopback FIFO) does so again.
        std::vector<std::vector<std::pair<uint8_t, size_t>>> ins_before;
        size_t taken = 0;
        std::optional<Clock::time_point> asked;
        std::optional<Clock::time_point> timer_due;
        bool stuck = false;              // the recorded transfer was cancelled part-way: nothing more
    };
    struct InPipe {
        std::vector<size_t> entries;
        std::vector<size_t> gates_before;  // per entry: gates recorded before its completion
        size_t given = 0;
        Clock::time_point last_given{};
        std::optional<Clock::time_point> asked;  // when the host first asked for the next entry
        std::optional<Clock::time_point> timer_due;
        bool host_waiting = false;       // the host has a transfer here that got nothing yet
        // A notification endpoint whose board signalled the same status again while it stayed
        // unread: the shortest such gap recorded.
        std::optional<std::chrono::microseconds> resignal;
        // A notification endpoint: per entry, the transfers the recorded host cancelled there
        // before it submitted the one the entry answered (a handle closed, another opened); and
        // how many the host here has cancelled. An answer never goes to a transfer that, recorded,
        // was cancelled.
        std::vector<size_t> cancels_before;
        size_t cancelled = 0;
    };

    Recording rec;
    Options options;
    std::map<Bytes, Key, BytesLess> keys;           // setup (8 bytes) followed by the OUT data
    std::vector<Gate> gates;             // by recorded frame
    size_t gates_met = 0;
    uint64_t progress = 0;               // the furthest recorded vendor request answered
    // Where in the recording the host is now: the recorded place of the last vendor command it
    // sent (back as well as forth: its threads may send their commands in another order than
    // recorded), or of a read answered since, whichever is later.
    uint64_t context = 0;
    uint64_t commands_taken = 0;         // vendor commands answered so far
    uint64_t fifo_read = 0;              // bytes the host has read from the bridge's receive FIFO
    std::vector<Clock::time_point> gate_met_at;
    std::map<uint8_t, OutPipe> out_pipes;
    std::map<uint8_t, InPipe> in_pipes;
    std::map<uint8_t, int> endpoint_types;
    std::set<uint8_t> vendor_endpoints;  // the FT60x interfaces' (not a class function's)
    int interfaces = 0;
    Clock::time_point start = Clock::now();
    Clock::time_point last_request = start;  // the host's last control request or bulk OUT
    int64_t first_us = 0;
    std::string divergence;
    bool divergence_told = false;

    mutable std::mutex mutex;
    std::function<void()> data_ready;
    int calling = 0;                     // calls of data_ready running now
    std::condition_variable called;
    std::function<void(const std::string&)> on_divergence;
    // The recorded unplug: the first transfer the device's going ended; what must come before it.
    uint64_t unplug_frame = 0;
    int64_t unplug_us = 0;
    size_t unplug_gates = 0;
    std::map<uint8_t, size_t> unplug_ins;  // per IN endpoint: completions recorded before it
    std::set<uint8_t> unplug_ended;      // IN endpoints with a transfer in flight that it ended
    bool unplug_scheduled = false;
    std::function<void()> on_unplug;
    int unplugging = 0;                  // calls of on_unplug running now (the bus's unplug clears
                                         // data_ready from inside one: a count of its own)
    std::unique_ptr<TimerQueue> timer;   // last: its thread stops before the rest goes

    Impl(Recording r, Options o) : rec(std::move(r)), options(o) {
        parse_layout();
        for (size_t i = 0; i < rec.transfers.size(); ++i) add(i);
        std::sort(gates.begin(), gates.end(), [](const Gate& a, const Gate& b) { return a.frame < b.frame; });
        gate_met_at.resize(gates.size());
        for (auto& [ep, pipe] : in_pipes)
            for (size_t e : pipe.entries) {
                const uint64_t frame = rec.transfers[e].complete_frame;
                pipe.gates_before.push_back(static_cast<size_t>(
                    std::lower_bound(gates.begin(), gates.end(), frame,
                                     [](const Gate& g, uint64_t f) { return g.frame < f; }) -
                    gates.begin()));
            }
        for (auto& [ep, pipe] : in_pipes) {
            if (!vendor_endpoints.count(ep) || endpoint_types[ep] != 1) continue;
            for (size_t i = 1; i < pipe.entries.size(); ++i) {
                const Transfer& a = rec.transfers[pipe.entries[i - 1]];
                const Transfer& b = rec.transfers[pipe.entries[i]];
                const std::chrono::microseconds gap{b.complete_us - a.complete_us};
                if (b.status == 0 && same_answer(a, b) && gap.count() > 0 && (!pipe.resignal || gap < *pipe.resignal))
                    pipe.resignal = gap;
            }
            std::vector<uint64_t> cancels;
            for (const auto& t : rec.transfers)
                if (!t.setup && t.endpoint == ep && t.completed && (t.status == -ENOENT || t.status == -ECONNRESET))
                    cancels.push_back(t.complete_frame);
            std::sort(cancels.begin(), cancels.end());
            for (size_t e : pipe.entries)
                pipe.cancels_before.push_back(static_cast<size_t>(
                    std::lower_bound(cancels.begin(), cancels.end(), rec.transfers[e].submit_frame) - cancels.begin()));
        }
        for (auto& [ep, pipe] : out_pipes)
            for (size_t e : pipe.entries) {
                std::vector<std::pair<uint8_t, size_t>> before;
                for (const auto& [in_ep, in] : in_pipes) {
                    if (rec.transfers[in.entries.front()].type != 3) continue;
                    size_t n = 0;
                    while (n < in.entries.size() && rec.transfers[in.entries[n]].complete_frame < rec.transfers[e].complete_frame)
                        ++n;
                    if (n) before.emplace_back(in_ep, n);
                }
                pipe.ins_before.push_back(std::move(before));
            }
        for (const auto& t : rec.transfers)
            if (t.submit_frame) {
                first_us = t.submit_us;
                break;
            }
        // Only the host program's transfers tell of an unplug in its course: a class driver of the
        // recording host (uvcvideo's status read) holds its own until the device goes at the end.
        for (const auto& t : rec.transfers)
            if (unplugged(t) && (t.setup || vendor_endpoints.count(t.endpoint)) &&
                (unplug_frame == 0 || t.complete_frame < unplug_frame)) {
                unplug_frame = t.complete_frame;
                unplug_us = t.complete_us;
            }
        // It ended what was in flight then; the replay's host has it in flight too before it comes.
        for (const auto& t : rec.transfers)
            if (unplug_frame && unplugged(t) && !t.setup && t.in_direction() && vendor_endpoints.count(t.endpoint) &&
                t.submit_frame && t.submit_frame < unplug_frame)
                unplug_ended.insert(t.endpoint);
        if (unplug_frame) {
            unplug_gates = static_cast<size_t>(
                std::lower_bound(gates.begin(), gates.end(), unplug_frame,
                                 [](const Gate& g, uint64_t f) { return g.frame < f; }) - gates.begin());
            for (const auto& [ep, pipe] : in_pipes)
                for (size_t e : pipe.entries)
                    if (rec.transfers[e].complete_frame < unplug_frame) ++unplug_ins[ep];
        }
        timer = std::make_unique<TimerQueue>();
    }

    void parse_layout() {
        const Bytes& d = rec.descriptors;
        if (d.size() >= 18 + 9) interfaces = d[18 + 4];
        bool vendor = false;
        for (size_t i = 18; i + 3 < d.size() && d[i] >= 2; i += d[i]) {
            if (d[i + 1] == 4 && i + 5 < d.size()) vendor = d[i + 5] == 0xFF;
            if (d[i + 1] == 5) {
                const int attributes = d[i + 3] & 3;
                endpoint_types[d[i + 2]] = attributes == 2 ? 3 : attributes == 3 ? 1 : 0;
                if (vendor) vendor_endpoints.insert(d[i + 2]);
            }
        }
    }

    void add(size_t index) {
        const Transfer& t = rec.transfers[index];
        if (t.setup) {
            Bytes k(t.setup->begin(), t.setup->end());
            k.insert(k.end(), t.out.begin(), t.out.end());
            Key& key = keys[k];
            const bool same = !key.entries.empty() && same_answer(rec.transfers[key.entries.back()], t);
            key.run_start.push_back(same ? key.run_start.back() : key.entries.size());
            key.entries.push_back(index);
            // The host's stack asks standard and class requests of its own accord (enumeration, a
            // video driver binding): a replay elsewhere need not ask them too.
            if (is_vendor(*t.setup) && t.submit_frame)
                gates.push_back({t.submit_frame, t.submit_us, &key, 0, key.run_start.back() + 1});
            return;
        }
        if (t.type != 1 && t.type != 3) return;
        if (!t.in_direction()) {
            // A transfer cancelled before the device took anything carried nothing to it.
            if (!t.completed || (t.status != 0 && t.in_length == 0)) return;
            OutPipe& pipe = out_pipes[t.endpoint];
            pipe.entries.push_back(index);
            // A reply never comes before the data it answers: the IN answers recorded after the
            // board took this wait for it.
            gates.push_back({t.complete_frame, t.complete_us, nullptr, t.endpoint, pipe.entries.size()});
            return;
        }
        if (!t.completed || (t.status != 0 && t.status != status_stall && t.status != status_short)) return;
        in_pipes[t.endpoint].entries.push_back(index);
    }

    static bool same_answer(const Transfer& a, const Transfer& b) {
        return a.completed == b.completed && a.status == b.status && a.in_length == b.in_length && a.in == b.in;
    }

    bool gate_met(const Gate& g) const {
        // A vendor request is also behind when one recorded after it has been answered: the host
        // went past it (a poll that ended sooner).
        if (g.key) return g.key->served >= g.need || g.frame < progress;
        const auto it = out_pipes.find(g.out_ep);
        return it != out_pipes.end() && it->second.taken >= g.need;
    }

    // Whether every command (an OUT vendor request, a bulk OUT transfer) recorded before `frame`
    // has come.
    bool commands_came_before(uint64_t frame) const {
        for (size_t g = gates_met; g < gates.size() && gates[g].frame < frame; ++g) {
            const Gate& gate = gates[g];
            const bool command = gate.key == nullptr || (rec.transfers[gate.key->entries.front()].setup->at(0) & 0x80) == 0;
            if (command && !gate_met(gate)) return false;
        }
        return true;
    }

    void advance_gates() {
        const auto now = Clock::now();
        while (gates_met < gates.size() && gate_met(gates[gates_met])) gate_met_at[gates_met++] = now;
        unplug_if_due();
    }

    // On the timer's thread: the bus's unplug takes the bus's locks, which the request that got
    // the replay here may hold.
    void unplug_if_due() {
        if (!unplug_frame || unplug_scheduled || !on_unplug || gates_met < unplug_gates) return;
        for (const auto& [ep, count] : unplug_ins)
            if (in_pipes[ep].given < count) return;
        for (uint8_t ep : unplug_ended)
            if (!in_pipes[ep].host_waiting) return;
        unplug_scheduled = true;
        // As long after its last prerequisite as recorded: it is the board's event, not an answer.
        const auto after = [](Clock::time_point base, int64_t us) {
            return base + std::chrono::microseconds(std::max<int64_t>(0, us));
        };
        const auto due = unplug_gates ? after(gate_met_at[unplug_gates - 1], unplug_us - gates[unplug_gates - 1].us)
                                      : after(start, unplug_us - first_us);
        timer->schedule(due, [this] { call_counted(on_unplug, unplugging); });
    }

    void set_unplug(std::function<void()> callback) {
        set_counted(on_unplug, std::move(callback), unplugging);
        std::lock_guard lock(mutex);
        unplug_if_due();
    }

    std::string header() const { return "replay of " + rec.name() + ": "; }

    ControlResult answer(const Transfer& t, const SetupPacket& setup, uint8_t* in) const {
        std::chrono::milliseconds took{0};
        if (t.completed && t.complete_us > t.submit_us)
            took = std::chrono::ceil<std::chrono::milliseconds>(std::chrono::microseconds(t.complete_us - t.submit_us));
        // Ended by the unplug when recorded: held until the replay's unplug ends it (which a
        // busy machine may delay well past the recorded moment).
        if (unplugged(t)) return {UsbStatus::ok, 0, std::chrono::seconds(120)};
        // Unanswered when recorded (the host gave up): again past the time the host waited.
        if (!t.completed || (t.status != 0 && t.status != status_stall))
            return {UsbStatus::ok, 0, took + std::chrono::seconds(1)};
        const auto delay = options.realtime ? took : std::chrono::milliseconds(0);
        if (t.status == status_stall) return {UsbStatus::stall, 0, delay};
        return {UsbStatus::ok, setup.is_in() ? copy_answer(t, in, setup.wLength) : setup.wLength, delay};
    }

    // Standard requests the capture lacks, answered as the recorded descriptors say.
    std::optional<ControlResult> standard(const SetupPacket& s, uint8_t* in) const {
        auto give = [&](const uint8_t* p, size_t n) {
            n = std::min<size_t>(n, s.wLength);
            std::memcpy(in, p, n);
            return ControlResult{UsbStatus::ok, n, {}};
        };
        const Bytes& d = rec.descriptors;
        if (s.bmRequestType == 0x80 && s.bRequest == 6) {
            const uint8_t kind = s.wValue >> 8;
            if (kind == 1) return give(d.data(), 18);
            if (kind == 2 && (s.wValue & 0xFF) == 0) return give(d.data() + 18, d.size() - 18);
            // Any recorded reading of the same descriptor, the longest.
            const Transfer* best = nullptr;
            for (const auto& t : rec.transfers)
                if (t.setup && (*t.setup)[0] == 0x80 && (*t.setup)[1] == 6 && (*t.setup)[2] == (s.wValue & 0xFF) &&
                    (*t.setup)[3] == kind && (*t.setup)[4] == (s.wIndex & 0xFF) && (*t.setup)[5] == (s.wIndex >> 8) &&
                    t.completed && t.status == 0 && (!best || t.in.size() > best->in.size()))
                    best = &t;
            if (best) return give(best->in.data(), best->in.size());
            return ControlResult{UsbStatus::stall, 0, {}};
        }
        const uint8_t zeros[2] = {0, 0};
        const uint8_t one = 1;
        if ((s.bmRequestType & 0xE0) == 0x80 && s.bRequest == 0) return give(zeros, 2);   // GET_STATUS
        if (s.bmRequestType == 0x80 && s.bRequest == 8) return give(&one, 1);             // GET_CONFIGURATION
        if (s.bmRequestType == 0x81 && s.bRequest == 10) return give(zeros, 1);           // GET_INTERFACE
        // SET_CONFIGURATION, SET_INTERFACE, SET/CLEAR_FEATURE, SET_SEL, SET_ISOCH_DELAY
        if ((s.bmRequestType & 0xE0) == 0 && (s.bRequest == 1 || s.bRequest == 3 || s.bRequest == 9 ||
                                              s.bRequest == 11 || s.bRequest == 0x30 || s.bRequest == 0x31))
            return ControlResult{UsbStatus::ok, 0, {}};
        return std::nullopt;
    }

    void diverge_control(const Bytes& asked) {
        // The nearest recorded request: the longest common start, then the first not yet used.
        const Transfer* nearest = nullptr;
        size_t best = 0;
        bool best_unused = false;
        for (const auto& [k, key] : keys)
            for (size_t i = 0; i < key.entries.size(); ++i) {
                const size_t n = std::min(k.size(), asked.size());
                const size_t common = static_cast<size_t>(
                    std::mismatch(k.begin(), k.begin() + static_cast<long>(n), asked.begin()).first - k.begin());
                const bool unused = i >= key.served;
                const Transfer& t = rec.transfers[key.entries[i]];
                if (!nearest || common > best || (common == best && unused && !best_unused) ||
                    (common == best && unused == best_unused && t.submit_frame < nearest->submit_frame)) {
                    nearest = &t;
                    best = common;
                    best_unused = unused;
                }
            }
        std::string r = header() + "the capture cannot answer control request " + hex(asked.data(), 8);
        if (asked.size() > 8) r += ", data " + hex(asked.data() + 8, asked.size() - 8);
        if (nearest) {
            Bytes k(nearest->setup->begin(), nearest->setup->end());
            k.insert(k.end(), nearest->out.begin(), nearest->out.end());
            r += "\n  nearest in the capture: frame " + std::to_string(nearest->submit_frame) + ", control request " +
                 hex(k.data(), 8);
            if (k.size() > 8) r += ", data " + hex(k.data() + 8, k.size() - 8);
            r += "\n  first difference: " + difference(asked, k, 8);
        }
        divergence = r;
    }

    // Where two byte strings first differ; `setup`: that many leading bytes are the setup packet.
    static std::string difference(const Bytes& here, const Bytes& there, size_t setup) {
        const size_t n = std::min(here.size(), there.size());
        const size_t at = static_cast<size_t>(
            std::mismatch(here.begin(), here.begin() + static_cast<long>(n), there.begin()).first - here.begin());
        const std::string where = at < setup ? "setup byte " + std::to_string(at)
                                             : (setup ? "data byte " : "byte ") + std::to_string(at - setup);
        char b[64];
        if (at < n) {
            std::snprintf(b, sizeof b, ": %02x here, %02x in the capture", here[at], there[at]);
            return where + b;
        }
        return where + ": " + std::to_string(here.size() - setup) + " data bytes here, " +
               std::to_string(there.size() - setup) + " in the capture";
    }

    ControlResult control(const SetupPacket& s, const uint8_t* out, uint8_t* in) {
        Bytes asked(8);
        asked[0] = s.bmRequestType;
        asked[1] = s.bRequest;
        asked[2] = s.wValue & 0xFF;
        asked[3] = s.wValue >> 8;
        asked[4] = s.wIndex & 0xFF;
        asked[5] = s.wIndex >> 8;
        asked[6] = s.wLength & 0xFF;
        asked[7] = s.wLength >> 8;
        if (!s.is_in() && out) asked.insert(asked.end(), out, out + s.wLength);
        std::lock_guard lock(mutex);
        if (!divergence.empty()) return {UsbStatus::stall, 0, {}};
        last_request = Clock::now();
        Key* key = find_key(asked);
        if (key) {
            const auto [i, fresh] = entry_for(*key, !s.is_in());
            const Transfer& t = rec.transfers[key->entries[i]];
            if (is_vendor(*t.setup)) {
                progress = std::max(progress, t.submit_frame);
                if (fresh && !s.is_in()) {
                    context = t.submit_frame;
                    ++commands_taken;
                } else if (fresh) {
                    context = std::max(context, t.submit_frame);
                }
            }
            advance_gates();
            ControlResult r = answer(t, s, in);
            if (r.status == UsbStatus::ok && bridge_read(s, bridge_rx_fifo)) fifo_read += r.length;
            // A level poll answered again: the board's level has dropped by what the host read from
            // the FIFO since (the recorded level, which the host has acted on, would have it read
            // the same bytes twice).
            if (!fresh && r.status == UsbStatus::ok && r.length == 1 && i == key->last && bridge_read(s, bridge_rx_level))
                in[0] = static_cast<uint8_t>(in[0] - std::min<uint64_t>(in[0], fifo_read - key->fifo_read_at_last));
            return r;
        }
        std::array<uint8_t, 8> setup;
        std::copy(asked.begin(), asked.begin() + 8, setup.begin());
        if (is_standard(setup))
            if (auto r = standard(s, in)) return *r;
        if (!is_vendor(setup)) return {UsbStatus::stall, 0, {}};
        diverge_control(asked);
        return {UsbStatus::stall, 0, {}};
    }

    // Which recorded entry a request gets, and whether it is one not given before: the first not
    // given yet that was recorded after the place the host is at (what the board answered after the
    // same command), unless commands recorded before it have not come (a poll longer than
    // recorded): then the answer it had since the last command, or the one recorded just before.
    // Entries recorded before that place are a poll that ended sooner, passed over.
    std::pair<size_t, bool> entry_for(Key& key, bool command) {
        if (key.given.empty()) key.given.resize(key.entries.size());
        size_t next = static_cast<size_t>(
            std::partition_point(key.entries.begin(), key.entries.end(),
                                 [&](size_t e) { return rec.transfers[e].submit_frame <= context; }) -
            key.entries.begin());
        while (next < key.entries.size() && key.given[next]) ++next;
        // A command the host sends later than recorded (its threads took another turn): its own
        // recorded place, which the host is at again.
        if (next == key.entries.size() && command)
            next = static_cast<size_t>(std::find(key.given.begin(), key.given.end(), false) - key.given.begin());
        const bool held = key.last && key.last_after == commands_taken;
        if (next == key.entries.size() ||
            (key.last && !commands_came_before(rec.transfers[key.entries[next]].submit_frame))) {
            if (held) return {*key.last, false};
            if (next == key.entries.size()) return {key.entries.size() - 1, false};
            if (next > 0) return {next - 1, false};
        }
        key.given[next] = true;
        key.served = std::max(key.served, next + 1);
        key.last = next;
        key.last_after = commands_taken;
        key.fifo_read_at_last = fifo_read;
        return {next, true};
    }

    Key* find_key(const Bytes& asked) {
        if (auto it = keys.find(asked); it != keys.end()) return &it->second;
        // OUT data the snap length cut: the kept part must match.
        for (auto& [k, key] : keys) {
            const Transfer& t = rec.transfers[key.entries.front()];
            if (k.size() < asked.size() && t.out.size() < t.out_length && std::equal(k.begin(), k.end(), asked.begin()) &&
                asked.size() - 8 == t.out_length)
                return &key;
        }
        return nullptr;
    }

    TransferResult bulk_out(uint8_t ep, const uint8_t* data, size_t length) {
        std::lock_guard lock(mutex);
        if (!divergence.empty()) return {UsbStatus::stall, 0};
        auto it = out_pipes.find(ep);
        if (it == out_pipes.end() || it->second.stuck || it->second.taken == it->second.entries.size())
            return {UsbStatus::pending, 0};  // the recorded board took nothing more
        last_request = Clock::now();
        OutPipe& pipe = it->second;
        const Transfer& t = rec.transfers[pipe.entries[pipe.taken]];
        const size_t kept = t.out.size();
        const bool same = length == t.out_length && std::equal(t.out.begin(), t.out.end(), data);
        if (!same) {
            char ep_name[8];
            std::snprintf(ep_name, sizeof ep_name, "0x%02x", ep);
            divergence = header() + "bulk OUT on " + ep_name + " differs from the capture: " + std::to_string(length) +
                         " bytes, " + hex(data, length, 16) + "\n  recorded: frame " + std::to_string(t.submit_frame) +
                         ", " + std::to_string(t.out_length) + " bytes, " + hex(t.out.data(), kept, 16) +
                         "\n  first difference: " +
                         difference(Bytes(data, data + std::min(length, kept)), t.out, 0);
            if (length != t.out_length && std::equal(t.out.begin(), t.out.begin() + std::min(length, kept), data))
                divergence += " (" + std::to_string(length) + " bytes here, " + std::to_string(t.out_length) +
                              " in the capture)";
            return {UsbStatus::stall, 0};
        }
        for (const auto& [in_ep, count] : pipe.ins_before[pipe.taken])
            if (in_pipes[in_ep].given < count) return {UsbStatus::pending, 0};
        if (!pipe.asked) pipe.asked = Clock::now();
        if (options.realtime && t.submit_frame) {
            const auto due = *pipe.asked + std::chrono::microseconds(std::max<int64_t>(0, t.complete_us - t.submit_us));
            if (Clock::now() < due) {
                if (pipe.timer_due != due) {
                    pipe.timer_due = due;
                    timer->schedule(due, [this] { call_counted(data_ready, calling); });
                }
                return {UsbStatus::pending, 0};
            }
        }
        ++pipe.taken;
        pipe.asked.reset();
        advance_gates();
        if (t.status == status_stall) return {UsbStatus::stall, 0};
        if (t.status != 0) {
            pipe.stuck = true;  // the host cancelled it after the board took this much
            return {UsbStatus::ok, std::min<size_t>(t.in_length, length)};
        }
        return {UsbStatus::ok, length};
    }

    TransferResult transfer_in(uint8_t ep, uint8_t* buffer, size_t length) {
        std::unique_lock lock(mutex);
        if (!divergence.empty()) return {UsbStatus::stall, 0};
        // A transfer here waits (for an answer, or for the unplug that ends it when recorded).
        InPipe& pipe = in_pipes[ep];
        pipe.host_waiting = true;
        unplug_if_due();
        if (pipe.given == pipe.entries.size()) return {UsbStatus::pending, 0};
        // Not to a transfer that, recorded, was cancelled before this answer's transfer came.
        if (pipe.given < pipe.cancels_before.size() && pipe.cancelled < pipe.cancels_before[pipe.given])
            return {UsbStatus::pending, 0};
        // A notification the host has gone past here (it went on sooner than recorded) still comes:
        // the host may be waiting for it, as it waited when recorded.
        const size_t gates_needed = pipe.gates_before[pipe.given];
        if (gates_met < gates_needed) return signal_again(pipe, buffer, length);
        const Transfer& t = rec.transfers[pipe.entries[pipe.given]];
        if (!pipe.asked) pipe.asked = Clock::now();
        // A notification is the board's own event, not an answer: it keeps its recorded timing
        // always (a program may still be setting up when it comes).
        if (options.realtime || t.type == 1) {
            const auto due = due_time(pipe, t, gates_needed);
            if (Clock::now() < due) {
                if (pipe.timer_due != due) {
                    pipe.timer_due = due;
                    timer->schedule(due, [this] { call_counted(data_ready, calling); });
                }
                return {UsbStatus::pending, 0};
            }
        }
        ++pipe.given;
        pipe.last_given = Clock::now();
        pipe.asked.reset();
        pipe.host_waiting = false;
        unplug_if_due();
        if (t.status == status_stall) return {UsbStatus::stall, 0};
        return {UsbStatus::ok, copy_answer(t, buffer, length)};
    }

    // The host waits for a notification that, recorded, comes only after commands it has not sent.
    // Recorded, it acted on an earlier signal of the same status (a board signals an unread status
    // again each period, and the host takes signals as a flag): here that signal was taken sooner,
    // and the board, left unread, signals again. It does so once the host has been idle for a few
    // of its recorded periods, so that a host merely slow to send its next command is not given one.
    TransferResult signal_again(InPipe& pipe, uint8_t* buffer, size_t length) {
        if (!pipe.resignal || pipe.given == 0) return {UsbStatus::pending, 0};
        const auto now = Clock::now();
        const auto due = std::max(pipe.last_given, last_request) +
                         std::max<Clock::duration>(4 * *pipe.resignal, std::chrono::milliseconds(20));
        if (now < due) {
            if (pipe.timer_due != due) {
                pipe.timer_due = due;
                timer->schedule(due, [this] { call_counted(data_ready, calling); });
            }
            return {UsbStatus::pending, 0};
        }
        pipe.last_given = now;
        pipe.host_waiting = false;
        return {UsbStatus::ok, copy_answer(rec.transfers[pipe.entries[pipe.given - 1]], buffer, length)};
    }

    // As long after its last prerequisite as it was recorded; with `realtime`, or with no
    // prerequisite, also as long after the endpoint's previous answer and after the host asked for
    // it. (Those two gaps hold the recording host's own pace: kept on top of a command's, a slow
    // recording would make every later reply later still, past the host's time-out.)
    Clock::time_point due_time(const InPipe& pipe, const Transfer& t, size_t gates_needed) const {
        auto after = [](Clock::time_point base, int64_t us) {
            return base + std::chrono::microseconds(std::max<int64_t>(0, us));
        };
        Clock::time_point due = gates_needed ? after(gate_met_at[gates_needed - 1], t.complete_us - gates[gates_needed - 1].us)
                                             : after(start, t.complete_us - first_us);
        if (gates_needed && !options.realtime) return due;
        if (pipe.given > 0)
            due = std::max(due, after(pipe.last_given,
                                      t.complete_us - rec.transfers[pipe.entries[pipe.given - 1]].complete_us));
        if (t.submit_frame) due = std::max(due, after(*pipe.asked, t.complete_us - t.submit_us));
        return due;
    }

    // Tells of a divergence once, outside the lock, after the request that caused it.
    void tell_divergence() {
        std::function<void(const std::string&)> callback;
        std::string report;
        {
            std::lock_guard lock(mutex);
            if (divergence.empty() || divergence_told) return;
            divergence_told = true;
            callback = on_divergence;
            report = divergence;
        }
        if (callback) callback(report);
    }

    // From the timer thread: runs `slot` outside the lock, counted in `running`. The bus that set it
    // may be going: it clears it and then waits (set_counted) until no call of it still runs.
    void call_counted(const std::function<void()>& slot, int& running) {
        std::function<void()> callback;
        {
            std::lock_guard lock(mutex);
            if (!slot) return;
            callback = slot;
            ++running;
        }
        callback();
        std::lock_guard lock(mutex);
        if (--running == 0) called.notify_all();
    }

    void set_counted(std::function<void()>& slot, std::function<void()> callback, int& running) {
        std::unique_lock lock(mutex);
        slot = std::move(callback);
        called.wait(lock, [&running] { return running == 0; });
    }

    std::vector<std::string> unanswered() const {
        std::lock_guard lock(mutex);
        std::vector<std::pair<uint64_t, std::string>> lines;
        char b[96];
        for (const auto& [k, key] : keys) {
            std::array<uint8_t, 8> setup;
            std::copy(k.begin(), k.begin() + 8, setup.begin());
            if (!is_vendor(setup)) continue;  // the host stack's own: enumeration, a class driver binding
            for (size_t i = key.served; i < key.entries.size(); ++i) {
                const Transfer& t = rec.transfers[key.entries[i]];
                // A request asked here too, but fewer times: a poll that ended sooner (its answers
                // were those already given, or the host went past them).
                if (key.served > 0 &&
                    (t.submit_frame < progress || same_answer(t, rec.transfers[key.entries[key.served - 1]])))
                    continue;
                lines.emplace_back(t.submit_frame, "frame " + std::to_string(t.submit_frame) + ": control request " +
                                                       hex(k.data(), 8) + " never came");
            }
        }
        for (const auto& [ep, pipe] : out_pipes)
            for (size_t i = pipe.taken; i < pipe.entries.size(); ++i) {
                const Transfer& t = rec.transfers[pipe.entries[i]];
                std::snprintf(b, sizeof b, ": bulk OUT on 0x%02x of %u bytes never came", ep, t.out_length);
                lines.emplace_back(t.submit_frame, "frame " + std::to_string(t.submit_frame) + b);
            }
        std::sort(lines.begin(), lines.end());
        std::vector<std::string> out;
        for (auto& [frame, line] : lines) {
            if (out.size() == max_unanswered_lines) {
                out.push_back("... and " + std::to_string(lines.size() - max_unanswered_lines) + " more");
                break;
            }
            out.push_back(header() + line);
        }
        return out;
    }
};

ReplayBoard::ReplayBoard(Recording recording, Options options)
    : impl_(std::make_unique<Impl>(std::move(recording), options)) {}

ReplayBoard::~ReplayBoard() {
    if (impl_->timer) impl_->timer->stop();
}

const DeviceIdentity& ReplayBoard::identity() const { return impl_->rec.identity; }
std::string ReplayBoard::name() const { return impl_->rec.name(); }
std::vector<uint8_t> ReplayBoard::descriptors() const { return impl_->rec.descriptors; }
int ReplayBoard::interface_count() const { return impl_->interfaces; }

int ReplayBoard::endpoint_type(uint8_t ep) const {
    if ((ep & 0x7F) == 0) return 2;
    const auto it = impl_->endpoint_types.find(ep);
    return it == impl_->endpoint_types.end() ? -1 : it->second;
}

ControlResult ReplayBoard::control(const SetupPacket& setup, const uint8_t* out, uint8_t* in) {
    const ControlResult r = impl_->control(setup, out, in);
    if (r.status == UsbStatus::stall) impl_->tell_divergence();
    return r;
}

ClaimResult ReplayBoard::claim_interface(int number) {
    return number >= 0 && number < impl_->interfaces ? ClaimResult::ok : ClaimResult::no_such_interface;
}

bool ReplayBoard::release_interface(int number) { return number >= 0 && number < impl_->interfaces; }

TransferResult ReplayBoard::bulk_out(uint8_t ep, const uint8_t* data, size_t length) {
    const TransferResult r = impl_->bulk_out(ep, data, length);
    if (r.status == UsbStatus::stall) impl_->tell_divergence();
    return r;
}
TransferResult ReplayBoard::bulk_in(uint8_t ep, uint8_t* buffer, size_t length) {
    return impl_->transfer_in(ep, buffer, length);
}
TransferResult ReplayBoard::interrupt_in(uint8_t ep, uint8_t* buffer, size_t length) {
    return impl_->transfer_in(ep, buffer, length);
}

void ReplayBoard::usb_reset() {}

void ReplayBoard::transfer_cancelled(uint8_t ep) {
    std::lock_guard lock(impl_->mutex);
    if (auto it = impl_->in_pipes.find(ep); it != impl_->in_pipes.end()) ++it->second.cancelled;
}

void ReplayBoard::set_data_ready_callback(std::function<void()> callback) {
    impl_->set_counted(impl_->data_ready, std::move(callback), impl_->calling);
}

std::string ReplayBoard::divergence() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->divergence;
}

void ReplayBoard::set_divergence_callback(std::function<void(const std::string&)> callback) {
    std::lock_guard lock(impl_->mutex);
    impl_->on_divergence = std::move(callback);
}

bool ReplayBoard::unplugs() const { return impl_->unplug_frame != 0; }

void ReplayBoard::set_unplug_callback(std::function<void()> callback) { impl_->set_unplug(std::move(callback)); }

std::vector<std::string> ReplayBoard::unanswered() const { return impl_->unanswered(); }

}  // namespace vboard::replay
