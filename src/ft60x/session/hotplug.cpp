#include "ft60x/session/hotplug.h"

#include <memory>
#include <thread>

#include "ft60x/device/library.h"
#include "ft60x/logging.h"

hotplug::hotplug(session_lib& lib, device_cache::action on_arrived, device_cache::action on_left)
    : usb_lib(&lib), cache(std::move(on_arrived), std::move(on_left))
{
}

namespace {
// The client whose notification this thread runs, if any.
thread_local FT_HOTPLUG_CALLBACK notifying = nullptr;
} // namespace

hotplug::~hotplug()
{
    stop();
    std::lock_guard<std::mutex> guard(clients->lock);
    clients->registered.clear();
}

void hotplug::stop()
{
    closing.store(true);
    {
        std::lock_guard<std::mutex> guard(registration_lock);
        if (registered) {
            libusb_hotplug_deregister_callback(usb_lib->context(), usb_lib->hotplug_handle);
            usb_lib->hotplug_handle = 0;
            registered = false;
            // libusb may still be inside a call of hotplug_callback that began before the
            // deregistration; such calls run under the event lock, so holding it once waits
            // them out.
            libusb_lock_events(usb_lib->context());
            libusb_unlock_events(usb_lib->context());
        }
    }
    // Arrivals being confirmed may still call into the session; they end here.
    cache.stop();
}

bool hotplug::has_clients() const
{
    std::lock_guard<std::mutex> guard(clients->lock);
    return !clients->registered.empty();
}

bool hotplug::register_hotplug_callback(FT_HOTPLUG_CALLBACK callback, void* context, bool remove)
{
    if (callback == nullptr)
        return false;
    if (remove) {
        std::unique_lock<std::mutex> guard(clients->lock);
        if (clients->registered.erase(callback) == 0)
            return false;
        // Its notifications still running end before the host may free what they use; one
        // removing its own client from inside the callback is not waited for.
        const unsigned own = notifying == callback ? 1 : 0;
        clients->finished.wait(guard, [&] {
            const auto it = clients->running.find(callback);
            return it == clients->running.end() || it->second <= own;
        });
        return true;
    }
    std::lock_guard<std::mutex> registration(registration_lock);
    {
        std::lock_guard<std::mutex> guard(clients->lock);
        if (clients->registered.count(callback) != 0)
            return false;
    }
    if (!registered) {
        if (closing.load() || usb_lib->context() == nullptr ||
            !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG))
            return false;
        // Not under the clients lock: libusb's hot-plug lock is held while it calls us back, and
        // that callback takes the clients lock.
        const int rc = libusb_hotplug_register_callback(
            usb_lib->context(),
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, &hotplug::hotplug_callback, this,
            &usb_lib->hotplug_handle);
        if (rc != 0)
            return false;
        registered = true;
    }
    std::lock_guard<std::mutex> guard(clients->lock);
    return clients->registered.emplace(callback, context).second;
}

int LIBUSB_CALL hotplug::hotplug_callback(libusb_context*, libusb_device* dev,
                                          libusb_hotplug_event event, void* user_data)
{
    auto* self = static_cast<hotplug*>(user_data);
    if (!self->closing.load()) {
        const std::uint64_t uid = usb_device_uid(dev);
        if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED)
            self->cache.device_arrived(uid);
        else if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT)
            self->cache.device_left(uid);
    }
    return 0;
}

void hotplug::notify_clients(std::uint64_t uid, const device_record& record, bool arrived)
{
    logging(FT_LOG_LEVEL_TRACE, "[HPS]BUS:%d PORT:%d ADDRESS:%d ID:0x%08X %s %s.\r\n",
            static_cast<unsigned>(record.bus_number), static_cast<unsigned>(record.port_number),
            static_cast<unsigned>(record.device_address), record.info.id,
            record.info.description, arrived ? "inserted" : "removed");
    client_map snapshot;
    {
        std::lock_guard<std::mutex> guard(clients->lock);
        snapshot = clients->registered;
        for (const auto& entry : snapshot)
            ++clients->running[entry.first];
    }
    const auto finish = [](client_state& state, FT_HOTPLUG_CALLBACK callback) {
        std::lock_guard<std::mutex> guard(state.lock);
        if (--state.running[callback] == 0)
            state.running.erase(callback);
        state.finished.notify_all();
    };
    for (const auto& [callback, context] : snapshot) {
        try {
            auto copy = std::make_shared<device_record>(record);
            std::thread([state = clients, callback, context, copy, uid, arrived, finish] {
                bool still;
                {
                    std::lock_guard<std::mutex> guard(state->lock);
                    const auto it = state->registered.find(callback);
                    still = it != state->registered.end() && it->second == context;
                }
                // A client removed since the event is not told of it.
                if (still) {
                    notifying = callback;
                    callback(static_cast<unsigned long>(uid), &copy->info, arrived, context);
                    notifying = nullptr;
                }
                finish(*state, callback);
            }).detach();
        } catch (...) {
            // No thread, no notice: a removal must not wait for one.
            finish(*clients, callback);
        }
    }
}
