#include "ft60x/session/hotplug.h"

#include <memory>
#include <thread>

#include "ft60x/device/library.h"
#include "ft60x/logging.h"

hotplug::hotplug(session_lib& lib, device_cache::action on_arrived, device_cache::action on_left)
    : usb_lib(&lib), cache(std::move(on_arrived), std::move(on_left))
{
}

hotplug::~hotplug()
{
    stop();
    std::lock_guard<std::mutex> guard(clients_lock);
    clients.clear();
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
    std::lock_guard<std::mutex> guard(clients_lock);
    return !clients.empty();
}

bool hotplug::register_hotplug_callback(FT_HOTPLUG_CALLBACK callback, void* context, bool remove)
{
    if (callback == nullptr)
        return false;
    std::lock_guard<std::mutex> registration(registration_lock);
    {
        std::lock_guard<std::mutex> guard(clients_lock);
        const auto it = clients.find(callback);
        if (it != clients.end()) {
            if (!remove)
                return false;
            clients.erase(it);
            return true;
        }
        if (remove)
            return false;
    }
    if (!registered) {
        if (closing.load() || usb_lib->context() == nullptr ||
            !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG))
            return false;
        // Not under clients_lock: libusb's hot-plug lock is held while it calls us back, and
        // that callback takes clients_lock.
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
    std::lock_guard<std::mutex> guard(clients_lock);
    clients.emplace(callback, context);
    return true;
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
        std::lock_guard<std::mutex> guard(clients_lock);
        snapshot = clients;
    }
    for (const auto& [callback, context] : snapshot) {
        auto copy = std::make_shared<device_record>(record);
        std::thread([callback, context, copy, uid, arrived] {
            callback(static_cast<unsigned long>(uid), &copy->info, arrived, context);
        }).detach();
    }
}
