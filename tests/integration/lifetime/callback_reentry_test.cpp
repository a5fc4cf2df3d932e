// Callbacks that call back into the library: a notification callback may call any entry point,
// closing its own handle included, without stalling event handling; a close from another thread
// waits for a running callback; a stalled notification endpoint recovers, and its recovery queued
// behind a callback does not hold a close up; a hot-plug removal waits for replayed notices, and
// removals and closes made from callbacks close no cycle of waits.
#include <atomic>
#include <chrono>
#include <thread>

#include "support.h"

using namespace lifetime_test;
using namespace std::chrono_literals;

namespace {

struct reentry {
    void* handle = nullptr;
    std::atomic<int> calls{0};
    // What the calls made from inside the callback returned.
    std::atomic<FT_RESULT> firmware{99};
    std::atomic<FT_RESULT> close{99};
    std::atomic<FT_RESULT> after_close{99};
    bool close_inside = false;
};

void calls_back(void* context, int, void*)
{
    auto* r = static_cast<reentry*>(context);
    // A synchronous request needs event handling while the callback runs.
    std::uint32_t version = 0;
    r->firmware = FT_GetFirmwareVersion(r->handle, &version);
    if (r->close_inside) {
        r->close = FT_Close(r->handle);
        std::uint16_t vid = 0, pid = 0;
        r->after_close = FT_GetVIDPID(r->handle, &vid, &pid);
    }
    r->calls.fetch_add(1);
}

class CallbackReentry : public ::testing::Test {
protected:
    void SetUp() override
    {
        plug("REENTRY");
        got.handle = open_board(0, false);
        ASSERT_NE(got.handle, nullptr);
    }
    vboard::Board& board() { return board_at(0); }

    reentry got;
};

TEST_F(CallbackReentry, CallbackMayMakeRequestsAndCloseItsOwnHandle)
{
    ASSERT_EQ(FT_SetNotificationCallback(got.handle, &calls_back, &got), STATUS_SUCCESS);
    board().send_notification();
    ASSERT_TRUE(eventually([&] { return got.calls == 1; }));
    EXPECT_EQ(got.firmware.load(), STATUS_SUCCESS);

    got.close_inside = true;
    board().send_notification();
    ASSERT_TRUE(eventually([&] { return got.calls == 2; }));
    EXPECT_EQ(got.firmware.load(), STATUS_SUCCESS);
    EXPECT_EQ(got.close.load(), STATUS_SUCCESS);
    EXPECT_EQ(got.after_close.load(), STATUS_BAD_HANDLE) << "usable after its close returned";
    // Released once the callback has returned; the board opens again.
    ASSERT_TRUE(eventually([&] { return board().claimed_interfaces().empty(); }));
    void* again = open_board(0, false);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(FT_Close(again), STATUS_SUCCESS);
}

struct held {
    std::atomic<bool> inside{false};
    std::atomic<bool> release{false};
    std::atomic<int> returned{0};
    sequence* order = nullptr;
};

void holds_until_released(void* context, int, void*)
{
    auto* h = static_cast<held*>(context);
    h->inside = true;
    while (!h->release)
        std::this_thread::sleep_for(1ms);
    h->returned = h->order->next();
}

TEST_F(CallbackReentry, CloseFromAnotherThreadWaitsForARunningCallback)
{
    sequence order;
    held h;
    h.order = &order;
    ASSERT_EQ(FT_SetNotificationCallback(got.handle, &holds_until_released, &h), STATUS_SUCCESS);
    board().send_notification();
    ASSERT_TRUE(eventually([&] { return h.inside.load(); }));
    std::atomic<int> close_left{0};
    std::thread closer([&] {
        EXPECT_EQ(FT_Close(got.handle), STATUS_SUCCESS);
        close_left = order.next();
    });
    // The close has begun (the handle is refused) but cannot end while the callback runs.
    ASSERT_TRUE(eventually([&] {
        std::uint16_t vid = 0, pid = 0;
        return FT_GetVIDPID(got.handle, &vid, &pid) == STATUS_BAD_HANDLE;
    }));
    EXPECT_EQ(close_left.load(), 0);
    h.release = true;
    closer.join();
    EXPECT_LT(h.returned.load(), close_left.load());
}

void counts(void* context, int, void*)
{
    static_cast<std::atomic<int>*>(context)->fetch_add(1);
}

TEST_F(CallbackReentry, StalledNotificationEndpointRecoversAndLogsOnce)
{
    log_capture log(FT_LOG_LEVEL_WARNING);
    std::atomic<int> calls{0};
    ASSERT_EQ(FT_SetNotificationCallback(got.handle, &counts, &calls), STATUS_SUCCESS);
    for (int round = 1; round <= 3; ++round) {
        board().stall_bulk(1, 0x86);
        board().send_notification();
        ASSERT_TRUE(eventually([&] { return calls == round; })) << "round " << round;
    }
    EXPECT_EQ(log.count("Notification endpoint stalled"), 1u) << log.text();
    EXPECT_EQ(FT_Close(got.handle), STATUS_SUCCESS);
}

TEST_F(CallbackReentry, CloseDoesNotWaitForARecoveryQueuedBehindACallback)
{
    const auto holder_board = plug("HOLDER");
    void* holder = open_board(static_cast<std::uint32_t>(index_of("HOLDER")), false);
    sequence order;
    held h{.order = &order};
    ASSERT_EQ(FT_SetNotificationCallback(holder, &holds_until_released, &h), STATUS_SUCCESS);
    bus().board(holder_board.id).send_notification();
    ASSERT_TRUE(eventually([&] { return h.inside.load(); }));
    log_capture log(FT_LOG_LEVEL_WARNING);
    board().stall_bulk(1, 0x86);
    board().send_notification();
    ASSERT_TRUE(eventually([&] { return log.contains("Notification endpoint stalled"); }));
    EXPECT_EQ(FT_Close(got.handle), STATUS_SUCCESS);
    EXPECT_TRUE(board().claimed_interfaces().empty()) << log.text();
    h.release = true;
    EXPECT_EQ(FT_Close(holder), STATUS_SUCCESS);
}

struct hotplug_client {
    std::atomic<int> started{0}, returned{0};
    std::atomic<bool> release{false};
};

void holds(unsigned long, FT_DEVICE_INFO*, bool, void* context)
{
    auto* c = static_cast<hotplug_client*>(context);
    for (++c->started; !c->release;)
        std::this_thread::sleep_for(1ms);
}

// A new client's notices of listed boards count as running: a removal waits for them, and no
// later one starts. Freed after the removal: a notice still running would touch freed memory.
TEST(HotplugReentry, RemovalWaitsForAReplayNoticeAndEndsTheReplay)
{
    plug("REPLAY1");
    plug("REPLAY2");
    ASSERT_EQ(index_of("REPLAY2") + index_of("REPLAY1"), 1);
    auto* c = new hotplug_client;
    std::thread registrar([c] { FT_SetHotplugCallback(&holds, c, false); });
    ASSERT_TRUE(eventually([&] { return c->started == 1; }));
    std::atomic<long> tid{0};
    std::thread remover([&] {
        tid = this_thread_id();
        FT_SetHotplugCallback(&holds, c, true);
        c->returned = c->release ? 1 : 2;
    });
    ASSERT_TRUE(eventually([&] { return c->returned != 0 || (tid != 0 && stays_asleep(tid)); }));
    c->release = true;
    remover.join();
    registrar.join();
    EXPECT_EQ(c->returned.load(), 1) << "the removal returned under a replay notice";
    EXPECT_EQ(c->started.load(), 1) << "a replay notice started after the removal";
    delete c;
}

// Cycles of waits between callbacks: (a) two hot-plug clients remove each other from their
// notices; (b) a hot-plug notice closes a handle whose notification callback removes that
// hot-plug client. Every call must return.
struct cycle {
    std::atomic<int> inside{0};
    std::atomic<int> returned{0};
    void* handle = nullptr;
    std::atomic<long> closer{0};
};

template <int I> void removes_the_other(unsigned long, FT_DEVICE_INFO*, bool arrived, void* context)
{
    auto* c = static_cast<cycle*>(context);
    if (!arrived)
        return;
    ++c->inside;
    eventually([&] { return c->inside.load() == 2; });
    FT_SetHotplugCallback(&removes_the_other<1 - I>, context, true);
    ++c->returned;
}

void closes_the_handle(unsigned long, FT_DEVICE_INFO*, bool arrived, void* context)
{
    auto* c = static_cast<cycle*>(context);
    if (!arrived)
        return;
    c->closer = this_thread_id();
    FT_Close(c->handle);
    ++c->returned;
}

void removes_the_closer(void* context, int, void*)
{
    auto* c = static_cast<cycle*>(context);
    // Once the notice is blocked in its close, which waits for this callback.
    eventually([&] { return c->closer != 0 && stays_asleep(c->closer); });
    FT_SetHotplugCallback(&closes_the_handle, context, true);
    ++c->returned;
}

TEST(HotplugReentry, CallbacksWaitingForEachOtherAllReturn)
{
    bus();
    cycle mutual;
    ASSERT_TRUE(FT_SetHotplugCallback(&removes_the_other<0>, &mutual, false));
    ASSERT_TRUE(FT_SetHotplugCallback(&removes_the_other<1>, &mutual, false));
    plug("MUTUAL");
    EXPECT_TRUE(eventually([&] { return mutual.returned == 2; })) << "two removals wait for each other";

    cycle crossed;
    crossed.handle = open_board(static_cast<std::uint32_t>(index_of("MUTUAL")), false);
    ASSERT_NE(crossed.handle, nullptr);
    ASSERT_EQ(FT_SetNotificationCallback(crossed.handle, &removes_the_closer, &crossed),
              STATUS_SUCCESS);
    board_at(0).send_notification();
    ASSERT_TRUE(FT_SetHotplugCallback(&closes_the_handle, &crossed, false));
    plug("TRIGGER");
    EXPECT_TRUE(eventually([&] { return crossed.returned == 2; }))
        << "a close and a removal wait for each other";
}

} // namespace
