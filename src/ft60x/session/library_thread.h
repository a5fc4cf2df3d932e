// Threads the library starts in the host's process behave as guests there: each carries a name
// the host's tools show (top -H, gdb, /proc/PID/task/*/comm), and blocks the asynchronous
// signals, so that a host's SIGINT or SIGTERM handler never runs on one of them.
#pragma once

#include <functional>
#include <thread>

// Starts `body` on a new thread named `name` ("ostrane-...", at most 15 characters, a string
// that lives as long as the program). The signals are blocked from the thread's first
// instruction on: it inherits the mask it is created with.
// Throws what std::thread throws.
std::thread start_library_thread(const char* name, std::function<void()> body);
