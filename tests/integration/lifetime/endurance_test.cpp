// Endurance, bounded so that the default suite stays fast: open/close cycles with descriptors,
// threads and heap checked before and after; open/close/list storms from several threads on
// several boards; unplug/replug cycles while streaming and notifications run, every byte that
// arrives checked. OSTRANE_ENDURANCE_CYCLES sets the cycle count (label "endurance-long").
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "support.h"

using namespace lifetime_test;
using namespace std::chrono_literals;

namespace {

// Byte `o` of the loopback stream.
std::uint8_t stream_byte(std::uint64_t o)
{
    return static_cast<std::uint8_t>((o * 7) ^ (o >> 8) ^ (o >> 16));
}

// `extra` is what the virtual bus itself keeps (its boards stay allocated after an unplug).
void expect_no_growth(const resources& before, const resources& after, const resources& extra = {})
{
    EXPECT_LE(after.fds, before.fds + extra.fds) << "descriptors";
    EXPECT_LE(after.threads, before.threads + extra.threads) << "threads";
    // Heap: allocator noise only; a leak per cycle would show as megabytes.
    EXPECT_LT(after.heap, before.heap + extra.heap + (1u << 20))
        << "heap bytes " << before.heap << " -> " << after.heap << ", bus share " << extra.heap;
}

TEST(Endurance, OpenCloseCyclesLeaveNothingBehind)
{
    plug("CYCLES");
    const int n = cycles(60);
    const int found = index_of("CYCLES");
    ASSERT_GE(found, 0);
    const auto index = static_cast<std::uint32_t>(found);
    // Warm-up: the session, its threads and libusb's lasting allocations come first.
    for (bool fifo_mode : {false, true}) {
        void* h = open_board(index, fifo_mode);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(FT_Close(h), STATUS_SUCCESS);
    }
    const resources before = resources::now();
    for (int i = 0; i < n; ++i) {
        // Alternately with and without pipes (and so their worker threads).
        void* h = open_board(index, i % 2 == 1);
        ASSERT_NE(h, nullptr) << "cycle " << i;
        ASSERT_EQ(FT_Close(h), STATUS_SUCCESS) << "cycle " << i;
    }
    const resources after = resources::now();
    // One descriptor of slack for the bus, as below.
    expect_no_growth(before, after, {1, 0, 0});
    std::printf("open/close cycles: %d, fds %zu -> %zu, threads %zu -> %zu, heap %zu -> %zu\n", n,
                before.fds, after.fds, before.threads, after.threads, before.heap, after.heap);
}

// Several threads list, open and close on several boards at once. A board open on one thread is
// refused to another; everything opened closes, and every board opens afterwards.
TEST(Endurance, OpenCloseListStormFromSeveralThreads)
{
    constexpr int boards = 3;
    constexpr int threads = 4;
    for (int b = 0; b < boards; ++b)
        plug("STORM" + std::to_string(b));
    const int rounds = cycles(40);
    std::atomic<int> opened{0};
    std::atomic<int> bad_close{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < rounds; ++i) {
                std::uint32_t count = 0;
                FT_CreateDeviceInfoList(&count);
                std::vector<FT_DEVICE_INFO> list(count + 1);
                FT_GetDeviceInfoList(list.data(), &count);
                void* h = nullptr;
                const auto index = static_cast<std::uintptr_t>((t + i) % boards);
                if (FT_Create(reinterpret_cast<void*>(index), FT_OPEN_BY_INDEX, &h) !=
                    STATUS_SUCCESS)
                    continue;
                ++opened;
                std::uint16_t vid = 0, pid = 0;
                FT_GetVIDPID(h, &vid, &pid);
                if (FT_Close(h) != STATUS_SUCCESS)
                    ++bad_close;
            }
        });
    }
    for (auto& w : workers)
        w.join();
    EXPECT_GT(opened.load(), 0);
    EXPECT_EQ(bad_close.load(), 0);
    for (std::uintptr_t b = 0; b < boards; ++b) {
        void* h = nullptr;
        ASSERT_EQ(FT_Create(reinterpret_cast<void*>(b), FT_OPEN_BY_INDEX, &h), STATUS_SUCCESS) << b;
        EXPECT_EQ(FT_Close(h), STATUS_SUCCESS);
    }
}

void count_notification(void* context, int, void*)
{
    static_cast<std::atomic<int>*>(context)->fetch_add(1);
}

// Each cycle: plug, open in FIFO mode, stream through the loopback while notifications arrive,
// unplug in the middle of it, close, and plug again at the same port.
TEST(Endurance, UnplugReplugWhileStreamingAndNotifying)
{
    const int n = std::max(3, cycles(3 * 10) / 10);
    // What one plug and unplug costs the virtual bus alone, never opened by the library.
    // The first plug also starts the bus itself, so the second is measured.
    vboard::BoardConfig spare;
    spare.serial = "SPARE";
    bus().unplug(bus().plug(spare).id);
    const resources idle = resources::now();
    bus().unplug(bus().plug(spare).id);
    const resources bus_share = resources::now() - idle;
    vboard::BoardConfig config;
    config.serial = "REPLUG";
    const vboard::PluggedBoard first = bus().plug(config);
    const std::string port = first.port_path;
    int id = first.id;
    resources before{};
    std::uint64_t checked_total = 0;
    for (int cycle = 0; cycle < n; ++cycle) {
        if (cycle == 1)
            before = resources::now(); // after the first cycle's lasting allocations
        const int index = index_of(config.serial);
        ASSERT_GE(index, 0) << "cycle " << cycle;
        void* h = open_board(static_cast<std::uint32_t>(index), true);
        ASSERT_NE(h, nullptr) << "cycle " << cycle;
        std::atomic<int> notified{0};
        ASSERT_EQ(FT_SetNotificationCallback(h, &count_notification, &notified), STATUS_SUCCESS);

        std::atomic<std::uint64_t> checked{0};
        std::atomic<bool> wrong{false};
        std::atomic<FT_RESULT> ended_with{STATUS_SUCCESS};
        std::thread streamer([&] {
            std::vector<std::uint8_t> out(64 * 1024), in(out.size());
            std::uint64_t written = 0, read = 0;
            for (;;) {
                for (std::size_t i = 0; i < out.size(); ++i)
                    out[i] = stream_byte(written + i);
                std::uint32_t moved = 0;
                FT_RESULT s = FT_WritePipeEx(h, fifo, out.data(),
                                             static_cast<std::uint32_t>(out.size()), &moved, 5000);
                written += moved;
                if (s != STATUS_SUCCESS) {
                    ended_with = s;
                    return;
                }
                while (read < written) {
                    const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(
                        in.size(), written - read));
                    s = FT_ReadPipeEx(h, fifo, in.data(), want, &moved, 5000);
                    for (std::uint32_t i = 0; i < moved; ++i)
                        if (in[i] != stream_byte(read + i))
                            wrong = true;
                    read += moved;
                    checked = read;
                    if (s != STATUS_SUCCESS) {
                        ended_with = s;
                        return;
                    }
                }
            }
        });
        // Notifications arrive while the stream runs.
        for (int i = 1; i <= 3; ++i) {
            bus().board(id).send_notification();
            ASSERT_TRUE(eventually([&] { return notified.load() >= i; })) << "cycle " << cycle;
        }
        ASSERT_TRUE(eventually([&] { return checked.load() >= (1u << 20); })) << "cycle " << cycle;
        bus().unplug(id);
        // The stream ends with a failure, promptly, and no wrong byte.
        const auto start = std::chrono::steady_clock::now();
        streamer.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
        EXPECT_NE(ended_with.load(), STATUS_SUCCESS);
        EXPECT_FALSE(wrong.load()) << "cycle " << cycle;
        checked_total += checked.load();
        EXPECT_EQ(FT_Close(h), STATUS_SUCCESS) << "cycle " << cycle;

        vboard::BoardConfig again = config;
        id = bus().plug(again, std::stoi(port.substr(port.rfind('.') + 1))).id;
        ASSERT_TRUE(eventually([&] { return index_of(config.serial) >= 0; }));
        if (::testing::Test::HasFailure())
            return;
    }
    const resources after = resources::now();
    const std::size_t plugs = static_cast<std::size_t>(n - 1);
    // One descriptor of slack: the virtual bus may be between opening and closing one of its
    // own (seen once in a thousand cycles, never growing with the count).
    expect_no_growth(before, after,
                     {bus_share.fds * plugs + 1, bus_share.threads * plugs, bus_share.heap * plugs});
    std::printf("virtual bus share per plug: fds %zu, threads %zu, heap %zu\n", bus_share.fds,
                bus_share.threads, bus_share.heap);
    std::printf("hot-plug cycles: %d, bytes checked %llu, fds %zu -> %zu, threads %zu -> %zu, "
                "heap %zu -> %zu\n",
                n, static_cast<unsigned long long>(checked_total), before.fds, after.fds,
                before.threads, after.threads, before.heap, after.heap);
}

} // namespace
