// Hot-plug clients: arrivals confirmed after the device cache's delay, departures, replay of
// the listed boards to a new client, first registrations from several threads, and the first-use
// creation of the session from two threads.
#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "support.h"

using namespace session_test;

namespace {

struct event {
    unsigned long uid;
    std::string serial;
    bool arrived;
};

std::mutex events_lock;
std::vector<event> events;

void on_hotplug(unsigned long uid, FT_DEVICE_INFO* info, bool arrived, void*)
{
    std::lock_guard<std::mutex> guard(events_lock);
    events.push_back({uid, info->serial_number, arrived});
}

std::size_t event_count()
{
    std::lock_guard<std::mutex> guard(events_lock);
    return events.size();
}

std::vector<event> events_copy()
{
    std::lock_guard<std::mutex> guard(events_lock);
    return events;
}

TEST(Hotplug, ArrivalAndDepartureReachTheClient)
{
    bus();
    log_capture log(FT_LOG_LEVEL_TRACE);
    ASSERT_TRUE(FT_SetHotplugCallback(&on_hotplug, nullptr, false));
    EXPECT_FALSE(FT_SetHotplugCallback(&on_hotplug, nullptr, false)) << "already registered";

    const auto plugged = plug("HOT1");
    ASSERT_TRUE(eventually([] { return event_count() == 1; }));
    auto got = events_copy();
    EXPECT_TRUE(got[0].arrived);
    EXPECT_EQ(got[0].serial, "HOT1");
    EXPECT_TRUE(log.contains(" Q.V. Ostrane SDI Adapter inserted.\r\n"));

    // While a client is registered the list changes through hot-plug events only.
    std::uint32_t count = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);

    bus().unplug(plugged.id);
    ASSERT_TRUE(eventually([] { return event_count() == 2; }));
    got = events_copy();
    EXPECT_FALSE(got[1].arrived);
    EXPECT_EQ(got[1].uid, got[0].uid);
    EXPECT_TRUE(log.contains(" removed.\r\n"));
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);

    EXPECT_TRUE(FT_SetHotplugCallback(&on_hotplug, nullptr, true));
    EXPECT_FALSE(FT_SetHotplugCallback(&on_hotplug, nullptr, true)) << "already removed";
    EXPECT_FALSE(FT_SetHotplugCallback(nullptr, nullptr, false));
}

// A client that takes its time, or removes itself from inside its callback.
struct slow_client {
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    bool remove_itself = false;
    std::atomic<int> removed_itself{-1};
};

void on_hotplug_slowly(unsigned long, FT_DEVICE_INFO*, bool, void* context)
{
    auto* c = static_cast<slow_client*>(context);
    ++c->started;
    if (c->remove_itself)
        c->removed_itself = FT_SetHotplugCallback(&on_hotplug_slowly, context, true) ? 1 : 0;
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // for the removal to overtake
    ++c->finished;
}

TEST(Hotplug, RemovalWaitsForTheClientsRunningCallback)
{
    bus();
    // Freed right after the removal: a callback still running would touch freed memory.
    auto* slow = new slow_client;
    ASSERT_TRUE(FT_SetHotplugCallback(&on_hotplug_slowly, slow, false));
    const auto plugged = plug("SLOW");
    ASSERT_TRUE(eventually([&] { return slow->started.load() == 1; }));
    ASSERT_TRUE(FT_SetHotplugCallback(&on_hotplug_slowly, slow, true));
    EXPECT_EQ(slow->finished.load(), 1) << "the removal returned while its callback ran";
    delete slow;

    // Removing itself from inside its own callback does not wait for itself.
    bus().unplug(plugged.id);
    std::uint32_t count = 0;
    ASSERT_TRUE(eventually([&] { return FT_CreateDeviceInfoList(&count) == STATUS_SUCCESS && count == 0; }));
    slow_client self;
    self.remove_itself = true;
    ASSERT_TRUE(FT_SetHotplugCallback(&on_hotplug_slowly, &self, false));
    plug("SELF");
    ASSERT_TRUE(eventually([&] { return self.finished.load() == 1; }));
    EXPECT_EQ(self.removed_itself.load(), 1);
}

TEST(Hotplug, ShortVisitIsNeverReported)
{
    bus();
    log_capture log(FT_LOG_LEVEL_TRACE);
    ASSERT_TRUE(FT_SetHotplugCallback(&on_hotplug, nullptr, false));
    const auto quick = plug("QUICK");
    bus().unplug(quick.id);
    // A board that stays is reported after its own delay; the quick one before it never is.
    plug("STAYS");
    const auto seen = [] {
        std::string all;
        for (const event& e : events_copy())
            all += e.serial + (e.arrived ? " arrived; " : " left; ");
        return all;
    };
    ASSERT_TRUE(eventually([&] { return seen().find("STAYS") != std::string::npos; })) << seen();
    EXPECT_EQ(seen(), "STAYS arrived; ");
    EXPECT_EQ(log.count("inserted"), 1u);
    EXPECT_TRUE(FT_SetHotplugCallback(&on_hotplug, nullptr, true));
}

TEST(Hotplug, NewClientHearsOfListedBoardsThatAreNotOpen)
{
    plug("LISTED");
    plug("OPENED");
    void* handle = nullptr;
    ASSERT_EQ(FT_Create(const_cast<char*>("OPENED"), FT_OPEN_BY_SERIAL_NUMBER, &handle),
              STATUS_SUCCESS);
    ASSERT_TRUE(FT_SetHotplugCallback(&on_hotplug, nullptr, false));
    // Replayed before the registration returns.
    const auto got = events_copy();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].serial, "LISTED");
    EXPECT_TRUE(got[0].arrived);
    EXPECT_TRUE(FT_SetHotplugCallback(&on_hotplug, nullptr, true));
    EXPECT_EQ(FT_Close(handle), STATUS_SUCCESS);
}

std::size_t string_requests(vboard::Board& board)
{
    std::size_t n = 0;
    for (const auto& r : board.request_log())
        n += r.setup.bRequest == 6 && (r.setup.wValue >> 8) == 3 ? 1 : 0;
    return n;
}

constexpr std::size_t racing_clients = 8;

template <std::size_t I> void racing_client(unsigned long uid, FT_DEVICE_INFO* info, bool arrived,
                                            void*)
{
    on_hotplug(uid, info, arrived, nullptr);
}

template <std::size_t... I>
std::array<FT_HOTPLUG_CALLBACK, sizeof...(I)> racing_callbacks(std::index_sequence<I...>)
{
    return {&racing_client<I>...};
}

std::size_t arrivals_of(const std::string& serial)
{
    std::size_t n = 0;
    for (const auto& e : events_copy())
        n += e.arrived && e.serial == serial ? 1 : 0;
    return n;
}

TEST(Hotplug, ClientsRegisteringAtOnceExamineEachArrivalOnce)
{
    // The first calls also create the session, which lets them all go at the same moment.
    const auto listed = plug("RACE1");
    std::atomic<bool> go{false};
    std::atomic<std::size_t> registered{0};
    std::vector<std::thread> threads;
    for (FT_HOTPLUG_CALLBACK cb : racing_callbacks(std::make_index_sequence<racing_clients>())) {
        threads.emplace_back([&, cb] {
            while (!go.load()) {
            }
            if (FT_SetHotplugCallback(cb, nullptr, false))
                registered.fetch_add(1);
        });
    }
    go = true;
    for (auto& t : threads)
        t.join();
    ASSERT_EQ(registered.load(), racing_clients);
    // The session's first scan examined RACE1 once.
    const std::size_t per_examination = string_requests(bus().board(listed.id));
    ASSERT_GT(per_examination, 0u);

    // Arrivals are confirmed in order: once the second board is announced, anything the first
    // arrival caused is over. (Each client hears on a thread of its own, in any order.)
    const auto raced = plug("RACE2");
    plug("RACE3");
    ASSERT_TRUE(eventually([] {
        return arrivals_of("RACE2") == racing_clients && arrivals_of("RACE3") == racing_clients;
    }));
    EXPECT_EQ(string_requests(bus().board(raced.id)), per_examination)
        << "the arrival was examined more than once";
}

TEST(SessionCreation, TwoFirstCallsMakeOneSession)
{
    plug("ONCE");
    log_capture log(FT_LOG_LEVEL_TRACE);
    std::atomic<bool> go{false};
    std::atomic<int> counted{0};
    auto first_call = [&] {
        while (!go.load()) {
        }
        std::uint32_t count = 0;
        if (FT_CreateDeviceInfoList(&count) == STATUS_SUCCESS && count == 1)
            counted.fetch_add(1);
    };
    std::thread a(first_call);
    std::thread b(first_call);
    go = true;
    a.join();
    b.join();
    EXPECT_EQ(counted.load(), 2);
    EXPECT_EQ(log.count("Start event thread\r\n"), 1u);
}

} // namespace
