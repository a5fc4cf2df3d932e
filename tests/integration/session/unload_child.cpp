// Child process of the teardown tests: sets up the library as a host would and exits normally,
// so that the parent can read what the library logged at exit.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "ostrane/OstraneCommsUSB.h"
#include "ostrane/ft60x.h"
#include "support/sanitizers.h"
#include "umockdev/virtual_bus.h"

// Ends a forked child after the library's teardown at exit, before the bus's (whose threads the
// child does not have).
static pid_t parent = 0;
static int child_status = 0;
static void end_forked_child()
{
    if (getpid() != parent)
        std::_Exit(child_status);
}

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    static vboard::VirtualBus bus;
    parent = getpid();
    std::atexit(&end_forked_child);
    FT_SetDebug(stdout, FT_LOG_LEVEL_TRACE);
    if (std::strcmp(mode, "debug-only") == 0)
        return 0;
    const vboard::PluggedBoard plugged = bus.plug();
    std::uint32_t count = 0;
    if (FT_CreateDeviceInfoList(&count) != STATUS_SUCCESS || count != 1)
        return 2;
    if (std::strcmp(mode, "open") == 0) {
        // Left open on purpose: the session closes it at exit.
        void* handle = nullptr;
        if (FT_Create(nullptr, FT_OPEN_BY_INDEX, &handle) != STATUS_SUCCESS)
            return 3;
    }
    if (std::strcmp(mode, "channel") == 0) {
        // A board channel left open: left as it is at exit, its device closed by the session.
        int channel = -1;
        if (OstraneCommsUSBOpenByIndex(&channel, 0) != CommsOk)
            return 4;
    }
    if (std::strcmp(mode, "exit-in-open") == 0) {
        // Exits while another thread is inside FT_Create, its chip configuration read (FIFO
        // mode) answered late.
        FT_TRANSFER_CONF conf{};
        conf.wStructSize = sizeof conf;
        conf.bFifoMode = 1;
        FT_SetTransferParams(&conf, 0);
        vboard::Board& board = bus.board(plugged.id);
        board.clear_request_log();
        board.delay_control(1, std::chrono::milliseconds(700));
        static void* opened = nullptr;
        std::thread([] { FT_Create(nullptr, FT_OPEN_BY_INDEX, &opened); }).detach();
        while (board.request_log().empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (std::strcmp(mode, "exit-in-loop") == 0) {
        // Exits while another thread sets the transfer configuration and opens and closes the
        // board in a loop, as a host's worker may.
        static std::atomic<int> rounds{0};
        std::thread([] {
            FT_TRANSFER_CONF conf{};
            conf.wStructSize = sizeof conf;
            for (void* handle = nullptr;; ++rounds) {
                for (int i = 0; i < 1000; ++i) // mostly the cheap call: exit meets the loop in it
                    FT_SetTransferParams(&conf, 0);
                if (FT_Create(nullptr, FT_OPEN_BY_INDEX, &handle) == STATUS_SUCCESS)
                    FT_Close(handle);
            }
        }).detach();
        while (rounds.load() < 3)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (std::strcmp(mode, "fork") == 0) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            std::freopen("/dev/null", "w", stdout); // a hanging child holds no pipe
#if !defined(OSTRANE_TEST_TSAN) // which cannot start threads in a child of a threaded process
            std::uint32_t n = 0;
            child_status = FT_CreateDeviceInfoList(&n) == STATUS_SUCCESS ? 0 : 6;
#endif
            std::exit(0);
        }
        alarm(20); // a child that hangs ends this process
        int status = -1;
        if (child < 0 || waitpid(child, &status, 0) != child || status != 0)
            return 5;
    }
    std::printf("main returns\r\n");
    return 0;
}
