// Hot-plug tracking: the host's hot-plug clients, the library's one libusb hot-plug
// registration, and the device cache between libusb's events and the session.
#pragma once

#include <libusb-1.0/libusb.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

#include "ft60x/session/device_cache.h"
#include "ft60x/session/device_record.h"
#include "ft60x/session/session_lib.h"
#include "ostrane/ft60x.h"

class hotplug {
public:
    using client_map = std::map<FT_HOTPLUG_CALLBACK, void*>;

    hotplug(session_lib& lib, device_cache::action on_arrived, device_cache::action on_left);
    hotplug(const hotplug&) = delete;
    hotplug& operator=(const hotplug&) = delete;
    ~hotplug();

    // Removes the libusb registration, waits out libusb callbacks already running and joins the
    // device cache's thread: after it returns nothing reaches the session through this object.
    // The owner calls it while everything the callbacks use still exists. Idempotent.
    void stop();

    bool register_hotplug_callback(FT_HOTPLUG_CALLBACK callback, void* context, bool remove);
    static int LIBUSB_CALL hotplug_callback(libusb_context* ctx, libusb_device* dev,
                                            libusb_hotplug_event event, void* user_data);
    // Logs the change and tells every client on a thread of its own, with a private copy of the
    // record.
    void notify_clients(std::uint64_t uid, const device_record& record, bool arrived);
    bool has_clients() const;

private:
    // Host threads add and remove clients while the event and cache threads notify them. Declared
    // before the cache so that it outlives the cache's thread.
    mutable std::mutex clients_lock;
    client_map clients;
    // Makes the libusb registration (and its removal) one step: two first clients registering
    // at once must not both register with libusb. Never taken by a libusb callback.
    std::mutex registration_lock;
    bool registered = false;
    session_lib* usb_lib;
    device_cache cache;
    // Set at teardown: libusb callbacks from then on leave the cache alone.
    std::atomic<bool> closing{false};
};
