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
#include <thread>
#include <utility>
#include <vector>

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

    // Adds or removes a client. None of its notifications starts after a removal. A removal
    // from a host thread returns once no notification of that client runs any more; one from
    // inside a callback of the library does not wait (the notification waited for might be
    // waiting for that callback).
    bool register_hotplug_callback(FT_HOTPLUG_CALLBACK callback, void* context, bool remove);
    // Tells a newly registered client of the listed devices, each on a thread of its own joined
    // in turn; counted as running notifications, and stopped once the client is removed.
    void replay(FT_HOTPLUG_CALLBACK callback, void* context,
                std::vector<std::pair<std::uint64_t, device_record>> listed);
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
        // The notification threads not yet joined, and those of them that have ended; joined
        // later by the next notification round and at teardown.
        std::map<std::uint64_t, std::thread> threads;
        std::vector<std::uint64_t> ended;
        std::uint64_t next_thread = 0;
    };
    // Joins the notification threads that have ended.
    void join_ended_threads();
    // At teardown: waits, bounded, until the notification threads have ended, and joins them.
    void join_threads();
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
