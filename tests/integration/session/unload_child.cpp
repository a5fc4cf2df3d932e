// Child process of the teardown tests: sets up the library as a host would and exits normally,
// so that the parent can read what the library logged at exit.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "ostrane/OstraneCommsUSB.h"
#include "ostrane/ft60x.h"
#include "umockdev/virtual_bus.h"

namespace {

bool within_10s(bool (*done)(pid_t), pid_t pid)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done(pid)) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int child_status = -1;

bool child_ended(pid_t pid)
{
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) != pid)
        return false;
    child_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    return true;
}

// A bus that is never destroyed, kept reachable.
vboard::VirtualBus* undestroyed_bus = nullptr;

vboard::VirtualBus& static_bus()
{
    static vboard::VirtualBus bus;
    return bus;
}

} // namespace

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    // A forked child must not tear the bus down (its threads are the parent's): left undestroyed.
    vboard::VirtualBus& bus =
        std::strcmp(mode, "fork") == 0 ? *(undestroyed_bus = new vboard::VirtualBus) : static_bus();
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
        // The process exits while another thread is inside FT_Create, its chip configuration
        // request (FIFO mode) answered late.
        FT_TRANSFER_CONF conf{};
        conf.wStructSize = sizeof conf;
        conf.bFifoMode = 1;
        if (FT_SetTransferParams(&conf, 0) != STATUS_SUCCESS)
            return 9;
        vboard::Board& board = bus.board(plugged.id);
        board.clear_request_log();
        board.delay_control(1, std::chrono::milliseconds(700));
        std::thread([] {
            void* handle = nullptr;
            FT_Create(nullptr, FT_OPEN_BY_INDEX, &handle);
        }).detach();
        while (board.request_log().empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (std::strcmp(mode, "fork") == 0) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            // The child starts afresh and exits; neither may hang on the parent's threads.
            // (ThreadSanitizer cannot start threads in a child of a threaded process: there the
            // child only exits.)
#if !defined(__SANITIZE_THREAD__)
            std::uint32_t n = 0;
            if (FT_CreateDeviceInfoList(&n) != STATUS_SUCCESS)
                std::exit(6);
#endif
            std::exit(0);
        }
        if (child < 0)
            return 5;
        if (!within_10s(&child_ended, child)) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            std::printf("forked child hangs\r\n");
            return 7;
        }
        if (child_status != 0)
            return 8;
    }
    std::printf("main returns\r\n");
    return 0;
}
