// What the lifetime tests share beyond the session tests' support: FIFO-mode opens, a record of
// the order in which threads reached points of interest, and the process's resource counts.
#pragma once

#include <dirent.h>
#include <malloc.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "../board/board_support.h"
#include "../session/support.h"
#include "support/sanitizers.h"
#include "support/threads.h"

#if defined(OSTRANE_TEST_ASAN) || defined(OSTRANE_TEST_TSAN)
#include <sanitizer/common_interface_defs.h>
#endif

namespace lifetime_test {

using namespace session_test;
using board_test::board_at;

inline constexpr std::uint8_t fifo = 4; // FIFO mode puts the board's pipes in entry 4

// Opens the board at `index` in FIFO mode, or with the default (notification only) mode; with
// `out_only`, without the IN pipe (nothing then drains the board's loopback).
inline void* open_board(std::uint32_t index, bool fifo_mode, bool out_only = false)
{
    FT_TRANSFER_CONF conf{};
    conf.wStructSize = sizeof conf;
    conf.bFifoMode = fifo_mode ? 1 : 0;
    conf.aPipe[FT_PIPE_DIR_IN].bDisabled = out_only ? 1 : 0;
    if (FT_SetTransferParams(&conf, 0) != STATUS_SUCCESS)
        return nullptr;
    void* handle = nullptr;
    if (FT_Create(reinterpret_cast<void*>(std::uintptr_t{index}), FT_OPEN_BY_INDEX, &handle) !=
        STATUS_SUCCESS)
        return nullptr;
    return handle;
}

// Index of the listed board with serial number `serial`, after a fresh scan; -1 when not listed.
inline int index_of(const std::string& serial)
{
    std::uint32_t count = 0;
    if (FT_CreateDeviceInfoList(&count) != STATUS_SUCCESS)
        return -1;
    for (std::uint32_t i = 0; i < count; ++i)
        if (serial_at(i) == serial)
            return static_cast<int>(i);
    return -1;
}

// Hands out increasing numbers, so that a test can tell which of two events came first.
class sequence {
public:
    int next() { return ++counter; }

private:
    std::atomic<int> counter{0};
};

using test_support::stays_asleep;
using test_support::this_thread_id;
using test_support::thread_sleeps;

inline std::size_t entries_in(const char* dir)
{
    std::size_t n = 0;
    if (DIR* d = opendir(dir)) {
        while (const dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
    }
    return n;
}

// A local socket never connected to anything. umockdev's preload (linked into the test programs)
// leaves one behind per device open when no emulated bus is there, i.e. on the real kernel; the
// library itself opens no local sockets.
inline bool stray_local_socket(int fd)
{
    int domain = 0;
    socklen_t len = sizeof domain;
    sockaddr_storage peer{};
    socklen_t peer_len = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 && domain == AF_UNIX &&
           getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0 && errno == ENOTCONN;
}

inline std::size_t open_descriptors()
{
    std::size_t n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (const dirent* e = readdir(d))
            if (e->d_name[0] != '.' && !stray_local_socket(std::atoi(e->d_name)))
                ++n;
        closedir(d);
    }
    return n;
}

// Open descriptors, threads and heap bytes in use by this process.
struct resources {
    std::size_t fds;
    std::size_t threads;
    std::size_t heap;

    resources operator-(const resources& o) const
    {
        return {fds - o.fds, threads - o.threads, heap - o.heap};
    }

    static resources now()
    {
#if defined(OSTRANE_TEST_ASAN) || defined(OSTRANE_TEST_TSAN)
        // Clang's sanitizers start their symbolizer (a process and two pipes) for the first stack
        // they name, a suppressed report's among them, which may come in the middle of a
        // measurement: it is started before the first one.
        char name[64];
        __sanitizer_symbolize_pc(__builtin_return_address(0), "%f", name, sizeof name);
#endif
        const struct mallinfo2 m = mallinfo2();
        // Heap bytes in chunks and in mapped blocks alike: glibc moves large blocks between the two.
        return {open_descriptors(), entries_in("/proc/self/task"), m.uordblks + m.hblkhd};
    }
};

// Cycle count of an endurance test: `fallback` unless OSTRANE_ENDURANCE_CYCLES says otherwise.
inline int cycles(int fallback)
{
    const char* text = std::getenv("OSTRANE_ENDURANCE_CYCLES");
    const int n = text != nullptr ? std::atoi(text) : 0;
    return n > 0 ? n : fallback;
}

} // namespace lifetime_test
