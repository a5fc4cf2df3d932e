// The library against hostile boards: each byte stream (from a corpus directory, then from a
// PRNG) shapes one virtual board and then decides its every answer (see model/hostile.h) while
// the library lists, opens, queries, talks through the board channel, streams in FIFO mode and
// closes. Nothing may crash, hang, trip a sanitizer, or report more bytes than there was room for.
//
//   hostile_board [--streams N] [--seed S] [--corpus DIR] [--batch N]
//
// Streams run in batches, one child process per batch (the library keeps one session per process
// and every board model stays in memory until its bus goes). A stream that takes longer than
// 60 s counts as a hang. Prints the streams run and exits non-zero on the first finding.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <libusb.h>

#include "model/hostile.h"
#include "ostrane/OstraneCommsUSB.h"
#include "ostrane/ft60x.h"
#include "support/bus.h"

namespace {

using bytes = std::vector<std::uint8_t>;

std::atomic<int> overstated_controls{0};
// How far the streams got: handles opened, board channels opened, FIFO-mode handles opened.
std::atomic<int> opened{0}, channels{0}, fifo_opened{0};

struct Stream {
    std::string name;
    bytes data;
};

[[noreturn]] void finding(const Stream& s, const char* what) {
    std::fprintf(stderr, "hostile_board: stream %s: %s\n", s.name.c_str(), what);
    std::fflush(stderr);
    std::abort();
}

// The stream's first bytes shape the board; the rest drives its answers.
struct Reader {
    const bytes& d;
    std::size_t pos = 0;
    std::uint8_t next() { return pos < d.size() ? d[pos++] : 0; }
    bytes take(std::size_t n) {
        bytes out;
        while (n-- > 0 && pos < d.size()) out.push_back(d[pos++]);
        return out;
    }
};

using test_support::bus;

void set_fifo_mode(bool on) {
    FT_TRANSFER_CONF conf{};
    conf.wStructSize = sizeof conf;
    conf.bFifoMode = on ? 1 : 0;
    FT_SetTransferParams(&conf, 0);
}

void* open_first() {
    void* h = nullptr;
    return FT_Create(nullptr, FT_OPEN_BY_INDEX, &h) == STATUS_SUCCESS ? h : nullptr;
}

void query(const Stream& s, void* h) {
    std::uint32_t version = 0;
    FT_GetFirmwareVersion(h, &version);
    // Exactly the longest layout: a board that lies about the record's length must not make the
    // library write past it.
    auto config = std::make_unique<std::uint8_t[]>(4064);
    if (FT_GetChipConfiguration(h, config.get()) == STATUS_SUCCESS)
        FT_SetChipConfiguration(h, config.get());
    std::uint8_t profile[24] = {1, 30, 0x80, 0x07, 0x38, 0x04};
    FT_UpdateCfgProfile(h, profile);
    FT_UpdateCfgProfileSS(h, 0, profile, 1);
    std::uint16_t vid = 0, pid = 0;
    FT_GetVIDPID(h, &vid, &pid);
    std::uint8_t level = 0;
    FT_ReadGPIO(h, &level);
    // Descriptors read on request, each into a buffer of exactly the documented size.
    auto text = std::make_unique<std::uint8_t[]>(514);
    FT_GetStringDescriptor(h, 2, text.get());
    auto raw = std::make_unique<std::uint8_t[]>(40);
    std::uint32_t got = 0;
    if (FT_GetDescriptor(h, LIBUSB_DT_STRING, 3, raw.get(), 40, &got) == STATUS_SUCCESS && got > 40)
        finding(s, "descriptor read reports more bytes than the buffer holds");
    auto itf = std::make_unique<std::uint8_t[]>(9);
    FT_GetInterfaceDescriptor(h, 0, itf.get());
    auto pipe_info = std::make_unique<FT_PIPE_INFORMATION>();
    FT_GetPipeInformation(h, 0, 0, pipe_info.get());
    // An I2C read of the receive level, 1 byte asked for, into a larger buffer.
    std::uint8_t reply[16] = {};
    std::uint32_t moved = 0xFFFFFFFF;
    const std::uint64_t setup = 0xC0u | (std::uint64_t{5} << 8) | (std::uint64_t{0x12} << 16) |
                                (std::uint64_t{0x010D} << 32) | (std::uint64_t{1} << 48);
    const FT_RESULT rc = FT_ControlTransfer(h, setup, reply, sizeof reply, &moved);
    if (moved != 0xFFFFFFFF && moved > sizeof reply)
        finding(s, "control transfer reports more bytes than the buffer holds");
    // More than wLength is wrong but not unsafe: counted and printed, not a finding.
    if (rc == STATUS_SUCCESS && moved > 1) overstated_controls.fetch_add(1);
}

void board_channel(const Stream& s) {
    int channel = -1;
    if (OstraneCommsUSBOpenByIndex(&channel, 0) != 0)
        return;
    channels.fetch_add(1);
    static const char hello[] = "HELLO";
    OstraneCommsUSBTransmit(channel, hello, 5);
    std::uint8_t reply[127] = {};
    for (std::uint8_t want : {std::uint8_t{5}, std::uint8_t{100}}) {
        std::uint8_t count = want;
        OstraneCommsUSBReceive(channel, reply, sizeof reply, &count, 30);
        if (count > want)
            finding(s, "receive reports more bytes than were asked for");
    }
    OstraneCommsUSBClose(channel);
}

void stream_fifo(const Stream& s, vboard::VirtualBus& b, int id, bool unplug_while_open) {
    set_fifo_mode(true);
    void* h = open_first();
    set_fifo_mode(false);
    if (h == nullptr)
        return;
    fifo_opened.fetch_add(1);
    bytes out(48 * 1024);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(i * 7);
    std::uint32_t n = 0;
    FT_WritePipeEx(h, 4, out.data(), static_cast<std::uint32_t>(out.size()), &n, 200);
    if (n > out.size())
        finding(s, "write reports more bytes than were given");
    bytes in(64 * 1024);
    n = 0;
    FT_ReadPipeEx(h, 4, in.data(), static_cast<std::uint32_t>(in.size()), &n, 200);
    if (n > in.size())
        finding(s, "read reports more bytes than there was room for");
    std::uint32_t queued = 0;
    FT_GetReadQueueStatus(h, 4, &queued);
    FT_GetWriteQueueStatus(h, 4, &queued);
    if (unplug_while_open) {
        b.unplug(id);
        FT_WritePipeEx(h, 4, out.data(), 1024, &n, 100);
        FT_ReadPipeEx(h, 4, in.data(), 1024, &n, 100);
    }
    FT_Close(h);
}

void run_stream(const Stream& s) {
    vboard::VirtualBus& b = bus();
    Reader r{s.data};
    vboard::BoardConfig config;
    config.model = static_cast<vboard::Model>(r.next() % 3);
    config.video_interfaces = r.next() % 3;
    const std::uint8_t shape = r.next();
    config.speed = (shape & 1) ? vboard::Speed::high : vboard::Speed::super;
    config.config_layout = (shape & 2) ? vboard::ConfigLayout::ft602_2768 : vboard::ConfigLayout::ft602_4064;
    config.fifo = (shape & 4) ? vboard::FifoSource::pattern : vboard::FifoSource::loopback;
    config.extra_alternate_setting = (shape & 0x80) && (shape & 0x40);
    const int id = b.plug(config).id;
    vboard::Board& board = b.board(id);
    const std::uint8_t faults = r.next();
    if (faults & 1) {  // a string of any size and contents
        const std::uint8_t index = static_cast<std::uint8_t>(r.next() % 4);
        board.set_string_descriptor(index, r.take(r.next()));
    }
    if (faults & 2) {  // a chip configuration record of any size with any length field
        bytes record = r.take(r.next());
        record.resize(static_cast<std::size_t>(r.next()) * 24, 0);
        board.set_chip_configuration(record);
    }
    if (faults & 4) board.lie_register(0x12, r.next());
    const bool unplug_while_open = (faults & 0x18) == 0x18;
    board.set_reply_source(std::make_shared<vboard::ReplySource>(r.take(s.data.size())));

    std::uint32_t count = 0;
    FT_CreateDeviceInfoList(&count);
    FT_DEVICE_INFO list[8] = {};
    if (count <= 8) FT_GetDeviceInfoList(list, &count);
    for (const FT_DEVICE_INFO& info : list)
        if (std::memchr(info.serial_number, 0, sizeof info.serial_number) == nullptr ||
            std::memchr(info.description, 0, sizeof info.description) == nullptr)
            finding(s, "a device record's text is not terminated");
    if (void* h = open_first()) {
        opened.fetch_add(1);
        query(s, h);
        FT_Close(h);
    }
    board_channel(s);
    stream_fifo(s, b, id, unplug_while_open);
    if (b.plugged(id)) b.unplug(id);
}

int run_batch(const std::vector<Stream>& streams) {
    std::atomic<const Stream*> current{nullptr};
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        const Stream* seen = nullptr;
        auto since = std::chrono::steady_clock::now();
        while (!done.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const Stream* now = current.load();
            if (now != seen) {
                seen = now;
                since = std::chrono::steady_clock::now();
            } else if (now != nullptr && std::chrono::steady_clock::now() - since > std::chrono::seconds(60)) {
                finding(*now, "no progress for 60 s (hang)");
            }
        }
    });
    for (const Stream& s : streams) {
        current.store(&s);
        run_stream(s);
    }
    done.store(true);
    watchdog.join();
    std::printf("hostile_board: batch of %zu: opened %d, channels %d, FIFO mode %d, control "
                "transfers reporting more than wLength %d\n",
                streams.size(), opened.load(), channels.load(), fifo_opened.load(),
                overstated_controls.load());
    return 0;
}

std::vector<Stream> corpus_streams(const std::string& dir) {
    std::vector<Stream> out;
    if (dir.empty() || !std::filesystem::is_directory(dir)) return out;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        out.push_back({f.filename().string(), bytes(std::istreambuf_iterator<char>(in), {})});
    }
    return out;
}

// Streams in which each byte is 0 (a normal answer) with a probability that varies by stream, so
// that some boards fail at once and others deep inside a transfer.
std::vector<Stream> prng_streams(int n, std::uint64_t seed) {
    std::vector<Stream> out;
    for (int i = 0; i < n; ++i) {
        std::mt19937_64 rng(seed + static_cast<std::uint64_t>(i));
        const double calm = 0.5 + 0.45 * std::uniform_real_distribution<double>(0, 1)(rng);
        const std::size_t length = 32 + rng() % 2048;
        Stream s{"prng-" + std::to_string(seed) + "-" + std::to_string(i), {}};
        for (std::size_t k = 0; k < length; ++k) {
            const bool quiet = k >= 6 && std::uniform_real_distribution<double>(0, 1)(rng) < calm;
            s.data.push_back(quiet ? 0 : static_cast<std::uint8_t>(rng()));
        }
        out.push_back(std::move(s));
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    int prng = 16, batch = 16;
    std::uint64_t seed = 1;
    std::string corpus;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--streams") prng = std::atoi(argv[i + 1]);
        else if (opt == "--seed") seed = std::strtoull(argv[i + 1], nullptr, 0);
        else if (opt == "--corpus") corpus = argv[i + 1];
        else if (opt == "--batch") batch = std::max(1, std::atoi(argv[i + 1]));
        else {
            std::fprintf(stderr, "usage: hostile_board [--streams N] [--seed S] [--corpus DIR] [--batch N]\n");
            return 2;
        }
    }
    std::vector<Stream> streams = corpus_streams(corpus);
    for (auto& s : prng_streams(prng, seed)) streams.push_back(std::move(s));

    const auto start = std::chrono::steady_clock::now();
    for (std::size_t first = 0; first < streams.size(); first += static_cast<std::size_t>(batch)) {
        const std::size_t last = std::min(streams.size(), first + static_cast<std::size_t>(batch));
        std::fflush(nullptr);
        const pid_t child = fork();
        if (child < 0) return 1;
        // The child exits normally: the library is unloaded (and leaks checked) with its boards.
        if (child == 0)
            std::exit(run_batch({streams.begin() + static_cast<long>(first), streams.begin() + static_cast<long>(last)}));
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "hostile_board: batch of streams %zu to %zu failed (status 0x%x)\n", first,
                         last - 1, status);
            return 1;
        }
    }
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("hostile_board: streams: %zu\nhostile_board: seconds: %.1f\n", streams.size(), seconds);
    return 0;
}
