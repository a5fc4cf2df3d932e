// Child process of the teardown tests: loads the library at run time, registers a hot-plug client
// whose notice is still running when the library is unloaded, and unloads it.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "ostrane/ft60x.h"
#include "umockdev/virtual_bus.h"

namespace {

std::atomic<bool> notified{false};
std::atomic<bool> unloading{false};
std::atomic<bool> returned{false};

// Lives in this program, which stays; returns into the library once the unload has begun.
void on_hotplug(unsigned long, FT_DEVICE_INFO*, bool, void*)
{
    notified = true;
    while (!unloading)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // A host callback slower than the unload's own steps (a few hundred milliseconds).
    std::this_thread::sleep_for(std::chrono::seconds(1));
    returned = true;
}

} // namespace

int main()
{
    static vboard::VirtualBus bus; // before the library starts libusb
    void* library = dlopen(OSTRANE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        return 2;
    using set_hotplug_fn = bool (*)(FT_HOTPLUG_CALLBACK, void*, bool);
    const auto set_hotplug =
        reinterpret_cast<set_hotplug_fn>(dlsym(library, "FT_SetHotplugCallback"));
    if (set_hotplug == nullptr || !set_hotplug(&on_hotplug, nullptr, false))
        return 3;
    bus.plug();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!notified) {
        if (std::chrono::steady_clock::now() > end)
            return 4;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    unloading = true;
    dlclose(library);
    if (!returned)
        return 5;
    std::printf("unloaded after the notice\r\n");
    return 0;
}
