// Which lock guards what, said to the compiler: Clang's -Wthread-safety checks every access
// against these annotations (other compilers ignore them). The mutexes here are the standard
// ones with the annotations the standard library lacks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define OSTRANE_TSA(x) __attribute__((x))
#else
#define OSTRANE_TSA(x)
#endif

#define CAPABILITY(x) OSTRANE_TSA(capability(x))
#define SCOPED_CAPABILITY OSTRANE_TSA(scoped_lockable)
#define GUARDED_BY(x) OSTRANE_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) OSTRANE_TSA(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) OSTRANE_TSA(acquired_before(__VA_ARGS__))
#define REQUIRES(...) OSTRANE_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) OSTRANE_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) OSTRANE_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) OSTRANE_TSA(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) OSTRANE_TSA(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS OSTRANE_TSA(no_thread_safety_analysis)

namespace locking {

// std::mutex, annotated. Waits on it go through std::condition_variable_any.
class CAPABILITY("mutex") mutex {
public:
    void lock() ACQUIRE() { m.lock(); }
    void unlock() RELEASE() { m.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m.try_lock(); }

private:
    std::mutex m;
};

// A mutex whose wait can end at a deadline, annotated: for a lock whose wait counts against a
// caller's time-out. Built on a mutex and a condition variable rather than std::timed_mutex,
// whose timed lock ThreadSanitizer does not see.
class CAPABILITY("mutex") timed_mutex {
public:
    void lock() ACQUIRE()
    {
        std::unique_lock<std::mutex> guard(m);
        while (held)
            freed.wait(guard);
        held = true;
    }
    template <typename Clock, typename Duration>
    bool try_lock_until(const std::chrono::time_point<Clock, Duration>& t) TRY_ACQUIRE(true)
    {
        std::unique_lock<std::mutex> guard(m);
        while (held) {
            if (freed.wait_until(guard, t) == std::cv_status::timeout && held)
                return false;
        }
        held = true;
        return true;
    }
    void unlock() RELEASE()
    {
        {
            std::lock_guard<std::mutex> guard(m);
            held = false;
        }
        freed.notify_one();
    }

private:
    std::mutex m;
    std::condition_variable freed;
    bool held = false;
};

// Holds `m` for its scope.
template <typename Mutex>
class SCOPED_CAPABILITY lock_guard {
public:
    explicit lock_guard(Mutex& m) ACQUIRE(m) : m(m) { m.lock(); }
    ~lock_guard() RELEASE() { m.unlock(); }
    lock_guard(const lock_guard&) = delete;
    lock_guard& operator=(const lock_guard&) = delete;

private:
    Mutex& m;
};

// A condition wait on `m`, which the caller holds (as the analysis sees it) and which is held
// again on return. Callers loop on their own condition, so the analysis checks it.
template <typename Mutex, typename Clock, typename Duration>
std::cv_status wait_until(std::condition_variable_any& cv, Mutex& m,
                          const std::chrono::time_point<Clock, Duration>& deadline) REQUIRES(m)
{
    return cv.wait_until(m, deadline);
}
template <typename Mutex>
void wait(std::condition_variable_any& cv, Mutex& m) REQUIRES(m)
{
    cv.wait(m);
}

} // namespace locking
