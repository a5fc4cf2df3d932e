// Streaming throughput of the library's pipes on one virtual board, next to hand-written raw libusb
// loops on the same endpoints: an asynchronous loop with 8 transfers of 32 KiB per endpoint and a
// synchronous libusb_bulk_transfer loop. Prints "name: value" lines.
//
// Usage: bench_stream [seconds per phase, default 3] [rounds, default 3]
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
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ostrane/ft60x.h"
#include "umockdev/virtual_bus.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int depth = 8;
constexpr int chunk = 32 * 1024;
constexpr std::uint32_t app_chunk = 1u << 20; // bytes per library read or write call
constexpr double mb = 1e6;
constexpr double gib = 1024.0 * 1024.0 * 1024.0;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// ---- threads of this process -------------------------------------------------------------------

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

std::string task_name(int tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string s;
    std::getline(f, s);
    return s;
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

double cpu_of(const std::set<int>& tids) {
    double s = 0;
    for (int t : tids)
        s += task_cpu(t);
    return s;
}

// The virtual board's own threads (its USB/IP server, or the emulated bus), set once it is plugged.
std::set<int> device_threads;

// CPU seconds of the host side: the whole process but the virtual board's threads, i.e. the
// library's and the application's threads, or the raw loop's.
double host_cpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    const auto secs = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return secs(u.ru_utime) + secs(u.ru_stime) - cpu_of(device_threads);
}

// ---- the library -------------------------------------------------------------------------------

struct measurement {
    double mbps = 0;
    double bytes = 0;
    double lib_cpu = 0; // CPU seconds of the library's own threads during the measurement
    double host_cpu = 0; // CPU seconds of the host side (see host_cpu())
};

// Streams through the open handle for `run` after a warm-up; `write` adds a writer thread.
measurement library_stream(void* h, bool write, Clock::duration run, const std::set<int>& lib) {
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> received{0};
    FT_SetPipeTimeout(h, 0x85, 200);
    FT_SetPipeTimeout(h, 0x05, 200);
    std::thread writer;
    if (write) {
        writer = std::thread([&] {
            std::vector<std::uint8_t> buf(app_chunk, 0x5A);
            while (!stop.load()) {
                std::uint32_t n = 0;
                const FT_RESULT r = FT_WritePipe(h, 0x05, buf.data(), app_chunk, &n, nullptr);
                if (r != 0 && r != STATUS_TIMED_OUT) {
                    std::fprintf(stderr, "write failed: %u\n", static_cast<unsigned>(r));
                    return;
                }
            }
        });
    }
    std::thread reader([&] {
        std::vector<std::uint8_t> buf(app_chunk);
        for (;;) {
            std::uint32_t n = 0;
            const FT_RESULT r = FT_ReadPipe(h, 0x85, buf.data(), app_chunk, &n, nullptr);
            received += n;
            if (stop.load())
                return;
            if (r != 0 && r != STATUS_TIMED_OUT) {
                std::fprintf(stderr, "read failed: %u\n", static_cast<unsigned>(r));
                return;
            }
        }
    });
    // The warm-up fills the pipe's buffers; only the steady state counts.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const std::uint64_t b0 = received.load();
    const double c0 = cpu_of(lib), h0 = host_cpu();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(run);
    const std::uint64_t b1 = received.load();
    const double c1 = cpu_of(lib), h1 = host_cpu();
    const auto t1 = Clock::now();
    stop.store(true);
    if (writer.joinable())
        writer.join();
    reader.join();
    measurement m;
    m.bytes = static_cast<double>(b1 - b0);
    m.mbps = m.bytes / seconds(t1 - t0) / mb;
    m.lib_cpu = c1 - c0;
    m.host_cpu = h1 - h0;
    return m;
}

// ---- raw libusb --------------------------------------------------------------------------------

struct raw_stream {
    libusb_transfer* t = nullptr;
    std::vector<std::uint8_t> buf = std::vector<std::uint8_t>(chunk, 0x5A);
    std::uint64_t* bytes = nullptr;
    bool* keep_going = nullptr;
    int* in_flight = nullptr;
};

void LIBUSB_CALL raw_done(libusb_transfer* t) {
    auto* s = static_cast<raw_stream*>(t->user_data);
    if (t->status == LIBUSB_TRANSFER_COMPLETED)
        *s->bytes += static_cast<std::uint64_t>(t->actual_length);
    if (*s->keep_going && t->status == LIBUSB_TRANSFER_COMPLETED && libusb_submit_transfer(t) == 0)
        return;
    --*s->in_flight;
}

// Keeps `depth` transfers of `chunk` bytes queued on each endpoint, resubmitting from the
// completion; measures the first endpoint after a warm-up.
measurement raw_async(libusb_context* ctx, libusb_device_handle* h, std::vector<unsigned char> eps,
                 Clock::duration run) {
    std::uint64_t counted = 0, other = 0;
    bool keep_going = true;
    int in_flight = 0;
    std::vector<raw_stream> streams(depth * eps.size());
    for (std::size_t e = 0; e < eps.size(); ++e)
        for (int i = 0; i < depth; ++i) {
            raw_stream& s = streams[e * depth + i];
            s.t = libusb_alloc_transfer(0);
            s.bytes = e == 0 ? &counted : &other;
            s.keep_going = &keep_going;
            s.in_flight = &in_flight;
            libusb_fill_bulk_transfer(s.t, h, eps[e], s.buf.data(), chunk, raw_done, &s, 0);
        }
    for (auto& s : streams)
        if (libusb_submit_transfer(s.t) == 0)
            ++in_flight;
    auto pump_until = [&](Clock::time_point end) {
        while (Clock::now() < end) {
            timeval tv{0, 100000};
            libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
        }
    };
    pump_until(Clock::now() + std::chrono::milliseconds(1000));
    const std::uint64_t b0 = counted;
    const double h0 = host_cpu();
    const auto t0 = Clock::now();
    pump_until(t0 + run);
    const std::uint64_t b1 = counted;
    const double h1 = host_cpu();
    const auto t1 = Clock::now();
    keep_going = false;
    for (auto& s : streams)
        libusb_cancel_transfer(s.t);
    while (in_flight > 0) {
        timeval tv{0, 100000};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
    }
    for (auto& s : streams)
        libusb_free_transfer(s.t);
    measurement m;
    m.bytes = static_cast<double>(b1 - b0);
    m.mbps = m.bytes / seconds(t1 - t0) / mb;
    m.host_cpu = h1 - h0;
    return m;
}

// One thread: write 32 KiB, read it back, again.
double raw_sync_loopback(libusb_device_handle* h, Clock::duration run) {
    std::vector<std::uint8_t> out(chunk, 0x5A), in(chunk);
    std::uint64_t bytes = 0;
    const auto t0 = Clock::now();
    const auto end = t0 + run;
    while (Clock::now() < end) {
        int n = 0;
        if (libusb_bulk_transfer(h, 0x05, out.data(), chunk, &n, 1000) != 0)
            break;
        for (int got = 0; got < n;) {
            int m = 0;
            if (libusb_bulk_transfer(h, 0x85, in.data(), chunk, &m, 1000) != 0)
                return 0;
            got += m;
            bytes += static_cast<std::uint64_t>(m);
        }
    }
    return static_cast<double>(bytes) / seconds(Clock::now() - t0) / mb;
}

libusb_device_handle* raw_open(libusb_context* ctx, const vboard::PluggedBoard& p) {
    libusb_device_handle* h = nullptr;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n && !h; ++i) {
        if (libusb_get_bus_number(list[i]) == p.bus &&
            libusb_get_device_address(list[i]) == p.address)
            libusb_open(list[i], &h);
    }
    libusb_free_device_list(list, 1);
    return h;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const double phase = argc > 1 ? std::atof(argv[1]) : 3.0;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const auto run =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(phase));

    // Never destroyed: the library releases libusb when it is unloaded, after main returns, and the
    // emulated bus must still exist then.
    vboard::VirtualBus& bus = *new vboard::VirtualBus;
    const auto plugged = bus.plug();
    vboard::Board& board = bus.board(plugged.id);
    device_threads = task_ids();
    device_threads.erase(static_cast<int>(gettid()));

    // The raw loops' own libusb context, made first so that its threads are not counted below.
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0)
        return 1;
    // Threads that appear from here on are the library's own: its event thread, device-arrival
    // thread, libusb's monitor thread of its context and the pipes' workers.
    const std::set<int> before = task_ids();

    // The machine is shared and emulated USB is noisy: the phases alternate over several rounds
    // and each figure is the median of its rounds.
    std::vector<double> lib_loop, lib_in, async_loop, async_in, sync_loop;
    double loop_cpu = 0, loop_bytes = 0, in_cpu = 0, in_bytes = 0;
    double loop_host = 0, raw_loop_host = 0, raw_loop_bytes = 0;
    for (int r = 0; r < rounds; ++r) {
        FT_TRANSFER_CONF conf{};
        conf.wStructSize = sizeof conf;
        conf.bFifoMode = 1;
        // The same transfers as the raw loops: `depth` in flight of `chunk` bytes on each pipe.
        for (FT_PIPE_TRANSFER_CONF& pipe : conf.aPipe) {
            pipe.bUrbNum = depth;
            pipe.dwBufSize = chunk;
        }
        if (FT_SetTransferParams(&conf, 0) != 0) {
            std::fprintf(stderr, "transfer parameters refused\n");
            return 1;
        }
        void* h = nullptr;
        if (FT_Create(nullptr, FT_OPEN_BY_INDEX, &h) != 0) {
            std::fprintf(stderr, "cannot open the virtual board in FIFO mode\n");
            return 1;
        }
        std::set<int> lib;
        for (int t : task_ids())
            if (!before.count(t))
                lib.insert(t);
        if (r == 0) {
            std::map<std::string, int> names;
            for (int t : lib)
                ++names[task_name(t)];
            std::printf("library_threads:");
            for (const auto& [name, count] : names)
                std::printf(" %s x%d", name.c_str(), count);
            std::printf("\n");
        }
        const measurement loop = library_stream(h, true, run, lib);
        board.set_fifo_source(vboard::FifoSource::pattern);
        const measurement in_only = library_stream(h, false, run, lib);
        board.set_fifo_source(vboard::FifoSource::loopback);
        FT_Close(h);
        lib_loop.push_back(loop.mbps);
        lib_in.push_back(in_only.mbps);
        loop_cpu += loop.lib_cpu;
        loop_host += loop.host_cpu;
        loop_bytes += loop.bytes;
        in_cpu += in_only.lib_cpu;
        in_bytes += in_only.bytes;

        // Raw libusb on the same endpoints of the same board.
        libusb_device_handle* raw = raw_open(ctx, plugged);
        if (!raw || libusb_claim_interface(raw, 0) != 0) {
            std::fprintf(stderr, "cannot open the virtual board with libusb\n");
            return 1;
        }
        libusb_control_transfer(raw, 0x40, 4, 1, 0, nullptr, 0, 1000); // FIFO mode
        const measurement raw_loop = raw_async(ctx, raw, {0x85, 0x05}, run);
        async_loop.push_back(raw_loop.mbps);
        raw_loop_host += raw_loop.host_cpu;
        raw_loop_bytes += raw_loop.bytes;
        board.set_fifo_source(vboard::FifoSource::pattern);
        async_in.push_back(raw_async(ctx, raw, {0x85}, run).mbps);
        board.set_fifo_source(vboard::FifoSource::loopback);
        sync_loop.push_back(raw_sync_loopback(raw, run));
        libusb_release_interface(raw, 0);
        libusb_close(raw);
    }
    libusb_exit(ctx);

    const double loop = median(lib_loop), in = median(lib_in), aloop = median(async_loop),
                 ain = median(async_in), sloop = median(sync_loop);
    std::printf("rounds: %d of %.1f s per phase\n", rounds, phase);
    std::printf("transfers_in_flight: %d of %d bytes per endpoint (library and raw loops)\n", depth, chunk);
    std::printf("library_loopback_throughput: %.1f MB/s\n", loop);
    std::printf("library_in_only_throughput: %.1f MB/s\n", in);
    std::printf("raw_async_loopback_throughput: %.1f MB/s\n", aloop);
    std::printf("raw_async_in_only_throughput: %.1f MB/s\n", ain);
    std::printf("raw_sync_loopback_throughput: %.1f MB/s\n", sloop);
    std::printf("library_threads_cpu_loopback: %.2f s/GiB\n", loop_cpu / (loop_bytes / gib));
    std::printf("library_threads_cpu_in_only: %.2f s/GiB\n", in_cpu / (in_bytes / gib));
    std::printf("host_side_cpu_loopback_library: %.2f s/GiB\n", loop_host / (loop_bytes / gib));
    std::printf("host_side_cpu_loopback_raw_async: %.2f s/GiB\n", raw_loop_host / (raw_loop_bytes / gib));
    std::printf("stream-vs-async-loop: %.2f\n", aloop > 0 ? loop / aloop : 0.0);
    std::printf("stream-vs-sync-loop: %.2f\n", sloop > 0 ? loop / sloop : 0.0);
    std::printf("in-only-vs-async-in: %.2f\n", ain > 0 ? in / ain : 0.0);
    return 0;
}
