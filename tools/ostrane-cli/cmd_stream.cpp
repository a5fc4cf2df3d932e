// `ostrane-cli stream`: pushes a checked pattern through a board's FIFO pipes in FIFO mode:
// written and read back (loopback), read only or written only, for a time or a byte count, and
// reports the rate and any data error.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "burn_in_check.h"
#include "commands.h"
#include "common.h"
#include "ostrane/ft60x.h"
#include "progress.h"

namespace {

using steady = std::chrono::steady_clock;

// Entry 4 of the FIFO table holds the FIFO-mode pipes 0x85 and 0x05.
constexpr std::uint8_t fifo_id = 4;
// How long the reader keeps waiting for data the writer already handed over.
constexpr auto drain_grace = std::chrono::seconds(3);

enum class stream_mode { loopback, in, out };

struct stream_options {
    cli::board_selector which;
    bool as_json = false;
    double seconds = 0;
    std::uint64_t bytes = 0;
    stream_mode mode = stream_mode::loopback;
    bool check = true;
    std::uint32_t size = 1u << 20;
};

// Byte `o` of the stream is byte (o % 4) of the little-endian 32-bit word o / 4: burn-in's
// counter with no key.
void fill_words(std::uint8_t* p, std::uint64_t offset, std::size_t n) {
    cli::burn_in::fill(p, 0, offset, n);
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

// When to stop: at the time limit, or once `bytes` (0: no limit) have moved.
struct limits {
    steady::time_point end;
    std::uint64_t bytes;
    bool reached(std::uint64_t moved) const {
        return (bytes != 0 && moved >= bytes) || steady::now() >= end;
    }
};

void writer(void* h, const stream_options& opt, limits lim, shared_state& st) {
    std::vector<std::uint8_t> buf(opt.size);
    std::uint64_t off = 0;
    auto last_progress = steady::now();
    // Nothing to write for once the reader has given up.
    while (!lim.reached(off) && !st.reader_done.load() && !cli::interrupted()) {
        const auto chunk = static_cast<std::uint32_t>(
            lim.bytes == 0 ? opt.size : std::min<std::uint64_t>(opt.size, lim.bytes - off));
        fill_words(buf.data(), off, chunk);
        for (std::uint32_t sent = 0; sent < chunk;) {
            std::uint32_t n = 0;
            const FT_RESULT r = FT_WritePipeEx(h, fifo_id, buf.data() + sent, chunk - sent, &n, 200);
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
            if (st.reader_done.load() || cli::interrupted())
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

// Loopback: reads until everything written has come back. IN only: reads until the limits.
void reader(void* h, const stream_options& opt, limits lim, shared_state& st) {
    const bool loopback = opt.mode == stream_mode::loopback;
    std::vector<std::uint8_t> buf(opt.size);
    std::vector<std::uint8_t> want(opt.size);
    std::uint64_t off = 0;
    auto last_progress = steady::now();
    for (;;) {
        if (cli::interrupted())
            break;
        if (loopback) {
            const bool writer_finished = st.writer_done.load();
            const std::uint64_t target = st.written.load();
            if (writer_finished && off >= target)
                break;
            if (writer_finished && steady::now() - last_progress > drain_grace)
                break;
        } else {
            if (lim.reached(off))
                break;
            // Without a time limit, a board that sends nothing must not hold the command.
            if (steady::now() - last_progress > drain_grace) {
                st.fail(false, STATUS_TIMED_OUT);
                break;
            }
        }
        const auto want_now = static_cast<std::uint32_t>(
            loopback || lim.bytes == 0 ? opt.size : std::min<std::uint64_t>(opt.size, lim.bytes - off));
        std::uint32_t got = 0;
        const FT_RESULT r = FT_ReadPipeEx(h, fifo_id, buf.data(), want_now, &got, 200);
        if (got > 0) {
            fill_words(want.data(), off, got);
            if (opt.check && std::memcmp(buf.data(), want.data(), got) != 0) {
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

const char* mode_name(stream_mode m) {
    return m == stream_mode::loopback ? "loopback" : m == stream_mode::in ? "in" : "out";
}

int run_stream(const stream_options& opt) {
    cli::catch_interrupts();
    cli::board b(opt.which, true);
    void* h = b.handle();
    const bool reads = opt.mode != stream_mode::out;
    const bool writes = opt.mode != stream_mode::in;

    shared_state st;
    const double seconds = opt.seconds > 0 ? opt.seconds : opt.bytes == 0 ? 5.0 : 0.0;
    const auto start = steady::now();
    const limits lim{seconds > 0 ? start + std::chrono::duration_cast<steady::duration>(
                                               std::chrono::duration<double>(seconds))
                                 : steady::time_point::max(),
                     opt.bytes};
    std::thread rd, wr;
    if (reads)
        rd = std::thread(reader, h, std::cref(opt), lim, std::ref(st));
    if (writes)
        wr = std::thread(writer, h, std::cref(opt), lim, std::ref(st));
    else
        st.writer_done.store(true);

    // The bar counts what has arrived (IN and loopback) or left (OUT only).
    auto moved = [&] { return reads ? st.read.load() : st.written.load(); };
    auto finished = [&] { return reads ? st.reader_done.load() : st.writer_done.load(); };
    cli::progress_bar bar(stdout, opt.bytes);
    const bool lines = !opt.as_json && !bar.enabled();
    auto last_t = start;
    std::uint64_t last_moved = 0;
    while (!finished()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (opt.as_json)
            continue;
        bar.update(moved());
        const auto now = steady::now();
        if (!lines || now - last_t < std::chrono::seconds(1))
            continue;
        const std::uint64_t now_moved = moved();
        const double dt = std::chrono::duration<double>(now - last_t).count();
        const double rate = static_cast<double>(now_moved - last_moved) / dt / 1e6;
        last_t = now;
        last_moved = now_moved;
        std::printf("%.1f s: written %s, read %s, %.1f MB/s\n",
                    std::chrono::duration<double>(now - start).count(),
                    human_bytes(static_cast<double>(st.written.load())).c_str(),
                    human_bytes(static_cast<double>(st.read.load())).c_str(), rate);
        std::fflush(stdout);
    }
    if (wr.joinable())
        wr.join();
    if (rd.joinable())
        rd.join();
    bar.update(moved(), true);
    bar.finish();
    const double total_s = std::chrono::duration<double>(steady::now() - start).count();

    const std::uint64_t written = st.written.load();
    const std::uint64_t read = st.read.load();
    const std::uint64_t bad = st.mismatched_bytes.load();
    const double rate = static_cast<double>(reads ? read : written) / total_s / 1e6;
    if (opt.as_json) {
        cli::print_json({{"mode", mode_name(opt.mode)},
                         {"written", written},
                         {"read", read},
                         {"seconds", total_s},
                         {"rate_mb_s", rate},
                         {"data_errors", bad}});
    } else {
        std::printf("written: %" PRIu64 " bytes\nread: %" PRIu64 " bytes\n", written, read);
        std::printf("rate: %.1f MB/s (%.2f s)\n", rate, total_s);
        std::printf("data errors: %" PRIu64 "\n", bad);
        std::fflush(stdout);
    }

    if (st.first_failure.load() == 1)
        cli::fail_status("stream: write failed", st.write_status.load());
    if (st.first_failure.load() == 2)
        cli::fail_status("stream: read failed", st.read_status.load());
    if (bad != 0)
        cli::fail(cli::exit_data,
                  fmt::format("stream: data error: {} bytes differ, first at byte {}: check the "
                              "board's FIFO source (--no-check skips the check)",
                              bad, st.first_error_offset.load()));
    if (cli::interrupted())
        cli::fail(cli::exit_interrupted, fmt::format("stream: interrupted after {:.1f} s", total_s));
    if (opt.mode == stream_mode::loopback && read != written)
        cli::fail(cli::exit_data,
                  fmt::format("stream: {} bytes written but {} read back: the loopback lost data",
                              written, read));
    if (opt.bytes != 0 && (reads ? read : written) < opt.bytes)
        cli::fail(cli::exit_device,
                  fmt::format("stream: {} of {} bytes moved before the time limit: raise --seconds",
                              reads ? read : written, opt.bytes));
    return 0;
}

} // namespace

void add_stream_command(CLI::App& app) {
    auto opt = std::make_shared<stream_options>();
    CLI::App* cmd = app.add_subcommand(
        "stream", "Stream a checked counter pattern through a board's FIFO pipes (FIFO mode)");
    cmd->add_option("--seconds", opt->seconds,
                    "Stop after this many seconds (default 5 without --bytes)")
        ->check(cli::positive_seconds());
    cmd->add_option("--bytes", opt->bytes, "Stop after this many bytes (a progress bar with rate "
                                           "and time left on a terminal)")
        ->transform(cli::whole_number(1, std::uint64_t{1} << 50, "a number of bytes"));
    const std::map<std::string, stream_mode> modes{
        {"loopback", stream_mode::loopback}, {"in", stream_mode::in}, {"out", stream_mode::out}};
    cmd->add_option("--mode", opt->mode,
                    "loopback: write and read back (default); in: read only; out: write only")
        ->transform(CLI::Validator(
            [modes](std::string& text) -> std::string {
                const auto it = modes.find(CLI::detail::to_lower(text));
                if (it == modes.end())
                    return "\"" + text + "\" is not a mode: give in, out or loopback";
                text = std::to_string(static_cast<int>(it->second));
                return {};
            },
            "", "mode"))
        ->option_text("in|out|loopback");
    cmd->add_option("--size", opt->size, "Bytes per write and read call (default 1048576)")
        ->transform(cli::whole_number(1, 1u << 30, "a number of bytes"));
    cmd->add_flag("--no-check{false}", opt->check,
                  "Do not compare the data read with the counter pattern");
    opt->which.add_to(cmd);
    cmd->add_flag("--json", opt->as_json, "Print the totals as JSON");
    // Before the exit-status table that every subcommand shows.
    cmd->footer([] {
        return std::string("Data follows a little-endian 32-bit counter: byte k of the stream is "
                           "byte k%4 of k/4. IN-only mode checks that pattern (--no-check to "
                           "skip). Ctrl-C stops the stream, prints the totals and exits with 6.\n");
    });
    cli::on_run(cmd, [opt] { return run_stream(*opt); });
}
