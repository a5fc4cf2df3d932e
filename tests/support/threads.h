// What the kernel says of a test's threads: a wait for another thread to block, rather than a
// guess at how long it takes to get there.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

namespace test_support {

inline long this_thread_id() { return static_cast<long>(syscall(SYS_gettid)); }

// True once thread `tid` of this process sleeps (blocked in a wait), as the kernel reports it.
inline bool thread_sleeps(long tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'S';
}

// True once thread `tid` has been seen asleep at 20 checks in a row, 1 ms apart: blocked in a
// wait rather than passing through one.
inline bool stays_asleep(long tid)
{
    for (int i = 0; i < 20; ++i) {
        if (!thread_sleeps(tid))
            return false;
        usleep(1000);
    }
    return true;
}

} // namespace test_support
