// The process's virtual bus: each test case runs in a process of its own.
#pragma once

#include <cstdio>

#include "umockdev/virtual_bus.h"

namespace test_support {

// Made on first use, which must come before the library's first call (libusb has to start after
// the bus exists); the first use's `trace` is the one kept. Never destroyed: the library releases
// libusb when it is unloaded after main returns, and the emulated devices must still exist then.
inline vboard::VirtualBus& bus(FILE* trace = nullptr)
{
    static vboard::VirtualBus* const instance = [trace] {
        vboard::VirtualBus::Options options;
        options.trace = trace;
        return new vboard::VirtualBus(options);
    }();
    return *instance;
}

} // namespace test_support
