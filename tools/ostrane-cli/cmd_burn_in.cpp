// `ostrane-cli burn-in`: runs the FIFO pipes of several boards in loopback for hours, with calls of
// random sizes and time-outs, checks every byte against each board's own keyed counter, sends
// commands over each board's command channel alongside, survives unplugs (waits for the board,
// reopens it, times the outage), and ends with a report of data errors, statuses, command round
// trips, outages, rates and the process's resources at start and end.
#include <CLI/CLI.hpp>
#include <dirent.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "burn_in_check.h"
#include "commands.h"
#include "common.h"
#include "ostrane/CommsDirectIO.h"
#include "ostrane/ft60x.h"

namespace cli::burn_in {
namespace {

using steady = std::chrono::steady_clock;

// Entry 4 of the FIFO table holds the FIFO-mode pipes 0x85 and 0x05.
constexpr std::uint8_t fifo_pipe = 4;

struct options {
    std::vector<int> boards; // indexes; none: every board listed at the start
    std::string duration;    // "90s", "60m", "2h"; empty: until Ctrl-C
    std::string json_file;
    std::uint32_t max_size = 1u << 20;
    std::uint64_t seed = 0;
    double reconnect_seconds = 120;
    std::string command = "status?"; // sent over each board's command channel; empty: none
    int command_interval_ms = 100;
    int command_timeout_ms = 1000;
};

double parse_duration(const std::string& text)
{
    std::size_t used = 0;
    double v = -1;
    try {
        v = std::stod(text, &used);
    } catch (const std::exception&) {
    }
    const std::string unit = text.substr(std::min(used, text.size()));
    const double scale = unit.empty() || unit == "s" ? 1 : unit == "m" ? 60 : unit == "h" ? 3600 : 0;
    if (used == 0 || scale == 0 || !(v > 0))
        fail(exit_usage, fmt::format("--for {}: give a time such as 90s, 60m or 2h", text));
    return v * scale;
}

// ---- The process's resources ---------------------------------------------------------------------

struct resources {
    std::uint64_t rss_kib = 0;
    std::uint64_t file_kib = 0; // of which pages of mapped files (code): they come and go with use, not leaks
    std::uint64_t heap_kib = 0; // allocated and not freed: tells a leak from pages the allocator keeps
    unsigned fds = 0, threads = 0;
};

unsigned entries(const char* dir)
{
    unsigned n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// A sanitizer's allocator does not answer mallinfo2; its runtime, where linked in, gives its own count.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

resources sample_resources()
{
    resources r;
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0, resident = 0, shared = 0;
    if (statm >> size >> resident >> shared) {
        r.rss_kib = resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) / 1024;
        r.file_kib = shared * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) / 1024;
    }
    const struct mallinfo2 m = mallinfo2();
    r.heap_kib = (m.uordblks + m.hblkhd) / 1024; // chunks and mapped blocks alike
    if (__sanitizer_get_current_allocated_bytes != nullptr)
        r.heap_kib = __sanitizer_get_current_allocated_bytes() / 1024;
    r.fds = entries("/proc/self/fd") - 1; // less the one that reads the directory
    r.threads = entries("/proc/self/task");
    return r;
}

// ---- Boards coming and going ---------------------------------------------------------------------

// Serial numbers of the boards present, from the library's hot-plug callback. Never destroyed: the
// library calls back on its own threads, which may run while the process exits.
struct presence {
    std::mutex lock;
    std::condition_variable changed;
    std::set<std::string> present;
    std::map<std::string, std::uint64_t> arrivals;
    bool stopping = false;
};
presence& presence_instance()
{
    static auto* p = new presence;
    return *p;
}

void on_board_change(unsigned long, FT_DEVICE_INFO* info, bool arrived, void* context)
{
    if (info == nullptr)
        return;
    auto* p = static_cast<presence*>(context);
    const std::string serial(info->serial_number, strnlen(info->serial_number, sizeof info->serial_number));
    {
        std::lock_guard<std::mutex> guard(p->lock);
        if (arrived) {
            p->present.insert(serial);
            ++p->arrivals[serial];
        } else {
            p->present.erase(serial);
        }
    }
    p->changed.notify_all();
}

// ---- One board -----------------------------------------------------------------------------------

// Counts of values in buckets 0.5 % wide, allocated once: a run of hours never grows it (a bucket per
// distinct value did, by up to a megabyte over an hour of round trips). Minimum and maximum are exact.
class histogram {
public:
    void add(double v)
    {
        const double b = v > lowest ? std::log(v / lowest) / std::log(step) + 1 : 0;
        ++counts_[static_cast<std::size_t>(std::min(b, static_cast<double>(buckets - 1)))];
        min_ = total_ == 0 ? v : std::min(min_, v);
        max_ = total_ == 0 ? v : std::max(max_, v);
        ++total_;
    }
    bool empty() const { return total_ == 0; }
    // The value below which a fraction `q` of the values fall; 0 when there are none.
    double percentile(double q) const
    {
        if (total_ == 0)
            return 0;
        if (q <= 0 || q >= 1)
            return q <= 0 ? min_ : max_;
        const auto want = static_cast<std::uint64_t>(q * static_cast<double>(total_ - 1) + 0.5);
        std::uint64_t seen = 0;
        std::size_t i = 0;
        while (i + 1 < buckets && (seen += counts_[i]) <= want)
            ++i;
        // The middle of the bucket, within what was seen.
        const double mid = i == 0 ? min_ : lowest * std::pow(step, static_cast<double>(i) - 0.5);
        return std::clamp(mid, min_, max_);
    }

private:
    static constexpr double lowest = 1e-3, step = 1.005;
    static constexpr std::size_t buckets = 4000; // the last one from 0.001 × 1.005^3999, about 460 000, up
    std::array<std::uint64_t, buckets> counts_{};
    std::uint64_t total_ = 0;
    double min_ = 0, max_ = 0;
};

struct board_run {
    int index = 0;
    std::string serial;
    std::uint32_t key = 0;
    stream_check check;
    // Allocated once: buffers freed and taken again at each reconnect would show as memory growth.
    std::vector<std::uint8_t> write_buf, read_buf;
    std::atomic<std::uint64_t> verified{0}; // copies of the check's figures for the progress lines
    std::atomic<std::uint64_t> bad{0};      // wrong bytes plus jumps
    std::atomic<unsigned> unplugs{0};
    std::uint64_t written = 0;
    std::uint64_t lost_in_unplugs = 0;      // written but not read back before an unplug
    std::map<std::string, std::uint64_t> statuses;
    std::uint64_t errors = 0;               // failed calls while the board stayed attached
    std::vector<double> outages;            // seconds from the failed call to the reopen
    std::string gave_up;                    // why the board was left, if it was (its thread)
    std::atomic<bool> given_up{false};      // set once gave_up is final, for the main thread
    std::atomic<bool> opened{false};        // the first open succeeded: the run's clock may start
    std::atomic<bool> streaming{false};     // open now: its descriptors and threads are counted
    histogram rates;                        // MB/s per progress period (main thread)
    std::uint64_t last_verified = 0;        // main thread
    unsigned last_unplugs = 0;              // main thread
    // The command channel (its thread; notifications counted on the library's callback thread).
    std::atomic<std::uint64_t> commands{0}, answered{0}; // live, for the progress lines too
    std::atomic<unsigned> reconnects{0};    // outages timed: the board is back (progress lines)
    std::uint64_t command_failures = 0;     // failed or unanswered while the board stayed attached
    std::string first_command_failure;
    histogram round_trips;                  // milliseconds (the channel's thread while it runs)
    std::atomic<std::uint64_t> notifications{0};

    board_run(int i, std::string s, std::uint32_t k, std::uint32_t max_size)
        : index(i), serial(std::move(s)), key(k), check(k), write_buf(max_size), read_buf(max_size) {}
};

struct shared {
    std::atomic<bool> stop{false};
    std::uint64_t seed = 0;
    std::uint32_t max_size = 0;
    double reconnect_seconds = 0;
    std::string command;
    std::chrono::milliseconds command_interval{100};
    std::chrono::milliseconds command_timeout{1000};
};

// One open of a board through its command channel, in FIFO mode: the pipes stream on the channel's
// own device handle, as a camera host's do, while commands and notifications share the board.
class open_board {
public:
    open_board(const std::string& serial, board_run& b) : run_(b)
    {
        {
            std::lock_guard<std::mutex> guard(open_lock());
            FT_TRANSFER_CONF conf{};
            conf.wStructSize = sizeof conf;
            conf.bFifoMode = 1;
            if (const FT_RESULT rc = FT_SetTransferParams(&conf, 0); rc != STATUS_SUCCESS)
                throw failure(exit_device, fmt::format("open {}: transfer configuration refused: {}", serial,
                                                       status_name(rc)));
            if (io_.Open(serial.c_str()) != Tessory::Ostrane::DirectIOOk || io_.GetHandle() == nullptr)
                throw failure(exit_not_found, fmt::format("open {}: not found, or in use", serial));
        }
        io_.SetCallback([this] {
            run_.notifications.fetch_add(1);
            {
                std::lock_guard<std::mutex> guard(lock_);
                ++notes_;
            }
            noted_.notify_all();
        });
        io_.SetInterruptPeriod(Tessory::Ostrane::CCommsDirectIO::InterruptPeriod3ms);
        io_.SetInterruptMask(0x0E);
        io_.SetRxInterruptEnable(true);
    }
    ~open_board() { io_.Close(); } // empties the callback first, then waits for a running one
    open_board(const open_board&) = delete;
    open_board& operator=(const open_board&) = delete;

    void* handle() const { return io_.GetHandle(); }
    bool unplugged() const { return handle_unplugged(io_.GetHandle()); }

    // Sends `text` and waits up to `timeout` for the camera's answer, woken by the board's
    // notifications; reads what came. Returns the round trip in ms, or the failure's description.
    std::variant<double, std::string> command(const std::string& text, std::chrono::milliseconds timeout)
    {
        using Tessory::Ostrane::DirectIOOk;
        std::uint8_t level = 0, status = 0;
        std::uint8_t buffer[255];
        // What an earlier answer left (a camera may answer with more than one message).
        if (io_.GetRxFifoLevel(level) != DirectIOOk || (level > 0 && io_.Rx(buffer, level) != DirectIOOk))
            return std::string("reading the receive FIFO failed");
        std::uint64_t seen = 0;
        {
            std::lock_guard<std::mutex> guard(lock_);
            seen = notes_;
        }
        const auto sent = steady::now();
        if (io_.Tx(text.data(), text.size()) != DirectIOOk)
            return std::string("the transmit failed");
        const auto deadline = sent + timeout;
        for (;;) {
            {
                std::unique_lock<std::mutex> guard(lock_);
                if (!noted_.wait_until(guard, deadline, [&] { return notes_ > seen; }))
                    return fmt::format("no answer within {:g} s", static_cast<double>(timeout.count()) / 1000);
                seen = notes_;
            }
            // The bridge signals each period until its status is read; it is read with the
            // interrupt off, so that the level and the signal agree.
            io_.SetRxInterruptEnable(false);
            const bool read = io_.GetInterruptStatus(status) == DirectIOOk && io_.GetRxFifoLevel(level) == DirectIOOk;
            const bool taken = !read || level == 0 || io_.Rx(buffer, level) == DirectIOOk;
            // On again whatever failed: the next command waits for the board's signal.
            io_.SetRxInterruptEnable(true);
            if (!read)
                return std::string("reading the bridge's status failed");
            if (!taken)
                return std::string("reading the answer failed");
            if (level > 0)
                return std::chrono::duration<double, std::milli>(steady::now() - sent).count();
        }
    }

private:
    board_run& run_;
    std::mutex lock_;
    std::condition_variable noted_;
    std::uint64_t notes_ = 0; // notifications of this open, under lock_
    Tessory::Ostrane::CCommsDirectIO io_;
};

// One open of a board: a writer and a reader until the end or a failure. Returns the failed status
// (STATUS_SUCCESS when stopped) and the offset the writer got to in `write_end`.
FT_RESULT stream_once(board_run& b, open_board& ob, const shared& sh, std::uint64_t salt, std::uint64_t& write_end)
{
    void* const h = ob.handle();
    std::atomic<bool> failed{false};
    std::mutex status_lock;
    FT_RESULT failure = STATUS_SUCCESS;
    std::map<std::string, std::uint64_t> statuses;
    auto note = [&](FT_RESULT r) {
        if (r == STATUS_SUCCESS)
            return;
        std::lock_guard<std::mutex> guard(status_lock);
        ++statuses[status_name(r)];
        if (r != STATUS_TIMED_OUT && failure == STATUS_SUCCESS) {
            failure = r;
            failed.store(true);
        }
    };
    const auto running = [&] { return !sh.stop.load() && !failed.load() && !interrupted(); };
    const std::uint64_t start = b.check.offset();
    std::uint64_t written = start;

    std::thread writer([&] {
        std::mt19937_64 rng(sh.seed ^ salt ^ 0x5752495445ull);
        std::uniform_int_distribution<std::uint32_t> size(1, sh.max_size), timeout(50, 1000);
        while (running()) {
            const std::uint32_t n = size(rng);
            fill(b.write_buf.data(), b.key, written, n);
            // The rest of a call that timed out goes next, so that the stream stays in order.
            for (std::uint32_t sent = 0; sent < n && running();) {
                std::uint32_t moved = 0;
                const FT_RESULT r =
                    FT_WritePipeEx(h, fifo_pipe, b.write_buf.data() + sent, n - sent, &moved, timeout(rng));
                sent += moved;
                written += moved;
                note(r);
            }
        }
    });
    std::thread reader([&] {
        std::mt19937_64 rng(sh.seed ^ salt ^ 0x52454144ull);
        std::uniform_int_distribution<std::uint32_t> size(1, sh.max_size), timeout(50, 1000);
        while (running()) {
            std::uint32_t got = 0;
            const FT_RESULT r = FT_ReadPipeEx(h, fifo_pipe, b.read_buf.data(), size(rng), &got, timeout(rng));
            if (got > 0) {
                b.check.check(b.read_buf.data(), got);
                b.verified.store(b.check.verified());
                b.bad.store(b.check.wrong() + b.check.jumps());
            }
            note(r);
        }
    });
    // Commands alongside, paced; their failures count only if the board turns out to be attached.
    std::uint64_t command_failures = 0;
    std::string first_command_failure;
    std::thread channel;
    if (!sh.command.empty())
        channel = std::thread([&] {
            while (running()) {
                const auto r = ob.command(sh.command, sh.command_timeout);
                b.commands.fetch_add(1);
                if (const double* ms = std::get_if<double>(&r)) {
                    b.answered.fetch_add(1);
                    b.round_trips.add(*ms);
                } else if (running() && command_failures++ == 0) {
                    first_command_failure = std::get<std::string>(r);
                }
                // Pacing, in slices so that a long interval never holds up the end or a reopen.
                for (auto until = steady::now() + sh.command_interval; running() && steady::now() < until;)
                    std::this_thread::sleep_for(std::min<steady::duration>(until - steady::now(),
                                                                           std::chrono::milliseconds(200)));
            }
        });
    writer.join();
    reader.join();
    if (channel.joinable())
        channel.join();
    // Failures while the board left are the unplug's, not the channel's.
    if (command_failures != 0 && (failure == STATUS_SUCCESS || !ob.unplugged())) {
        b.command_failures += command_failures;
        if (b.first_command_failure.empty())
            b.first_command_failure = first_command_failure;
    }
    b.written += written - start;
    write_end = written;
    for (const auto& [name, count] : statuses)
        b.statuses[name] += count;
    return failure;
}

void stream_board(board_run& b, shared& sh);

void run_board(board_run& b, shared& sh)
{
    stream_board(b, sh);
    b.given_up.store(!b.gave_up.empty());
    b.opened.store(true);
}

void stream_board(board_run& b, shared& sh)
{
    presence& p = presence_instance();
    bool reconnecting = false;
    unsigned errors_in_a_row = 0;
    steady::time_point outage_began, deadline;
    // Waits for `ready` under the presence lock; false once stopping or past the deadline.
    auto wait_for = [&](auto ready) {
        std::unique_lock<std::mutex> lock(p.lock);
        return p.changed.wait_until(lock, deadline, [&] { return p.stopping || ready(); }) && !p.stopping;
    };
    while (!sh.stop.load() && !interrupted()) {
        std::uint64_t seen = 0;
        if (reconnecting) {
            if (!wait_for([&] { return p.present.count(b.serial) != 0; }))
                break;
            std::lock_guard<std::mutex> guard(p.lock);
            seen = p.arrivals[b.serial];
        }
        std::unique_ptr<open_board> open;
        try {
            open = std::make_unique<open_board>(b.serial, b);
        } catch (const failure& f) {
            if (!reconnecting) {
                b.gave_up = f.what();
                return;
            }
            // Still listed from before the unplug, or not yet ready: wait for its next arrival.
            if (!wait_for([&] { return p.arrivals[b.serial] > seen; }))
                break;
            continue;
        }
        if (reconnecting) {
            b.outages.push_back(std::chrono::duration<double>(steady::now() - outage_began).count());
            b.reconnects.fetch_add(1);
        }
        b.opened.store(true);
        reconnecting = false;
        b.streaming.store(true);
        std::uint64_t write_end = 0;
        const std::uint64_t verified_before = b.check.verified();
        const FT_RESULT r = stream_once(b, *open, sh, b.outages.size() * 0x9E3779B97F4A7C15ull + b.errors,
                                        write_end);
        if (r == STATUS_SUCCESS)
            return; // stopped
        const bool gone = open->unplugged();
        open.reset();
        b.streaming.store(false);
        if (!gone) {
            ++b.errors;
            errors_in_a_row = b.check.verified() > verified_before ? 1 : errors_in_a_row + 1;
            if (errors_in_a_row >= 10) {
                b.gave_up = fmt::format("10 failures in a row without data, the last {}", status_name(r));
                return;
            }
            continue;
        }
        // Whatever was written and not read back went with the board's FIFO.
        b.lost_in_unplugs += write_end > b.check.offset() ? write_end - b.check.offset() : 0;
        b.unplugs.fetch_add(1);
        reconnecting = true;
        outage_began = steady::now();
        deadline = outage_began + std::chrono::duration_cast<steady::duration>(
                                      std::chrono::duration<double>(sh.reconnect_seconds));
    }
    if (reconnecting && !sh.stop.load() && !interrupted())
        b.gave_up = fmt::format("not back {:.0f} s after an unplug", sh.reconnect_seconds);
}

// ---- The command ---------------------------------------------------------------------------------

// Minimum, median and maximum of a histogram, for the JSON report; null when nothing was measured
// (zeros would read as measured).
nlohmann::json spread(const histogram& h)
{
    if (h.empty())
        return nullptr;
    return {{"min", h.percentile(0)}, {"median", h.percentile(0.5)}, {"max", h.percentile(1)}};
}

// "min A, median B, max C UNIT", or why there is none.
std::string spread_text(const histogram& h, const char* unit, const char* none)
{
    if (h.empty())
        return none;
    return fmt::format("min {:.1f}, median {:.1f}, max {:.1f} {}", h.percentile(0), h.percentile(0.5),
                       h.percentile(1), unit);
}

nlohmann::json report_of(const board_run& b)
{
    nlohmann::json j{{"board", b.index},
                     {"serial", b.serial},
                     {"verified_bytes", b.check.verified()},
                     {"written_bytes", b.written},
                     {"wrong_bytes", b.check.wrong()},
                     {"jumps", b.check.jumps()},
                     {"statuses", b.statuses},
                     {"errors", b.errors},
                     {"unplugs", b.unplugs.load()},
                     {"reconnect_seconds", b.outages},
                     {"lost_in_unplugs_bytes", b.lost_in_unplugs},
                     {"rate_mb_s", spread(b.rates)},
                     {"commands",
                      {{"sent", b.commands.load()},
                       {"answered", b.answered.load()},
                       {"failures", b.command_failures},
                       {"first_failure", b.first_command_failure},
                       {"round_trip_ms", spread(b.round_trips)},
                       {"notifications", b.notifications.load()}}},
                     {"gave_up", b.gave_up}};
    j["first_wrong_byte"] = nullptr;
    if (const auto& w = b.check.first_wrong())
        j["first_wrong_byte"] = {{"offset", w->offset}, {"expected", w->expected}, {"got", w->got}};
    j["first_jump"] = nullptr;
    if (const auto& g = b.check.first_jump())
        j["first_jump"] = {{"offset", g->offset}, {"bytes", g->bytes}};
    return j;
}

void print_report(const board_run& b)
{
    std::printf("board %d (%s): %llu bytes verified, %llu written\n", b.index, b.serial.c_str(),
                static_cast<unsigned long long>(b.check.verified()), static_cast<unsigned long long>(b.written));
    if (const auto& w = b.check.first_wrong())
        std::printf("  wrong bytes: %llu, the first at offset %llu: expected 0x%02x, got 0x%02x\n",
                    static_cast<unsigned long long>(b.check.wrong()), static_cast<unsigned long long>(w->offset),
                    w->expected, w->got);
    else
        std::printf("  wrong bytes: 0\n");
    if (const auto& g = b.check.first_jump())
        std::printf("  blocks lost or repeated: %llu, the first at offset %llu: %lld bytes %s\n",
                    static_cast<unsigned long long>(b.check.jumps()), static_cast<unsigned long long>(g->offset),
                    static_cast<long long>(g->bytes < 0 ? -g->bytes : g->bytes), g->bytes < 0 ? "repeated" : "lost");
    else
        std::printf("  blocks lost or repeated: 0\n");
    std::string statuses;
    for (const auto& [name, count] : b.statuses)
        statuses += fmt::format("{}{} {}", statuses.empty() ? "" : ", ", name, count);
    std::printf("  statuses other than success: %s; failures with the board attached: %llu\n",
                statuses.empty() ? "none" : statuses.c_str(), static_cast<unsigned long long>(b.errors));
    std::string outages;
    for (double s : b.outages)
        outages += fmt::format("{}{:.2f} s", outages.empty() ? "" : ", ", s);
    std::printf("  unplugs: %u%s%s (%llu bytes written were still in the board)\n", b.unplugs.load(),
                outages.empty() ? "" : ", back after ", outages.c_str(),
                static_cast<unsigned long long>(b.lost_in_unplugs));
    std::printf("  rate: %s\n",
                spread_text(b.rates, "MB/s", "none measured (no progress period without an unplug)").c_str());
    if (b.commands.load() > 0)
        std::printf("  commands: %llu sent, %llu answered (round trip %s), "
                    "%llu notifications; failures with the board attached: %llu%s%s\n",
                    static_cast<unsigned long long>(b.commands.load()), static_cast<unsigned long long>(b.answered.load()),
                    spread_text(b.round_trips, "ms", "none").c_str(),
                    static_cast<unsigned long long>(b.notifications.load()),
                    static_cast<unsigned long long>(b.command_failures),
                    b.first_command_failure.empty() ? "" : ", the first: ", b.first_command_failure.c_str());
    if (!b.gave_up.empty())
        std::printf("  given up: %s\n", b.gave_up.c_str());
    else if (b.check.verified() == 0)
        std::printf("  not tested: no byte came back from it\n");
}

int run(const options& o)
{
    catch_interrupts();
    const double seconds = o.duration.empty() ? 0 : parse_duration(o.duration);
    // Where the kernel gives transparent huge pages to every process, it later fills partly used
    // 2 MiB ranges of the buffers in the background: resident memory then grows by megabytes that
    // nothing allocated, and would read as a leak. Without them it grows only with what is touched.
    prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
    presence& p = presence_instance();
    if (!FT_SetHotplugCallback(on_board_change, &p, false))
        fail(exit_device, "burn-in: cannot register for the boards' arrivals and departures");
    struct unregister {
        presence& p;
        ~unregister() { FT_SetHotplugCallback(on_board_change, &p, true); }
    } unregister_at_end{p};

    shared sh;
    sh.seed = o.seed != 0 ? o.seed : std::random_device{}();
    sh.max_size = o.max_size;
    sh.reconnect_seconds = o.reconnect_seconds;
    sh.command = o.command;
    sh.command_interval = std::chrono::milliseconds(o.command_interval_ms);
    sh.command_timeout = std::chrono::milliseconds(o.command_timeout_ms);
    if (o.command.size() > 255)
        fail(exit_usage, "--command: at most 255 bytes, what the bridge's FIFO holds");
    std::vector<std::unique_ptr<board_run>> runs;
    const auto listed = list_boards();
    for (const auto& l : listed) {
        if (!o.boards.empty() && std::find(o.boards.begin(), o.boards.end(), static_cast<int>(l.index)) == o.boards.end())
            continue;
        if (l.serial().empty())
            fail(exit_device, fmt::format("burn-in: board {} has no serial number, by which it would be found "
                                          "again after an unplug", l.index));
        // Each board's own counter: data that reaches the wrong board is wrong there.
        runs.push_back(std::make_unique<board_run>(static_cast<int>(l.index), l.serial(),
                                                   0x9E3779B9u * (l.index + 1), o.max_size));
    }
    for (int want : o.boards)
        if (std::none_of(runs.begin(), runs.end(), [&](const auto& r) { return r->index == want; })) {
            board_selector which;
            which.index = want;
            fail_not_found(which, "burn-in");
        }
    if (runs.empty())
        fail(exit_not_found, "burn-in: no board attached: check the cable and `ostrane-cli list`");

    std::printf("burn-in: %zu board%s, FIFO loopback, calls of 1 to %u bytes, seed %llu, %s\n", runs.size(),
                runs.size() == 1 ? "" : "s", o.max_size, static_cast<unsigned long long>(sh.seed),
                seconds > 0 ? fmt::format("for {:.0f} s", seconds).c_str() : "until Ctrl-C");
    std::fflush(stdout);
    const auto began = steady::now();
    std::vector<std::thread> threads;
    for (auto& r : runs)
        threads.emplace_back(run_board, std::ref(*r), std::ref(sh));

    // Progress every second on a terminal, every ten seconds into a file or pipe.
    const auto period = std::chrono::seconds(isatty(STDOUT_FILENO) ? 1 : 10);
    // A tenth of the run (at most 10 minutes; a minute until Ctrl-C): under a sanitizer the
    // allocator's quarantine and pools fill for minutes, and a leak shows in the rest of the run.
    const auto warm_up = std::chrono::duration_cast<steady::duration>(
        std::chrono::duration<double>(seconds > 0 ? std::min(600.0, seconds / 10) : 60.0));
    std::optional<resources> at_start;
    // The last figures with every board open: a run that ends while a board is away compares
    // those with the start's, since the away board's handle, threads and buffers are gone.
    std::optional<resources> all_streaming;
    const auto every_board_streaming = [&] {
        return std::all_of(runs.begin(), runs.end(), [](const auto& r) { return r->streaming.load(); });
    };
    resources at_end;
    auto next = began + period;
    // The duration counts from when every board is open: on a busy host the opens alone can take
    // seconds, and a short run would otherwise end before some board wrote a byte.
    std::optional<steady::time_point> all_open;
    for (;;) {
        if (!all_open && std::all_of(runs.begin(), runs.end(), [](const auto& r) { return r->opened.load(); }))
            all_open = steady::now();
        const bool done = (seconds > 0 && all_open &&
                           steady::now() - *all_open >= std::chrono::duration<double>(seconds)) ||
                          interrupted() ||
                          std::all_of(runs.begin(), runs.end(), [](const auto& r) { return r->given_up.load(); });
        if (done) {
            at_end = every_board_streaming() || !all_streaming ? sample_resources() : *all_streaming;
            break;
        }
        // In slices, so that Ctrl-C and boards given up end the run promptly.
        std::this_thread::sleep_until(std::min(next, steady::now() + std::chrono::milliseconds(200)));
        if (steady::now() < next)
            continue;
        const double dt = std::chrono::duration<double>(period).count();
        next += period;
        // The start's figures once every board has moved data and the process has warmed up (its
        // allocator's pools, the library's threads): growth from there on is what a lab looks for.
        // Not while a board is away: its handle's descriptors and threads would count as growth.
        if (!at_start && steady::now() - began >= warm_up &&
            std::all_of(runs.begin(), runs.end(),
                        [](const auto& r) { return r->verified.load() > 0 && r->streaming.load(); }))
            at_start = sample_resources();
        for (auto& r : runs) {
            const std::uint64_t v = r->verified.load();
            const unsigned unplugs = r->unplugs.load();
            const double rate = static_cast<double>(v - r->last_verified) / dt / 1e6;
            // Rates of periods with the board streaming throughout: not before its first data, not
            // across an unplug.
            if (r->last_verified > 0 && unplugs == r->last_unplugs)
                r->rates.add(rate);
            r->last_verified = v;
            r->last_unplugs = unplugs;
            std::printf("%6.0f s  board %d (%s): %7.1f MB/s, %llu bytes verified, %llu errors, %u unplugs, %u back, "
                        "%llu commands answered\n",
                        std::chrono::duration<double>(steady::now() - began).count(), r->index, r->serial.c_str(),
                        rate, static_cast<unsigned long long>(v), static_cast<unsigned long long>(r->bad.load()),
                        unplugs, r->reconnects.load(), static_cast<unsigned long long>(r->answered.load()));
        }
        // Memory over hours is what a lab watches: a leak shows in the heap, pages kept in RSS only.
        const resources now = sample_resources();
        if (every_board_streaming())
            all_streaming = now;
        std::printf("%6.0f s  process: %llu KiB resident (%llu of files), %llu KiB heap in use, %u file descriptors, "
                    "%u threads\n",
                    std::chrono::duration<double>(steady::now() - began).count(),
                    static_cast<unsigned long long>(now.rss_kib), static_cast<unsigned long long>(now.file_kib),
                    static_cast<unsigned long long>(now.heap_kib),
                    now.fds, now.threads);
        std::fflush(stdout);
    }
    sh.stop.store(true);
    {
        std::lock_guard<std::mutex> guard(p.lock);
        p.stopping = true;
    }
    p.changed.notify_all();
    for (auto& t : threads)
        t.join();
    const double total = std::chrono::duration<double>(steady::now() - began).count();
    const resources start = at_start.value_or(at_end);

    bool data_errors = false, errors = false;
    for (const auto& r : runs) {
        data_errors |= r->check.wrong() != 0 || r->check.jumps() != 0;
        // A board that returned no byte was not tested: that is no clean result.
        errors |= r->errors != 0 || r->command_failures != 0 || !r->gave_up.empty() || r->check.verified() == 0;
    }
    const bool leaks = at_end.fds > start.fds || at_end.threads > start.threads ||
                       at_end.rss_kib > start.rss_kib + 1024 || at_end.heap_kib > start.heap_kib + 1024;
    const char* result = data_errors ? "wrong data" : errors ? "errors" : leaks ? "resources grew" : "clean";

    std::printf("burn-in report after %.0f s\n", total);
    for (const auto& r : runs)
        print_report(*r);
    std::printf("process: resident memory %llu KiB at the start, %llu at the end (heap in use %llu, %llu); file "
                "descriptors %u, %u; threads %u, %u%s\nresult: %s\n",
                static_cast<unsigned long long>(start.rss_kib), static_cast<unsigned long long>(at_end.rss_kib),
                static_cast<unsigned long long>(start.heap_kib), static_cast<unsigned long long>(at_end.heap_kib),
                start.fds, at_end.fds, start.threads, at_end.threads,
                at_start ? "" : " (the run ended before its start figures: both are the end's)", result);
    std::fflush(stdout);
    if (!o.json_file.empty()) {
        nlohmann::json j{{"seconds", total}, {"seed", sh.seed}, {"max_call_bytes", o.max_size}, {"result", result}};
        j["boards"] = nlohmann::json::array();
        for (const auto& r : runs)
            j["boards"].push_back(report_of(*r));
        auto res = [](const resources& r) {
            return nlohmann::json{
                {"rss_kib", r.rss_kib}, {"file_kib", r.file_kib}, {"heap_kib", r.heap_kib}, {"fds", r.fds}, {"threads", r.threads}};
        };
        j["process"] = {{"start", res(start)}, {"end", res(at_end)}};
        std::ofstream out(o.json_file);
        out << j.dump(2) << "\n";
        if (!out)
            fail(exit_device, fmt::format("burn-in: cannot write {}", o.json_file));
    }
    if (data_errors)
        return exit_data;
    if (errors || leaks)
        return exit_device;
    return exit_ok;
}

} // namespace
} // namespace cli::burn_in

void add_burn_in_command(CLI::App& app)
{
    auto opt = std::make_shared<cli::burn_in::options>();
    CLI::App* cmd = app.add_subcommand(
        "burn-in", "Run boards' FIFO loopback for hours, every byte checked, through unplugs, and report");
    cmd->add_option("--board", opt->boards, "A board to run (repeatable; default: every board listed)")
        ->transform(cli::whole_number(0, 1000, "a board index"));
    cmd->add_option("--for", opt->duration, "How long: 90s, 60m, 2h (default: until Ctrl-C)");
    cmd->add_option("--json", opt->json_file, "Write the report as JSON to this file too");
    cmd->add_option("--max-size", opt->max_size,
                    "Largest read or write call in bytes; sizes are random from 1 (default 1048576)")
        ->transform(cli::whole_number(4, 1u << 26, "a number of bytes"));
    cmd->add_option("--seed", opt->seed, "Seed of the random sizes and time-outs (default: a new one, printed)");
    cmd->add_option("--command", opt->command,
                    "Text sent over each board's command channel alongside, a reply awaited each time "
                    "(default \"status?\"; \"\": none)");
    cmd->add_option("--command-interval", opt->command_interval_ms, "Milliseconds between commands (default 100)")
        ->transform(cli::whole_number(0, 60000, "a number of milliseconds"));
    cmd->add_option("--command-timeout", opt->command_timeout_ms,
                    "Milliseconds a command's answer may take (default 1000)")
        ->transform(cli::whole_number(1, 600000, "a number of milliseconds"));
    cmd->add_option("--reconnect-timeout", opt->reconnect_seconds,
                    "Seconds to wait for a board that left before giving it up (default 120)")
        ->check(cli::positive_seconds());
    cmd->footer([] {
        return std::string(
            "Each board runs in FIFO mode with its FIFO looped back (the virtual board's default; a real "
            "board needs loopback firmware): a writer and a reader with random call sizes and time-outs. "
            "Board k's stream is a little-endian 32-bit counter XORed with its own key, so a lost, repeated "
            "or misplaced block is reported with its offset. A board that leaves is waited for and reopened; "
            "its stream goes on from what was read back. Alongside, a command goes over each board's command "
            "channel every --command-interval and its answer must come within --command-timeout. Exit status: 0 clean, 5 wrong data, 4 errors "
            "(failed calls or unanswered commands while attached, a board given up) or resources that grew (file descriptors, "
            "threads, or resident memory or the heap by more than 1 MiB from a tenth of the way in (at most 10 minutes) to the "
            "end).\n");
    });
    cli::on_run(cmd, [opt] { return cli::burn_in::run(*opt); });
}
