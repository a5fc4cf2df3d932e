#include "ft60x/session/hotplug.h"

#include "ft60x/session/library_thread.h"

#include <chrono>
#include <memory>
#include <thread>

#include "ft60x/device/library.h"
#include "ft60x/logging.h"
#include "ft60x/session/callback_thread.h"

hotplug::hotplug(session_lib& lib, device_cache::action on_arrived, device_cache::action on_left)
    : usb_lib(&lib), cache(std::move(on_arrived), std::move(on_left))
{
}

namespace {
// How long teardown waits for notification threads still running: a host callback that never
// returns must not hang the exit.
constexpr auto notice_thread_wait = std::chrono::seconds(5);
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
    join_threads();
}

void hotplug::join_ended_threads()
{
    std::vector<std::thread> done;
    {
        std::lock_guard<std::mutex> guard(clients->lock);
        std::vector<std::uint64_t> later;
        for (const std::uint64_t id : clients->ended) {
            const auto it = clients->threads.find(id);
            if (it == clients->threads.end()) {
                later.push_back(id);
                continue;
            }
            done.push_back(std::move(it->second));
            clients->threads.erase(it);
        }
        clients->ended.swap(later);
    }
    // Each has returned from its last statement: the joins end at once.
    for (std::thread& t : done)
        t.join();
}

void hotplug::join_threads()
{
    const auto me = std::this_thread::get_id();
    {
        std::unique_lock<std::mutex> guard(clients->lock);
        // The library's code must not be unloaded under a notification thread still running it.
        clients->finished.wait_for(guard, notice_thread_wait, [&] {
            std::size_t mine = 0;
            for (const auto& [id, t] : clients->threads)
                if (t.get_id() == me)
                    mine = 1;
            return clients->threads.size() <= clients->ended.size() + mine;
        });
    }
    join_ended_threads();
    std::lock_guard<std::mutex> guard(clients->lock);
    // Left running: this thread itself (teardown from inside a notification), or a host callback
    // that did not return in time.
    for (auto& [id, t] : clients->threads)
        t.detach();
    clients->threads.clear();
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
        // Its notifications still running end before the host may free what they use. From
        // inside a callback the wait could close a cycle (two clients removing each other, a
        // notification closing the handle whose callback removes its client): not made.
        if (callback_thread::in_host_callback())
            return true;
        clients->finished.wait(guard, [&] {
            const auto it = clients->running.find(callback);
            return it == clients->running.end() || it->second == 0;
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

void hotplug::replay(FT_HOTPLUG_CALLBACK callback, void* context,
                     std::vector<std::pair<std::uint64_t, device_record>> listed)
{
    // Plain names rather than structured bindings: the lambdas below capture them.
    for (auto& entry : listed) {
        const std::uint64_t uid = entry.first;
        device_record& record = entry.second;
        {
            std::lock_guard<std::mutex> guard(clients->lock);
            // A client removed meanwhile hears nothing more.
            const auto it = clients->registered.find(callback);
            if (it == clients->registered.end() || it->second != context)
                return;
            ++clients->running[callback];
        }
        try {
            start_library_thread("ostrane-hotplug", [&] {
                const callback_thread::serving marker;
                callback(static_cast<unsigned long>(uid), &record.info, true, context);
            }).join();
        } catch (...) {
        }
        std::lock_guard<std::mutex> guard(clients->lock);
        if (--clients->running[callback] == 0)
            clients->running.erase(callback);
        clients->finished.notify_all();
    }
}

void hotplug::notify_clients(std::uint64_t uid, const device_record& record, bool arrived)
{
    join_ended_threads();
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
    for (const auto& client : snapshot) {
        const FT_HOTPLUG_CALLBACK callback = client.first;
        void* const context = client.second;
        try {
            auto copy = std::make_shared<device_record>(record);
            // Started under the lock, so the thread is listed before it can report its end.
            std::lock_guard<std::mutex> guard(clients->lock);
            const std::uint64_t id = clients->next_thread++;
            clients->threads.emplace(
                id, start_library_thread("ostrane-hotplug", [state = clients, callback, context, copy, uid, arrived, id] {
                    const callback_thread::serving marker;
                    bool still;
                    {
                        std::lock_guard<std::mutex> guard(state->lock);
                        const auto it = state->registered.find(callback);
                        still = it != state->registered.end() && it->second == context;
                    }
                    // A client removed since the event is not told of it.
                    if (still)
                        callback(static_cast<unsigned long>(uid), &copy->info, arrived, context);
                    std::lock_guard<std::mutex> guard(state->lock);
                    if (--state->running[callback] == 0)
                        state->running.erase(callback);
                    state->ended.push_back(id);
                    state->finished.notify_all();
                }));
        } catch (...) {
            // No thread, no notice: a removal must not wait for one.
            std::lock_guard<std::mutex> guard(clients->lock);
            if (--clients->running[callback] == 0)
                clients->running.erase(callback);
            clients->finished.notify_all();
        }
    }
}
