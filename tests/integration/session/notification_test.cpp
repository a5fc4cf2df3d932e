// Notifications of the FT602 interrupt endpoint, and closing a handle whose notification
// transfer is posted, also after the board has gone.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

using namespace session_test;

namespace {

struct received {
    std::atomic<int> calls{0};
    std::atomic<int> last_type{-1};
    std::atomic<void*> last_info{reinterpret_cast<void*>(0x1)};
};

void on_notification(void* context, int type, void* info)
{
    auto* r = static_cast<received*>(context);
    r->last_type.store(type);
    r->last_info.store(info);
    r->calls.fetch_add(1);
}

class Notifications : public ::testing::Test {
protected:
    void SetUp() override
    {
        plugged = plug("NOTIFY");
        ASSERT_EQ(FT_Create(nullptr, FT_OPEN_BY_INDEX, &handle), STATUS_SUCCESS);
        // The notification transfer is posted once the board holds a pending interrupt read.
    }
    // The model's part: nothing under replay, where the capture holds what the board sent.
    void notify(std::vector<std::uint8_t> bytes = {0xEF, 0xBE, 0xAD, 0xDE})
    {
        if (vboard::Board* board = model(plugged.id))
            board->send_notification(std::move(bytes));
    }
    // A request on the bus after a change the bus does not see (a registration): a replay gives
    // the messages recorded after it only once it has come. Each `n` is a request of its own.
    void fence(std::uint16_t n)
    {
        std::uint8_t config[2] = {};
        const std::uint64_t setup = 0xC0 | (std::uint64_t{1} << 8) | (std::uint64_t{n} << 48);
        ASSERT_EQ(FT_ControlTransfer(handle, setup, config, n, nullptr), STATUS_SUCCESS);
    }
    std::size_t queued()
    {
        vboard::Board* board = model(plugged.id);
        return board != nullptr ? board->notifications_queued() : 0;
    }

    vboard::PluggedBoard plugged;
    void* handle = nullptr;
    received got;
};

TEST_F(Notifications, ValidMessageCallsTheCallbackWithType2)
{
    ASSERT_EQ(FT_SetNotificationCallback(handle, &on_notification, &got), STATUS_SUCCESS);
    notify();
    // (At least: a replay gives the next message as soon after as it came when recorded.)
    ASSERT_TRUE(eventually([&] { return got.calls.load() >= 1; }));
    EXPECT_EQ(got.last_type.load(), FT_NOTIFICATION_CALLBACK_TYPE_INTERRUPT);
    EXPECT_EQ(got.last_info.load(), nullptr);

    // The transfer is posted again after each message.
    notify();
    ASSERT_TRUE(eventually([&] { return got.calls.load() >= 2; }));

    // A second registration replaces the first pair.
    received other;
    ASSERT_EQ(FT_SetNotificationCallback(handle, &on_notification, &other), STATUS_SUCCESS);
    fence(1);
    notify();
    ASSERT_TRUE(eventually([&] { return other.calls.load() == 1; }));
    EXPECT_EQ(got.calls.load(), 2);

    FT_ClearNotificationCallback(handle);
    fence(2);
    notify();
    ASSERT_TRUE(eventually([&] { return queued() == 0; }));
    EXPECT_EQ(other.calls.load(), 1);
    EXPECT_EQ(FT_Close(handle), STATUS_SUCCESS);
}

TEST_F(Notifications, InvalidMessagesAreLoggedAndTheTransferStaysPosted)
{
    log_capture log(FT_LOG_LEVEL_ERROR);
    ASSERT_EQ(FT_SetNotificationCallback(handle, &on_notification, &got), STATUS_SUCCESS);
    notify({0xEF, 0xBE, 0xAD, 0xDF});
    ASSERT_TRUE(eventually([&] { return log.contains("Invalid FT602 notification value\r\n"); }));
    notify({0xEF, 0xBE});
    ASSERT_TRUE(
        eventually([&] { return log.contains("Invalid FT602 notification length 2\r\n"); }));
    EXPECT_EQ(got.calls.load(), 0);

    notify();
    ASSERT_TRUE(eventually([&] { return got.calls.load() == 1; }));
    EXPECT_EQ(FT_Close(handle), STATUS_SUCCESS);
}

TEST_F(Notifications, CloseCancelsThePostedTransferAndWaitsForIt)
{
    ASSERT_EQ(FT_SetNotificationCallback(handle, &on_notification, &got), STATUS_SUCCESS);
    ASSERT_EQ(FT_Close(handle), STATUS_SUCCESS);
    // The interface is released and no interrupt read is left: a message now stays queued on
    // the board until the board is opened again, and then reaches the new handle.
    if (vboard::Board* board = model(plugged.id)) {
        EXPECT_TRUE(board->claimed_interfaces().empty());
        notify();
        EXPECT_EQ(queued(), 1u);
    }
    EXPECT_EQ(got.calls.load(), 0);

    // The new handle's read takes it at the open, before the callback can be set: the first
    // registration still gets it. Those sent afterwards reach the callback too.
    void* again = nullptr;
    ASSERT_EQ(FT_Create(nullptr, FT_OPEN_BY_INDEX, &again), STATUS_SUCCESS);
    ASSERT_EQ(FT_SetNotificationCallback(again, &on_notification, &got), STATUS_SUCCESS);
    ASSERT_TRUE(eventually([&] { return queued() == 0; }));
    // (A replay gives the recorded messages by its own timing: there only the later two count.)
    const bool exact = model(plugged.id) != nullptr;
    if (exact) {
        ASSERT_TRUE(eventually([&] { return got.calls.load() == 1; }));
    }
    notify();
    notify();
    ASSERT_TRUE(eventually([&] { return got.calls.load() >= 2; }));
    if (exact) {
        ASSERT_TRUE(eventually([&] { return got.calls.load() == 3; })) << got.calls.load();
    }
    EXPECT_EQ(FT_Close(again), STATUS_SUCCESS);
}

TEST_F(Notifications, CloseAfterUnplugReturnsPromptly)
{
    ASSERT_EQ(FT_SetNotificationCallback(handle, &on_notification, &got), STATUS_SUCCESS);
    ASSERT_TRUE(unplug(plugged.id));
    std::uint8_t byte = 0;
    EXPECT_EQ(FT_ControlTransfer(handle, 0x0001'010D'0012'05C0ull, &byte, 1, nullptr),
              STATUS_IO_FAILED);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FT_Close(handle), STATUS_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(got.calls.load(), 0);
}

// Unplugs the board from inside the notification callback, so that the transfer's resubmission
// right after it is refused.
struct unplug_in_callback {
    int board_id;
    std::atomic<bool> done{false};
};

void unplug_now(void* context, int, void*)
{
    auto* u = static_cast<unplug_in_callback*>(context);
    if (!u->done.exchange(true))
        unplug(u->board_id);
}

TEST_F(Notifications, RefusedResubmissionEndsTheTransfer)
{
    unplug_in_callback u{plugged.id};
    ASSERT_EQ(FT_SetNotificationCallback(handle, &unplug_now, &u), STATUS_SUCCESS);
    notify();
    ASSERT_TRUE(eventually([&] { return u.done.load() && !bus().plugged(plugged.id); }));
    // Closing does not wait for a transfer that libusb will never hand back; the wait's safety
    // bound is three seconds, a transfer marked ended needs none of it. (Timed on the emulated bus
    // only: in the guest, an emulated CPU beside other work takes that long for the close itself.)
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FT_Close(handle), STATUS_SUCCESS);
    if (vboard::transport_from_environment() == vboard::Transport::umockdev) {
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
}

TEST_F(Notifications, NotificationsNeedAnOpenFt602)
{
    EXPECT_EQ(FT_SetNotificationCallback(nullptr, &on_notification, &got), STATUS_BAD_HANDLE);
    FT_ClearNotificationCallback(nullptr);
    EXPECT_EQ(FT_Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(FT_SetNotificationCallback(handle, &on_notification, &got), STATUS_BAD_HANDLE);
}

// The library's threads as guests of the host's process: named for top -H and gdb, and blocking
// the signals a host handles, so that its handler never runs on one of them.
std::pair<std::string, bool> name_and_blocks_host_signals(long tid)
{
    const std::string dir = "/proc/self/task/" + std::to_string(tid);
    std::ifstream comm(dir + "/comm"), status(dir + "/status");
    std::string name, line;
    std::getline(comm, name);
    const unsigned long long host = (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1)) | (1ull << (SIGHUP - 1));
    while (std::getline(status, line) && line.rfind("SigBlk:", 0) != 0) {
    }
    return {name, line.size() > 7 && (std::stoull(line.substr(7), nullptr, 16) & host) == host};
}

std::pair<std::string, bool> hotplug_thread;
std::atomic<bool> hotplug_seen{false};
void hotplug_on(unsigned long, FT_DEVICE_INFO*, bool, void*)
{
    if (!hotplug_seen.load()) {
        hotplug_thread = name_and_blocks_host_signals(static_cast<long>(syscall(SYS_gettid)));
        hotplug_seen.store(true);
    }
}

TEST(LibraryThreads, AreNamedAndBlockTheHostsSignals)
{
    plug("GUEST"); // not open: a new hot-plug client hears of it on a short-lived notice thread
    ASSERT_TRUE(FT_SetHotplugCallback(&hotplug_on, nullptr, false));
    ASSERT_TRUE(eventually([] { return hotplug_seen.load(); }));
    EXPECT_EQ(hotplug_thread, std::make_pair(std::string("ostrane-hotplug"), true));
    // The notice thread ends after its callback has returned: looked at too soon, it is still there.
    std::set<std::string> named, unblocked;
    eventually([&] {
        named.clear();
        unblocked.clear();
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            const auto [name, blocks] = name_and_blocks_host_signals(std::stol(task.path().filename().string()));
            if (name.rfind("ostrane-", 0) == 0 && named.insert(name).second && !blocks)
                unblocked.insert(name);
        }
        return named.count("ostrane-hotplug") == 0;
    });
    EXPECT_EQ(named, (std::set<std::string>{"ostrane-devices", "ostrane-events", "ostrane-notify"}));
    EXPECT_TRUE(unblocked.empty());
    FT_SetHotplugCallback(&hotplug_on, nullptr, true);
}

} // namespace
