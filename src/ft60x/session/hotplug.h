// Hot-plug tracking: the host's hot-plug clients, the library's one libusb hot-plug
// registration, and the device cache between libusb's events and the session.
#pragma once

#include <libusb-1.0/libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
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

    // Adds or removes a client. A removal returns once no notification of that client runs any
    // more (except the one the caller is inside of); none starts afterwards.
    bool register_hotplug_callback(FT_HOTPLUG_CALLBACK callback, void* context, bool remove);
    static int LIBUSB_CALL hotplug_callback(libusb_context* ctx, libusb_device* dev,
                                            libusb_hotplug_event event, void* user_data);
    // Logs the change and tells every client on a thread of its own, with a private copy of the
    // record.
    void notify_clients(std::uint64_t uid, const device_record& record, bool arrived);
    bool has_clients() const;

private:
    // Host threads add and remove clients while the event and cache threads notify them. Shared
    // with the notification threads, which run detached and may outlive this object.
    struct client_state {
        std::mutex lock;
        std::condition_variable finished;
        client_map registered;
        // Notifications handed to a thread and not yet over, per client: a removal waits for them.
        std::map<FT_HOTPLUG_CALLBACK, unsigned> running;
    };
    std::shared_ptr<client_state> clients = std::make_shared<client_state>();
    // Makes the libusb registration (and its removal) one step: two first clients registering
    // at once must not both register with libusb. Never taken by a libusb callback.
    std::mutex registration_lock;
    bool registered = false;
    session_lib* usb_lib;
    device_cache cache;
    // Set at teardown: libusb callbacks from then on leave the cache alone.
    std::atomic<bool> closing{false};
};
