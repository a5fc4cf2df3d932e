// `ostrane-cli stream`: pushes a checked pattern through a board's FIFO loopback in FIFO mode,
// one thread writing and one reading, and reports the rate and any data error.
#include <CLI/CLI.hpp>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "ostrane/ft60x.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr std::uint8_t fifo_out_ep = 0x05;
constexpr std::uint8_t fifo_in_ep = 0x85;
// How long the reader keeps waiting for data the writer already handed over.
constexpr auto drain_grace = std::chrono::seconds(3);

struct stream_options {
    unsigned board = 0;
    double seconds = 5.0;
    std::uint32_t size = 1u << 20;
};

// Byte `o` of the stream is byte (o % 4) of the little-endian 32-bit word o / 4.
void fill_pattern(std::uint8_t* p, std::uint64_t offset, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t o = offset + i;
        p[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(o >> 2) >> (8 * (o & 3)));
    }
}

// Fast path for the common case of a word-aligned offset and length.
void fill_words(std::uint8_t* p, std::uint64_t offset, std::size_t n) {
    if ((offset & 3) != 0 || (n & 3) != 0) {
        fill_pattern(p, offset, n);
        return;
    }
    std::uint32_t w = static_cast<std::uint32_t>(offset >> 2);
    for (std::size_t i = 0; i < n; i += 4, ++w)
        std::memcpy(p + i, &w, 4);
}

struct shared_state {
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint64_t> read{0};
    std::atomic<bool> writer_done{false};
    std::atomic<bool> reader_done{false};
    std::atomic<std::uint64_t> mismatched_bytes{0};
    std::atomic<std::uint64_t> first_error_offset{UINT64_MAX};
    std::atomic<FT_RESULT> write_status{0};
    std::atomic<FT_RESULT> read_status{0};
    // Which side failed first (0 none, 1 writer, 2 reader): the other side's failure follows it.
    std::atomic<int> first_failure{0};

    void fail(bool writer, FT_RESULT r) {
        (writer ? write_status : read_status).store(r);
        int none = 0;
        first_failure.compare_exchange_strong(none, writer ? 1 : 2);
    }
};

void writer(void* h, const stream_options& opt, steady::time_point end, shared_state& st) {
    std::vector<std::uint8_t> buf(opt.size);
    std::uint64_t off = 0;
    auto last_progress = steady::now();
    // Nothing to write for once the reader has given up.
    while (steady::now() < end && !st.reader_done.load()) {
        fill_words(buf.data(), off, buf.size());
        for (std::uint32_t sent = 0; sent < opt.size;) {
            std::uint32_t n = 0;
            const FT_RESULT r = FT_WritePipeEx(h, 4, buf.data() + sent, opt.size - sent, &n, 200);
            sent += n;
            off += n;
            st.written.store(off);
            if (n > 0)
                last_progress = steady::now();
            if (r != 0 && r != STATUS_TIMED_OUT) {
                st.fail(true, r);
                st.writer_done.store(true);
                return;
            }
            if (st.reader_done.load())
                break;
            if (steady::now() - last_progress > drain_grace) {
                st.fail(true, STATUS_TIMED_OUT);
                st.writer_done.store(true);
                return;
            }
        }
    }
    st.writer_done.store(true);
}

void reader(void* h, const stream_options& opt, shared_state& st) {
    std::vector<std::uint8_t> buf(opt.size);
    std::vector<std::uint8_t> want(opt.size);
    std::uint64_t off = 0;
    auto last_progress = steady::now();
    for (;;) {
        const bool writer_finished = st.writer_done.load();
        const std::uint64_t target = st.written.load();
        if (writer_finished && off >= target)
            break;
        if (writer_finished && steady::now() - last_progress > drain_grace)
            break;
        std::uint32_t got = 0;
        const FT_RESULT r = FT_ReadPipeEx(h, 4, buf.data(), opt.size, &got, 200);
        if (got > 0) {
            fill_words(want.data(), off, got);
            if (std::memcmp(buf.data(), want.data(), got) != 0) {
                std::uint64_t bad = 0;
                for (std::uint32_t i = 0; i < got; ++i) {
                    if (buf[i] != want[i]) {
                        if (bad == 0) {
                            std::uint64_t expected = UINT64_MAX;
                            st.first_error_offset.compare_exchange_strong(expected, off + i);
                        }
                        ++bad;
                    }
                }
                st.mismatched_bytes.fetch_add(bad);
            }
            off += got;
            st.read.store(off);
            last_progress = steady::now();
        }
        if (r != 0 && r != STATUS_TIMED_OUT) {
            st.fail(false, r);
            break;
        }
    }
    st.reader_done.store(true);
}

std::string human_bytes(double b) {
    const char* units[] = {"B", "KB", "MB", "GB", "TB"};
    int u = 0;
    while (b >= 1000.0 && u < 4) {
        b /= 1000.0;
        ++u;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", b, units[u]);
    return text;
}

const char* status_text(FT_RESULT r) {
    switch (r) {
    case STATUS_BAD_HANDLE:
        return "bad handle";
    case STATUS_IO_FAILED:
        return "I/O failed";
    case STATUS_BAD_PARAMETER:
        return "invalid parameter (is the board in FIFO mode?)";
    case STATUS_TIMED_OUT:
        return "timed out";
    case STATUS_TRANSFER_CANCELLED:
        return "transfer cancelled";
    case STATUS_DEVICE_GONE:
        return "device gone";
    default:
        return "failed";
    }
}

int run_stream(const stream_options& opt) {
    FT_TRANSFER_CONF conf{};
    conf.wStructSize = sizeof(FT_TRANSFER_CONF);
    conf.bFifoMode = 1;
    if (FT_SetTransferParams(&conf, 0) != 0) {
        std::fprintf(stderr, "ostrane-cli: stream: cannot set the transfer configuration\n");
        return 1;
    }
    void* h = nullptr;
    const FT_RESULT cr = FT_Create(reinterpret_cast<void*>(static_cast<std::uintptr_t>(opt.board)),
                                   FT_OPEN_BY_INDEX, &h);
    if (cr != 0 || h == nullptr) {
        std::fprintf(stderr, "ostrane-cli: stream: cannot open board %u in FIFO mode (code %u)\n",
                     opt.board, static_cast<unsigned>(cr));
        return 1;
    }

    shared_state st;
    const auto start = steady::now();
    const auto end = start + std::chrono::duration_cast<steady::duration>(
                                 std::chrono::duration<double>(opt.seconds));
    std::thread rd(reader, h, std::cref(opt), std::ref(st));
    std::thread wr(writer, h, std::cref(opt), end, std::ref(st));

    const bool tty = isatty(STDOUT_FILENO) != 0;
    const auto tick = tty ? std::chrono::milliseconds(200) : std::chrono::milliseconds(1000);
    auto last_t = start;
    std::uint64_t last_read = 0;
    while (!st.reader_done.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto now = steady::now();
        if (now - last_t < tick)
            continue;
        const std::uint64_t rd_now = st.read.load();
        const double dt = std::chrono::duration<double>(now - last_t).count();
        const double rate = static_cast<double>(rd_now - last_read) / dt / 1e6;
        const double elapsed = std::chrono::duration<double>(now - start).count();
        last_t = now;
        last_read = rd_now;
        if (tty) {
            const double frac = std::min(1.0, elapsed / opt.seconds);
            const int width = 30;
            const int filled = static_cast<int>(frac * width);
            std::printf("\r[%.*s%.*s] %3d%%  %8.1f MB/s  read %s   ", filled,
                        "##############################", width - filled,
                        "..............................", static_cast<int>(frac * 100), rate,
                        human_bytes(static_cast<double>(rd_now)).c_str());
        } else {
            std::printf("%.1f s: written %s, read %s, %.1f MB/s\n", elapsed,
                        human_bytes(static_cast<double>(st.written.load())).c_str(),
                        human_bytes(static_cast<double>(rd_now)).c_str(), rate);
        }
        std::fflush(stdout);
    }
    wr.join();
    rd.join();
    const double total_s = std::chrono::duration<double>(steady::now() - start).count();
    if (tty)
        std::printf("\n");

    const std::uint64_t written = st.written.load();
    const std::uint64_t read = st.read.load();
    const std::uint64_t bad = st.mismatched_bytes.load();
    std::printf("written: %" PRIu64 " bytes\nread: %" PRIu64 " bytes\n", written, read);
    std::printf("rate: %.1f MB/s (%.2f s)\n", static_cast<double>(read) / total_s / 1e6, total_s);
    std::printf("data errors: %" PRIu64 "\n", bad);
    FT_Close(h);

    int rc = 0;
    if (st.first_failure.load() == 1) {
        std::fprintf(stderr, "ostrane-cli: stream: write failed: %s (code %u)\n",
                     status_text(st.write_status.load()),
                     static_cast<unsigned>(st.write_status.load()));
        rc = 1;
    } else if (st.first_failure.load() == 2) {
        std::fprintf(stderr, "ostrane-cli: stream: read failed: %s (code %u)\n",
                     status_text(st.read_status.load()),
                     static_cast<unsigned>(st.read_status.load()));
        rc = 1;
    } else if (bad != 0) {
        std::fprintf(stderr,
                     "ostrane-cli: stream: data error: %" PRIu64
                     " bytes differ, first at byte %" PRIu64 "\n",
                     bad, st.first_error_offset.load());
        rc = 1;
    } else if (read != written) {
        std::fprintf(stderr,
                     "ostrane-cli: stream: %" PRIu64 " bytes written but %" PRIu64 " read back\n",
                     written, read);
        rc = 1;
    }
    return rc;
}

} // namespace

void add_stream_command(CLI::App& app) {
    auto opt = std::make_shared<stream_options>();
    CLI::App* cmd = app.add_subcommand(
        "stream", "Stream a checked pattern through a board's FIFO loopback (FIFO mode)");
    cmd->add_option("--board", opt->board, "Board index among the attached boards")->required();
    cmd->add_option("--seconds", opt->seconds, "How long to write (default 5)")
        ->check(CLI::PositiveNumber);
    cmd->add_option("--size", opt->size, "Bytes per write and read call (default 1048576)")
        ->check(CLI::Range(1u, 1u << 30));
    cmd->callback([opt] {
        const int rc = run_stream(*opt);
        if (rc != 0)
            throw CLI::RuntimeError(rc);
    });
}
