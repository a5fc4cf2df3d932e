// A handle lives while any call uses it: a close from another thread makes it invalid for new
// calls at once, wakes calls blocked on its pipes, and returns only after the calls in flight
// have left. A handle check never creates the session; stale values and counts reach nothing newer.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "support.h"

using namespace lifetime_test;
using namespace std::chrono_literals;

namespace {

TEST(HandleLifetime, CloseWaitsForACallInFlightAndRefusesNewOnes)
{
    plug("INFLIGHT");
    void* handle = open_board(0, false);
    ASSERT_NE(handle, nullptr);
    vboard::Board& board = board_at(0);
    board.clear_request_log();
    // Answered late, but within the request's own time-out.
    board.delay_control(1, 700ms);

    sequence order;
    std::atomic<int> call_left{0};
    std::atomic<FT_RESULT> call_status{99};
    std::thread caller([&] {
        std::uint32_t version = 0;
        call_status = FT_GetFirmwareVersion(handle, &version);
        call_left = order.next();
    });
    // The delayed request has reached the board: the call is in flight.
    ASSERT_TRUE(eventually([&] { return !board.request_log().empty(); }));
    std::atomic<int> close_left{0};
    std::thread closer([&] {
        EXPECT_EQ(FT_Close(handle), STATUS_SUCCESS);
        close_left = order.next();
    });
    // Invalid for every new call at once, while the close still waits.
    ASSERT_TRUE(eventually([&] {
        std::uint16_t vid = 0, pid = 0;
        return FT_GetVIDPID(handle, &vid, &pid) == STATUS_BAD_HANDLE;
    }));
    std::uint8_t level = 0;
    EXPECT_EQ(FT_ReadGPIO(handle, &level), STATUS_BAD_HANDLE);
    caller.join();
    closer.join();
    EXPECT_EQ(call_status.load(), STATUS_SUCCESS);
    EXPECT_LT(call_left.load(), close_left.load()) << "the close returned under a running call";
    EXPECT_TRUE(eventually([&] { return board.claimed_interfaces().empty(); }));
    EXPECT_EQ(FT_Close(handle), STATUS_NO_DEVICE);
}

// A read with nothing to read and a write the board does not take both block; closing their
// handles wakes them.
TEST(HandleLifetime, CloseWakesBlockedPipeReadsAndWrites)
{
    plug("WRITES");
    plug("READS");
    // Without an IN pipe nothing drains the board's loopback: once it is full, the board holds
    // every OUT transfer and the write waits.
    void* writing = open_board(0, true, true);
    void* reading = open_board(1, true);
    ASSERT_NE(writing, nullptr);
    ASSERT_NE(reading, nullptr);
    std::uint32_t n = 0;

    struct blocked {
        blocked(void* h, bool w) : handle(h), write(w) {}
        void* handle;
        bool write;
        std::atomic<long> tid{0};
        std::atomic<FT_RESULT> status{99};
        std::atomic<int> left{0};
        std::atomic<std::uint32_t> done{0};
        std::thread thread;
    };
    sequence order;
    blocked calls[2] = {blocked(writing, true), blocked(reading, false)};
    for (blocked& b : calls) {
        b.thread = std::thread([&b, &order] {
            b.tid = this_thread_id();
            // More than the board and the pipe can hold, and a minute to wait.
            std::vector<std::uint8_t> data(16 * vboard::Board::loopback_capacity, 0xA5);
            std::uint32_t done = 0;
            const auto size = static_cast<std::uint32_t>(data.size());
            b.status = b.write ? FT_WritePipeEx(b.handle, fifo, data.data(), size, &done, 60000)
                               : FT_ReadPipeEx(b.handle, fifo, data.data(), size, &done, 60000);
            b.done = done;
            b.left = order.next();
        });
    }
    for (blocked& b : calls)
        ASSERT_TRUE(eventually([&] { return b.tid != 0 && stays_asleep(b.tid); }))
            << (b.write ? "writer" : "reader") << " status " << b.status << " moved " << b.done;

    const auto start = std::chrono::steady_clock::now();
    for (blocked& b : calls)
        ASSERT_EQ(FT_Close(b.handle), STATUS_SUCCESS);
    const int closes_left = order.next();
    // Woken, not timed out: well inside the minute they would otherwise wait.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    for (blocked& b : calls) {
        b.thread.join();
        EXPECT_LT(b.left.load(), closes_left) << "a close returned under a blocked call";
        EXPECT_TRUE(b.status == STATUS_TRANSFER_CANCELLED || b.status == STATUS_DEVICE_GONE)
            << (b.write ? "write " : "read ") << b.status;
        std::uint8_t byte = 0;
        EXPECT_EQ(FT_ReadPipeEx(b.handle, fifo, &byte, 1, &n, 10), STATUS_BAD_HANDLE);
    }
}

// Table-driven: every handle check refuses an unknown handle without creating the session.
TEST(HandleLifetime, UnknownHandlesCreateNoSession)
{
    log_capture log;
    int unknown_object = 0;
    void* unknown = &unknown_object;
    std::uint8_t buffer[8] = {};
    std::uint32_t n = 0;
    std::uint16_t vid = 0, pid = 0;
    const struct {
        const char* call;
        FT_RESULT result;
    } cases[] = {
        {"FT_ReadPipe", FT_ReadPipe(unknown, 0x82, buffer, 1, &n, nullptr)},
        {"FT_ReadPipeEx", FT_ReadPipeEx(unknown, 0, buffer, 1, &n, 10)},
        {"FT_WritePipe", FT_WritePipe(unknown, 0x02, buffer, 1, &n, nullptr)},
        {"FT_WritePipeEx", FT_WritePipeEx(unknown, 0, buffer, 1, &n, 10)},
        {"FT_FlushPipe", FT_FlushPipe(unknown, 0x82)},
        {"FT_GetReadQueueStatus", FT_GetReadQueueStatus(unknown, 0, &n)},
        {"FT_GetVIDPID", FT_GetVIDPID(unknown, &vid, &pid)},
        {"FT_SetNotificationCallback", FT_SetNotificationCallback(unknown, nullptr, nullptr)},
        {"FT_ReadGPIO", FT_ReadGPIO(unknown, buffer)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.result, STATUS_BAD_HANDLE) << c.call;
    EXPECT_NE(FT_Close(unknown), STATUS_SUCCESS);
    EXPECT_FALSE(log.contains("Start event thread")) << log.text();
}

// A closed handle's value names no later handle; this thread's list holds only the count it was
// given, though another thread's enumeration found a board more.
TEST(HandleLifetime, StaleValuesAndCountsReachNothingNewer)
{
    plug("STALE");
    std::uint32_t given = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&given), STATUS_SUCCESS);
    void* stale = open_board(0, false);
    ASSERT_EQ(FT_Close(stale), STATUS_SUCCESS);
    void* fresh = open_board(0, false);
    std::uint32_t version = 0;
    EXPECT_EQ(FT_GetFirmwareVersion(stale, &version), STATUS_BAD_PARAMETER);
    EXPECT_EQ(FT_Close(stale), STATUS_NO_DEVICE);
    EXPECT_EQ(FT_Close(fresh), STATUS_SUCCESS) << "closed by a stale value";
    plug("LISTED");
    std::thread([&] { EXPECT_TRUE(eventually([&] { return index_of("LISTED") >= 0; })); }).join();
    const auto list = std::make_unique<FT_DEVICE_INFO[]>(given);
    ASSERT_EQ(FT_GetDeviceInfoList(list.get(), &version), STATUS_SUCCESS);
    EXPECT_EQ(version, given);
}

// Two resets of one handle at once raced on its set of claimed interfaces.
TEST(HandleLifetime, ConcurrentPortResetsOfOneHandle)
{
    plug("RESETS");
    void* handle = open_board(0, true);
    ASSERT_NE(handle, nullptr);
    std::atomic<bool> go{false};
    std::atomic<FT_RESULT> results[2] = {99, 99};
    std::vector<std::thread> resetters;
    for (auto& result : results)
        resetters.emplace_back([&] {
            while (!go.load()) {
            }
            result = FT_ResetDevicePort(handle);
        });
    go = true;
    for (auto& t : resetters)
        t.join();
    for (const auto& result : results)
        EXPECT_EQ(result.load(), STATUS_SUCCESS);
    EXPECT_TRUE(board_at(0).claimed_interfaces().empty());
    EXPECT_EQ(FT_Close(handle), STATUS_SUCCESS);
}

} // namespace
