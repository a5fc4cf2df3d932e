#include "ft60x/session/library_thread.h"

#include <pthread.h>
#include <signal.h>

std::thread start_library_thread(const char* name, std::function<void()> body)
{
    sigset_t blocked;
    sigfillset(&blocked);
    // Faults are raised by the thread's own instructions and must reach their handlers (the
    // host's crash reporter, a sanitizer's) on it.
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT})
        sigdelset(&blocked, fault);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    std::thread thread;
    try {
        // Named by itself before anything else runs on it: a short-lived thread would otherwise
        // run its work under the host program's name.
        thread = std::thread([name, work = std::move(body)] {
            pthread_setname_np(pthread_self(), name);
            work();
        });
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}
