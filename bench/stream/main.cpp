// Streaming cost of the library's pipes on virtual boards, next to the hand-written alternative: a
// raw libusb asynchronous loop with the same transfers (size, number in flight) that copies the
// same bytes between the application's buffers and its transfers in its completions. The two
// sides alternate over several rounds; each figure is the median of its rounds.
//
// Usage: bench_stream [seconds per phase, default 2] [rounds, default 3] [options]
//   --sweep          loopback over transfer sizes 4 KiB-1 MiB x transfers in flight 2-32
//   --boards N       N boards stream loopback at once (library, then raw loops), then one of them
//                    is unplugged mid-stream; data checked on every board
//   --reverse-open   with --boards: the library opens the boards last index first
//   --no-memory      skip the resident-memory report
//   --size KiB --depth N   transfers of the main comparison (default 32 KiB, 8 in flight)
// The transport comes from OSTRANE_VBOARD_TRANSPORT, as for the tests. Prints "name: value" lines.
#include <dirent.h>
#include <libusb.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ostrane/ft60x.h"
#include "umockdev/virtual_bus.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t app_chunk = 1u << 20; // bytes per library read or write call
constexpr double mb = 1e6;
constexpr double gib = 1024.0 * 1024.0 * 1024.0;
constexpr std::uint8_t ep_in = 0x85, ep_out = 0x05;
constexpr std::uint64_t gap_grain = 64 * 1024; // the raw loops note the time of every 64 KiB read

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// ---- CPU and memory of this process --------------------------------------------------------------

std::set<int> task_ids() {
    std::set<int> ids;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                ids.insert(std::atoi(e->d_name));
        closedir(d);
    }
    return ids;
}

// User plus system CPU seconds of one thread (0 once it has ended).
double task_cpu(int tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    if (!std::getline(f, line))
        return 0;
    // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The virtual boards' own threads (their USB/IP servers, or the emulated bus).
std::set<int> device_threads;

double process_cpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    const auto secs = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return secs(u.ru_utime) + secs(u.ru_stime);
}

// The whole process but the virtual boards: the library's and the application's threads, or the
// raw loop's.
double host_cpu() {
    double s = process_cpu();
    for (int t : device_threads)
        s -= task_cpu(t);
    return s;
}

double resident_mib() {
    std::ifstream f("/proc/self/statm");
    long size = 0, resident = 0;
    f >> size >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

// ---- data ------------------------------------------------------------------------------------------

// The stream is a sequence of 64-bit words counting up from a per-board seed, so a reader can
// check every byte without keeping what was written.
void fill_words(std::uint8_t* dst, std::size_t bytes, std::uint64_t offset, std::uint64_t seed) {
    for (std::size_t i = 0; i < bytes; i += 8) {
        const std::uint64_t w = seed + (offset + i) / 8;
        std::memcpy(dst + i, &w, 8);
    }
}

bool check_words(const std::uint8_t* src, std::size_t bytes, std::uint64_t offset, std::uint64_t seed) {
    // Reads may end anywhere; compare whole words of the expected stream byte by byte at the ends.
    for (std::size_t i = 0; i < bytes;) {
        const std::uint64_t at = offset + i;
        const std::uint64_t w = seed + at / 8;
        const std::size_t skip = at % 8;
        const std::size_t n = std::min<std::size_t>(8 - skip, bytes - i);
        if (std::memcmp(src + i, reinterpret_cast<const std::uint8_t*>(&w) + skip, n) != 0)
            return false;
        i += n;
    }
    return true;
}

enum class Mode { loopback, in_only, out_only };
const char* mode_name(Mode m) {
    return m == Mode::loopback ? "loopback" : m == Mode::in_only ? "in_only" : "out_only";
}

struct Setup {
    int size = 32 * 1024; // bytes per transfer
    int depth = 8;        // transfers in flight per endpoint
    bool verify = false;  // loopback data checked word for word (both sides)
    std::uint32_t app = app_chunk; // bytes per library read or write call
    int buffers = 0;      // library buffers per pipe (wBufNum); 0: about 8 MiB of them
};

struct Result {
    double mbps = 0;          // measured direction, all boards together
    double host_s_per_gib = 0;
    double process_s_per_gib = 0;
    std::vector<double> board_bytes;
    bool exact = true;
};

Result finish(const std::vector<std::uint64_t>& b0, const std::vector<std::uint64_t>& b1,
              double secs, double host, double whole) {
    Result r;
    double total = 0;
    for (std::size_t i = 0; i < b0.size(); ++i) {
        r.board_bytes.push_back(static_cast<double>(b1[i] - b0[i]));
        total += r.board_bytes.back();
    }
    r.mbps = total / secs / mb;
    r.host_s_per_gib = total > 0 ? host / (total / gib) : 0;
    r.process_s_per_gib = total > 0 ? whole / (total / gib) : 0;
    return r;
}

// ---- the library -------------------------------------------------------------------------------

struct LibBoard {
    void* h = nullptr;
    std::uint64_t seed = 0;
    std::atomic<std::uint64_t> moved{0};      // bytes of the measured direction
    std::atomic<bool> wrong{false};
    std::atomic<FT_RESULT> end_status{0};     // first failure other than a time-out
    std::vector<Clock::time_point> read_times; // when each read returned data
};

// `mode`: a one-way mode disables the other pipe, so that the library keeps the same transfers
// out as the raw loop (an unused IN pipe would keep its transfers waiting at the board).
void set_transfer_params(const Setup& s, bool defaults, Mode mode) {
    FT_TRANSFER_CONF conf{};
    conf.wStructSize = sizeof conf;
    conf.bFifoMode = 1;
    conf.aPipe[FT_PIPE_DIR_IN].bDisabled = mode == Mode::out_only;
    conf.aPipe[FT_PIPE_DIR_OUT].bDisabled = mode == Mode::in_only;
    if (!defaults) {
        for (FT_PIPE_TRANSFER_CONF& pipe : conf.aPipe) {
            pipe.bUrbNum = static_cast<std::uint8_t>(s.depth);
            pipe.dwBufSize = static_cast<std::uint32_t>(s.size);
            // About 8 MiB of buffers per pipe, as the default, and never fewer than two rounds
            // of transfers.
            pipe.wBufNum = static_cast<std::uint16_t>(
                s.buffers > 0 ? s.buffers : std::clamp(8 * 1024 * 1024 / s.size, 2 * s.depth, 256));
        }
    }
    if (FT_SetTransferParams(&conf, 0) != 0) {
        std::fprintf(stderr, "transfer parameters refused\n");
        std::exit(1);
    }
}

// The transfer parameters go with the next FT_Create only: set them for each handle.
void* lib_open(int index, const Setup& s, bool default_params = false, Mode mode = Mode::loopback) {
    set_transfer_params(s, default_params, mode);
    void* h = nullptr;
    if (FT_Create(reinterpret_cast<void*>(static_cast<std::uintptr_t>(index)), FT_OPEN_BY_INDEX, &h) != 0) {
        std::fprintf(stderr, "cannot open virtual board %d in FIFO mode\n", index);
        std::exit(1);
    }
    FT_SetPipeTimeout(h, ep_in, 200);
    FT_SetPipeTimeout(h, ep_out, 200);
    return h;
}

// Streams on every board for `run` after a warm-up; `during` runs in the middle of the window
// (the unplug of the array run).
Result lib_stream(std::vector<std::unique_ptr<LibBoard>>& boards, Mode mode, const Setup& s,
                  Clock::duration run, const std::function<void()>& during = {}) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (auto& bp : boards) {
        LibBoard& b = *bp;
        b.moved = 0;
        b.read_times.clear();
        if (mode != Mode::in_only) {
            threads.emplace_back([&, mode] {
                std::vector<std::uint8_t> buf(s.app, 0x5A);
                std::uint64_t offset = 0;
                std::uint32_t n = 0;
                while (!stop.load()) {
                    if (s.verify)
                        fill_words(buf.data(), s.app, offset, b.seed);
                    // A time-out hands the rest to the next call.
                    for (std::uint32_t done = 0; done < s.app && !stop.load(); done += n) {
                        n = 0;
                        const FT_RESULT r = FT_WritePipe(b.h, ep_out, buf.data() + done, s.app - done, &n, nullptr);
                        if (mode == Mode::out_only)
                            b.moved += n;
                        if (r != 0 && r != STATUS_TIMED_OUT) {
                            b.end_status = r;
                            return;
                        }
                    }
                    offset += s.app;
                }
            });
        }
        if (mode != Mode::out_only) {
            threads.emplace_back([&] {
                std::vector<std::uint8_t> buf(s.app);
                std::uint64_t offset = 0;
                while (!stop.load()) {
                    std::uint32_t n = 0;
                    const FT_RESULT r = FT_ReadPipe(b.h, ep_in, buf.data(), s.app, &n, nullptr);
                    if (n != 0) {
                        if (s.verify && !check_words(buf.data(), n, offset, b.seed))
                            b.wrong = true;
                        offset += n;
                        b.moved += n;
                        b.read_times.push_back(Clock::now());
                    }
                    if (r != 0 && r != STATUS_TIMED_OUT) {
                        b.end_status = r;
                        return;
                    }
                }
            });
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(700)); // buffers fill, rates settle
    std::vector<std::uint64_t> b0, b1;
    for (auto& b : boards)
        b0.push_back(b->moved.load());
    const double h0 = host_cpu(), p0 = process_cpu();
    const auto t0 = Clock::now();
    if (during) {
        std::this_thread::sleep_for(run / 2);
        during();
        std::this_thread::sleep_until(t0 + run);
    } else {
        std::this_thread::sleep_for(run);
    }
    for (auto& b : boards)
        b1.push_back(b->moved.load());
    const double h1 = host_cpu(), p1 = process_cpu();
    const auto t1 = Clock::now();
    stop.store(true);
    for (auto& t : threads)
        t.join();
    Result r = finish(b0, b1, seconds(t1 - t0), h1 - h0, p1 - p0);
    for (auto& b : boards)
        r.exact = r.exact && !b->wrong.load();
    return r;
}

// ---- raw libusb --------------------------------------------------------------------------------

struct RawBoard;

struct RawTransfer {
    libusb_transfer* t = nullptr;
    RawBoard* board = nullptr;
    bool out = false;
    std::vector<std::uint8_t> buf;
};

struct RawBoard {
    libusb_device_handle* h = nullptr;
    std::uint64_t seed = 0;
    std::vector<std::uint8_t> app_in, app_out; // the application's buffers
    std::uint64_t in_offset = 0, out_offset = 0;
    std::uint64_t moved = 0;
    bool wrong = false;
    std::vector<Clock::time_point> read_times; // when each 64 KiB of IN data had come
    const Setup* setup = nullptr;
    Mode mode = Mode::loopback;
};

bool raw_keep_going = true;
// --reverse-open: the library's boards are opened last index first (shares stay in index order),
// which tells a board's own shortfall from one that follows the order of opening.
bool reverse_open = false;
int raw_in_flight = 0;

// The completion copies between the application's buffer and the transfer, then resubmits, as
// the simplest hand-written loop would.
void LIBUSB_CALL raw_done(libusb_transfer* t) {
    auto* x = static_cast<RawTransfer*>(t->user_data);
    RawBoard& b = *x->board;
    if (t->status == LIBUSB_TRANSFER_COMPLETED && raw_keep_going) {
        const auto n = static_cast<std::uint32_t>(t->actual_length);
        if (x->out) {
            if (b.mode == Mode::out_only)
                b.moved += n;
            const std::uint64_t at = b.out_offset % app_chunk;
            if (at == 0 && b.setup->verify)
                fill_words(b.app_out.data(), app_chunk, b.out_offset, b.seed);
            const std::uint32_t len = static_cast<std::uint32_t>(std::min<std::uint64_t>(t->length, app_chunk - at));
            std::memcpy(x->buf.data(), b.app_out.data() + at, len);
            t->length = static_cast<int>(len);
            b.out_offset += len;
        } else {
            b.moved += n;
            std::uint64_t done = 0;
            while (done < n) {
                const std::uint64_t at = b.in_offset % app_chunk;
                const std::uint64_t len = std::min<std::uint64_t>(n - done, app_chunk - at);
                std::memcpy(b.app_in.data() + at, x->buf.data() + done, len);
                if (b.setup->verify && !check_words(b.app_in.data() + at, len, b.in_offset, b.seed))
                    b.wrong = true;
                b.in_offset += len;
                done += len;
            }
            t->length = b.setup->size;
            if ((b.in_offset - n) / gap_grain != b.in_offset / gap_grain)
                b.read_times.push_back(Clock::now());
        }
        if (libusb_submit_transfer(t) == 0)
            return;
    }
    --raw_in_flight;
}

// `during` runs on a thread of its own in the middle of the window, so that the loop goes on
// handling events meanwhile.
Result raw_stream(libusb_context* ctx, std::vector<RawBoard>& boards, Mode mode, const Setup& s,
                  Clock::duration run, const std::function<void()>& during = {}) {
    raw_keep_going = true;
    raw_in_flight = 0;
    std::vector<std::unique_ptr<RawTransfer>> xs;
    for (RawBoard& b : boards) {
        b.mode = mode;
        b.setup = &s;
        b.moved = 0;
        b.in_offset = b.out_offset = 0;
        b.read_times.clear();
        b.app_in.assign(app_chunk, 0);
        b.app_out.assign(app_chunk, 0x5A);
        for (int dir = 0; dir < 2; ++dir) {
            const bool out = dir == 1;
            if ((out && mode == Mode::in_only) || (!out && mode == Mode::out_only))
                continue;
            for (int i = 0; i < s.depth; ++i) {
                auto x = std::make_unique<RawTransfer>();
                x->t = libusb_alloc_transfer(0);
                x->board = &b;
                x->out = out;
                x->buf.assign(static_cast<std::size_t>(s.size), 0);
                libusb_fill_bulk_transfer(x->t, b.h, out ? ep_out : ep_in, x->buf.data(), s.size,
                                          raw_done, x.get(), 0);
                if (out) {
                    if (b.out_offset % app_chunk == 0 && s.verify)
                        fill_words(b.app_out.data(), app_chunk, b.out_offset, b.seed);
                    const std::uint64_t at = b.out_offset % app_chunk;
                    const auto len = static_cast<int>(std::min<std::uint64_t>(s.size, app_chunk - at));
                    std::memcpy(x->buf.data(), b.app_out.data() + at, static_cast<std::size_t>(len));
                    x->t->length = len;
                    b.out_offset += static_cast<std::uint64_t>(len);
                }
                xs.push_back(std::move(x));
            }
        }
    }
    // IN first, so that loopback data always has somewhere to go.
    std::stable_sort(xs.begin(), xs.end(), [](const auto& a, const auto& b) { return !a->out && b->out; });
    for (auto& x : xs)
        if (libusb_submit_transfer(x->t) == 0)
            ++raw_in_flight;
    auto pump_until = [&](Clock::time_point end) {
        while (Clock::now() < end) {
            timeval tv{0, 100000};
            libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
        }
    };
    pump_until(Clock::now() + std::chrono::milliseconds(700));
    std::vector<std::uint64_t> b0, b1;
    for (auto& b : boards)
        b0.push_back(b.moved);
    const double h0 = host_cpu(), p0 = process_cpu();
    const auto t0 = Clock::now();
    std::thread side;
    if (during)
        side = std::thread([&] {
            std::this_thread::sleep_until(t0 + run / 2);
            during();
        });
    pump_until(t0 + run);
    if (side.joinable())
        side.join();
    for (auto& b : boards)
        b1.push_back(b.moved);
    const double h1 = host_cpu(), p1 = process_cpu();
    const auto t1 = Clock::now();
    raw_keep_going = false;
    for (auto& x : xs)
        libusb_cancel_transfer(x->t);
    const auto give_up = Clock::now() + std::chrono::seconds(5);
    while (raw_in_flight > 0 && Clock::now() < give_up) {
        timeval tv{0, 100000};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
    }
    for (auto& x : xs)
        libusb_free_transfer(x->t);
    Result r = finish(b0, b1, seconds(t1 - t0), h1 - h0, p1 - p0);
    for (auto& b : boards)
        r.exact = r.exact && !b.wrong;
    return r;
}

libusb_device_handle* raw_open(libusb_context* ctx, const vboard::PluggedBoard& p) {
    libusb_device_handle* h = nullptr;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n && !h; ++i) {
        if (libusb_get_bus_number(list[i]) == p.bus && libusb_get_device_address(list[i]) == p.address)
            libusb_open(list[i], &h);
    }
    libusb_free_device_list(list, 1);
    // In the kernel the board's video function has uvcvideo on interface 0; the library takes it
    // over the same way.
    if (h)
        libusb_set_auto_detach_kernel_driver(h, 1);
    if (!h || libusb_claim_interface(h, 0) != 0) {
        std::fprintf(stderr, "cannot open the virtual board with libusb\n");
        std::exit(1);
    }
    libusb_control_transfer(h, 0x40, 4, 1, 0, nullptr, 0, 1000); // FIFO mode
    return h;
}

void raw_close(libusb_device_handle* h) {
    libusb_release_interface(h, 0);
    libusb_close(h);
}

// ---- the bench ---------------------------------------------------------------------------------

struct Bench {
    vboard::VirtualBus& bus;
    std::vector<vboard::PluggedBoard> plugged;
    libusb_context* ctx = nullptr;

    void set_source(Mode m) {
        for (auto& p : plugged)
            if (bus.plugged(p.id))
                bus.board(p.id).set_fifo_source(m == Mode::loopback ? vboard::FifoSource::loopback
                                                                    : vboard::FifoSource::pattern);
    }

    // One round of one mode on the first `n` boards: the library, then the raw loops.
    std::pair<Result, Result> round(Mode m, const Setup& s, int n, Clock::duration run) {
        set_source(m);
        std::vector<std::unique_ptr<LibBoard>> lib(static_cast<std::size_t>(n));
        for (int k = 0; k < n; ++k) {
            const int i = reverse_open ? n - 1 - k : k;
            auto& b = lib[static_cast<std::size_t>(i)];
            b = std::make_unique<LibBoard>();
            b->h = lib_open(i, s, false, m);
            b->seed = 1000003ull * static_cast<std::uint64_t>(i + 1);
        }
        const Result l = lib_stream(lib, m, s, run);
        for (auto& b : lib)
            FT_Close(b->h);
        set_source(m); // drops loopback data left over
        std::vector<RawBoard> raw(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            raw[static_cast<std::size_t>(i)].h = raw_open(ctx, plugged[static_cast<std::size_t>(i)]);
            raw[static_cast<std::size_t>(i)].seed = 1000003ull * static_cast<std::uint64_t>(i + 1);
        }
        const Result r = raw_stream(ctx, raw, m, s, run);
        for (auto& b : raw)
            raw_close(b.h);
        return {l, r};
    }
};

struct Series {
    std::vector<double> lib_mbps, raw_mbps, lib_host, raw_host, lib_proc, raw_proc;
    bool exact = true;
    void add(const std::pair<Result, Result>& p) {
        lib_mbps.push_back(p.first.mbps);
        raw_mbps.push_back(p.second.mbps);
        lib_host.push_back(p.first.host_s_per_gib);
        raw_host.push_back(p.second.host_s_per_gib);
        lib_proc.push_back(p.first.process_s_per_gib);
        raw_proc.push_back(p.second.process_s_per_gib);
        exact = exact && p.first.exact && p.second.exact;
    }
    double ratio(const std::vector<double>& a, const std::vector<double>& b) const {
        const double d = median(b);
        return d > 0 ? median(a) / d : 0.0;
    }
};

void print_series(const std::string& name, const Series& s) {
    std::printf("library_%s_throughput: %.1f MB/s\n", name.c_str(), median(s.lib_mbps));
    std::printf("raw_async_%s_throughput: %.1f MB/s\n", name.c_str(), median(s.raw_mbps));
    std::printf("library_%s_host_cpu: %.2f s/GiB\n", name.c_str(), median(s.lib_host));
    std::printf("raw_async_%s_host_cpu: %.2f s/GiB\n", name.c_str(), median(s.raw_host));
    std::printf("library_%s_process_cpu: %.2f s/GiB\n", name.c_str(), median(s.lib_proc));
    std::printf("raw_async_%s_process_cpu: %.2f s/GiB\n", name.c_str(), median(s.raw_proc));
    std::printf("%s_throughput_library_vs_raw: %.2f\n", name.c_str(), s.ratio(s.lib_mbps, s.raw_mbps));
    std::printf("%s_host_cpu_library_vs_raw: %.2f\n", name.c_str(), s.ratio(s.lib_host, s.raw_host));
    std::printf("%s_process_cpu_library_vs_raw: %.2f\n", name.c_str(), s.ratio(s.lib_proc, s.raw_proc));
}

void memory_report(Bench& b) {
    b.set_source(Mode::loopback);
    // The bench's own buffers and threads exist before the first figure, so that only the
    // library's memory shows.
    std::vector<std::uint8_t> out(app_chunk, 0x5A), in(app_chunk, 0);
    std::atomic<void*> h{nullptr};
    std::atomic<bool> go{false}, stop{false};
    std::thread writer([&] {
        while (!go.load() && !stop.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (std::uint64_t sent = 0; sent < (1ull << 30) && !stop.load();) {
            std::uint32_t n = 0;
            const FT_RESULT r = FT_WritePipe(h.load(), ep_out, out.data(), app_chunk, &n, nullptr);
            sent += n;
            if (r != 0 && r != STATUS_TIMED_OUT)
                return;
        }
    });
    const double before = resident_mib();
    h = lib_open(0, Setup{}, true);
    const double opened = resident_mib();
    // Stream a GiB of loopback through the handle; memory must not grow with it.
    go = true;
    std::uint64_t got = 0;
    const auto give_up = Clock::now() + std::chrono::minutes(5);
    while (got < (1ull << 30) && Clock::now() < give_up) {
        std::uint32_t n = 0;
        const FT_RESULT r = FT_ReadPipe(h.load(), ep_in, in.data(), app_chunk, &n, nullptr);
        got += n;
        if (r != 0 && r != STATUS_TIMED_OUT)
            break;
    }
    stop = true;
    writer.join();
    const double streamed = resident_mib();
    FT_Close(h.load());
    const double closed = resident_mib();
    // A second handle reuses what the first left to the allocator.
    FT_Close(lib_open(0, Setup{}, true));
    const double again = resident_mib();
    std::printf("memory_streamed: %.0f MiB\n", static_cast<double>(got) / (1 << 20));
    std::printf("rss_per_fifo_handle_default_conf: %.1f MiB\n", opened - before);
    std::printf("rss_growth_after_1gib_stream: %.1f MiB\n", streamed - opened);
    std::printf("rss_kept_by_the_allocator_after_close: %.1f MiB\n", closed - before);
    std::printf("rss_growth_by_a_second_open_close: %.1f MiB\n", again - closed);
}

void sweep(Bench& b, int rounds, Clock::duration run) {
    const int sizes[] = {4 << 10, 16 << 10, 64 << 10, 256 << 10, 1 << 20};
    // bUrbNum 1 selects the default (8), so 2 is the fewest transfers the library keeps in flight.
    const int depths[] = {2, 4, 8, 32};
    // usbfs charges every transfer in flight against 16 MiB (both endpoints together).
    constexpr long usbfs_limit = 15l << 20;
    std::map<std::pair<int, int>, Series> cells;
    for (int r = 0; r < rounds; ++r)
        for (int size : sizes)
            for (int depth : depths)
                if (2l * size * depth <= usbfs_limit)
                    cells[{size, depth}].add(b.round(Mode::loopback, Setup{size, depth, false}, 1, run));
    std::printf("sweep: loopback, library / raw loop; throughput MB/s (ratio), host CPU s/GiB (ratio); median of %d rounds\n", rounds);
    std::printf("sweep_header: size_KiB depth lib_MBps raw_MBps tput_ratio lib_cpu raw_cpu cpu_ratio\n");
    for (const auto& [key, s] : cells)
        std::printf("sweep_cell: %d %d %.1f %.1f %.2f %.2f %.2f %.2f\n", key.first >> 10, key.second,
                    median(s.lib_mbps), median(s.raw_mbps), s.ratio(s.lib_mbps, s.raw_mbps),
                    median(s.lib_host), median(s.raw_host), s.ratio(s.lib_host, s.raw_host));
}

void array(Bench& b, int n, int rounds, Clock::duration run) {
    // Calls of 256 KiB: a board's share is counted per call, and on a slow transport 1 MiB calls
    // would make the count too coarse to compare boards.
    const Setup s{32 * 1024, 8, true, 256 * 1024};
    Series one, all;
    std::vector<double> spread, raw_spread;
    // The worst board's deviation from the mean share.
    const auto deviation = [n](const Result& r) {
        double mean = 0, worst = 0;
        for (double x : r.board_bytes)
            mean += x / n;
        for (double x : r.board_bytes)
            worst = std::max(worst, mean > 0 ? std::abs(x / mean - 1) : 1.0);
        return worst;
    };
    for (int r = 0; r < rounds; ++r) {
        one.add(b.round(Mode::loopback, s, 1, run));
        const auto p = b.round(Mode::loopback, s, n, run);
        all.add(p);
        spread.push_back(deviation(p.first));
        raw_spread.push_back(deviation(p.second));
        // Each board's share of the mean, in the library's index order and the raw loops' plugging
        // order: whether the same board is always the short one.
        const auto shares = [n](const Result& x) {
            double mean = 0;
            for (double v : x.board_bytes)
                mean += v / n;
            std::string line;
            for (double v : x.board_bytes)
                line += " " + std::to_string(mean > 0 ? v / mean : 0).substr(0, 4);
            return line;
        };
        std::printf("array_round_%d_shares: library%s; raw%s\n", r + 1, shares(p.first).c_str(), shares(p.second).c_str());
    }
    std::printf("array_boards: %d\n", n);
    std::printf("array_library_throughput: %.1f MB/s\n", median(all.lib_mbps));
    std::printf("array_raw_async_throughput: %.1f MB/s\n", median(all.raw_mbps));
    std::printf("array_throughput_library_vs_raw: %.2f\n", all.ratio(all.lib_mbps, all.raw_mbps));
    std::printf("array_library_share_worst_deviation: %.0f%%\n", 100 * median(spread));
    std::printf("array_raw_share_worst_deviation: %.0f%%\n", 100 * median(raw_spread));
    std::printf("array_library_host_cpu: %.2f s/GiB\n", median(all.lib_host));
    std::printf("array_library_host_cpu_one_board: %.2f s/GiB\n", median(one.lib_host));
    std::printf("array_library_cpu_growth_1_to_%d: %.2f\n", n, one.ratio(all.lib_host, one.lib_host));
    std::printf("array_raw_host_cpu_growth_1_to_%d: %.2f\n", n, one.ratio(all.raw_host, one.raw_host));
    std::printf("array_data_exact: %s\n", all.exact && one.exact ? "yes" : "NO");

    // Unplug the last board in the middle of a library stream; reads of 64 KiB show a stall of
    // the others finely.
    Setup fine = s;
    fine.app = 64 * 1024;
    b.set_source(Mode::loopback);
    std::vector<std::unique_ptr<LibBoard>> lib;
    for (int i = 0; i < n; ++i) {
        lib.push_back(std::make_unique<LibBoard>());
        lib.back()->h = lib_open(i, fine);
        lib.back()->seed = 1000003ull * static_cast<std::uint64_t>(i + 1);
    }
    Clock::time_point unplugged, unplug_returned;
    lib_stream(lib, Mode::loopback, fine, run, [&] {
        unplugged = Clock::now();
        b.bus.unplug(b.plugged.back().id);
        unplug_returned = Clock::now();
    });
    // The unplugged board is the one whose calls ended with "device gone" (the library's index
    // order need not be the plugging order). The others' longest gap between reads that returned
    // data, around the unplug, and in the window before it for comparison.
    double stall = 0, before = 0;
    const auto gaps = [](const std::vector<Clock::time_point>& t, Clock::time_point unplugged,
                         double& stall, double& before) {
        for (std::size_t k = 1; k < t.size(); ++k) {
            const double gap = seconds(t[k] - t[k - 1]) * 1000;
            if (t[k] > unplugged - std::chrono::milliseconds(100) && t[k - 1] < unplugged + std::chrono::seconds(1))
                stall = std::max(stall, gap);
            else if (t[k] < unplugged)
                before = std::max(before, gap);
        }
    };
    bool others_exact = true, others_ok = true;
    int gone = 0;
    for (auto& bp : lib) {
        if (bp->end_status == STATUS_DEVICE_GONE) {
            ++gone;
            continue;
        }
        const auto& t = bp->read_times;
        gaps(t, unplugged, stall, before);
        others_exact = others_exact && !bp->wrong;
        others_ok = others_ok && bp->end_status == 0 && !t.empty() && t.back() > unplugged + run / 4;
    }
    const auto c0 = Clock::now();
    for (auto& bp : lib)
        FT_Close(bp->h);
    std::printf("array_unplug_boards_gone: %d (status 30 on their calls)\n", gone);
    std::printf("array_unplug_others_max_gap_ms: %.0f (before the unplug: %.0f)\n", stall, before);
    std::printf("array_unplug_call_ms: %.0f (the virtual bus's own unplug)\n", seconds(unplug_returned - unplugged) * 1000);
    std::printf("array_unplug_others_exact_and_streaming: %s\n", others_exact && others_ok ? "yes" : "NO");
    std::printf("array_close_all_ms: %.0f\n", seconds(Clock::now() - c0) * 1000);

    // The same unplug under the raw loops, for the gaps the transport itself makes.
    b.plugged.back() = b.bus.plug();
    b.set_source(Mode::loopback);
    std::vector<RawBoard> raw(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        raw[static_cast<std::size_t>(i)].h = raw_open(b.ctx, b.plugged[static_cast<std::size_t>(i)]);
        raw[static_cast<std::size_t>(i)].seed = 1000003ull * static_cast<std::uint64_t>(i + 1);
    }
    raw_stream(b.ctx, raw, Mode::loopback, s, run, [&] {
        unplugged = Clock::now();
        b.bus.unplug(b.plugged.back().id);
    });
    // The last raw board is the unplugged one.
    double raw_stall = 0, raw_before = 0;
    bool raw_exact = true;
    for (std::size_t i = 0; i + 1 < raw.size(); ++i) {
        gaps(raw[i].read_times, unplugged, raw_stall, raw_before);
        raw_exact = raw_exact && !raw[i].wrong;
    }
    for (RawBoard& r : raw)
        raw_close(r.h);
    std::printf("array_unplug_raw_others_max_gap_ms: %.0f (before the unplug: %.0f)%s\n", raw_stall, raw_before,
                raw_exact ? "" : ", DATA WRONG");
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> positional;
    bool do_sweep = false, do_memory = true;
    int boards = 1;
    Setup main_setup; // 8 transfers of 32 KiB per endpoint on both sides
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--sweep")
            do_sweep = true;
        else if (a == "--reverse-open")
            reverse_open = true;
        else if (a == "--no-memory")
            do_memory = false;
        else if (a == "--size" && i + 1 < argc)
            main_setup.size = std::atoi(argv[++i]) * 1024;
        else if (a == "--depth" && i + 1 < argc)
            main_setup.depth = std::atoi(argv[++i]);
        else if (a == "--call" && i + 1 < argc)
            main_setup.app = static_cast<std::uint32_t>(std::clamp(std::atoi(argv[++i]), 1, 64 * 1024) * 1024);
        else if (a == "--buffers" && i + 1 < argc)
            main_setup.buffers = std::clamp(std::atoi(argv[++i]), 0, 65535);
        else if (a == "--boards" && i + 1 < argc)
            boards = std::clamp(std::atoi(argv[++i]), 1, vboard::VirtualBus::hub_ports);
        else
            positional.push_back(a);
    }
    const double phase = positional.size() > 0 ? std::atof(positional[0].c_str()) : 2.0;
    const int rounds = positional.size() > 1 ? std::atoi(positional[1].c_str()) : 3;
    const auto run = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(phase));

    // Never destroyed: the library releases libusb when it is unloaded, after main returns, and the
    // emulated bus must still exist then.
    const auto own = task_ids();
    vboard::VirtualBus& bus = *new vboard::VirtualBus;
    Bench b{bus, {}, nullptr};
    for (int i = 0; i < boards; ++i)
        b.plugged.push_back(bus.plug());
    // Every thread so far but main belongs to the virtual boards; the library starts its own later.
    device_threads = task_ids();
    for (int t : own)
        device_threads.erase(t);
    // The raw loops' own libusb context.
    if (libusb_init(&b.ctx) != 0)
        return 1;

    std::printf("transport: %s\n", bus.transport() == vboard::Transport::kernel ? "kernel" : "umockdev");
    std::printf("rounds: %d of %.1f s per phase, library and raw loop alternated\n", rounds, phase);
    if (boards > 1) {
        array(b, boards, rounds, run);
        libusb_exit(b.ctx);
        return 0;
    }
    if (do_memory)
        memory_report(b);
    const Setup s = main_setup;
    std::printf("transfers_in_flight: %d of %d bytes per endpoint\n", s.depth, s.size);
    std::map<Mode, Series> series;
    for (int r = 0; r < rounds; ++r)
        for (Mode m : {Mode::loopback, Mode::in_only, Mode::out_only})
            series[m].add(b.round(m, s, 1, run));
    for (const auto& [m, ser] : series)
        print_series(mode_name(m), ser);
    if (do_sweep)
        sweep(b, rounds, std::chrono::duration_cast<Clock::duration>(run / 2));
    libusb_exit(b.ctx);
    return 0;
}
