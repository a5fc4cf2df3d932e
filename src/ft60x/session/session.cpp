#include "ft60x/session/session.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iterator>
#include <thread>

#include "ft60x/device/ft602_handle.h"
#include "ft60x/logging.h"
#include "ft60x/session/hotplug.h"

namespace {
// The device kinds the library lists and opens, searched in order.
struct device_type_entry {
    bool (*is_genuine)(device_lib*);
    std::unique_ptr<dev_handle> (*create)(handle_lib*, FT_DEVICE_INFO*);
    std::uint16_t type;
    const char* name;
};

const device_type_entry FT60X_DEVICE[] = {
    {&ft602_handle::is_geniune_device, &ft602_handle::create_handle, FT_DEVICE_602,
     "FT_DEVICE_602"},
};

// Type of a device that is not an FT60x device; never stored in a record.
constexpr std::uint16_t not_ft60x = 3;

const device_type_entry* find_type_entry(std::uint16_t type)
{
    for (const auto& entry : FT60X_DEVICE)
        if (entry.type == type)
            return &entry;
    return nullptr;
}
} // namespace

namespace {
// Stands in a registry slot for a handle being closed; no handle has its value.
const char draining_marker = 0;
const void* const draining = &draining_marker;

// The values handed to the host for handles: never reused while the process lives, so a stale
// value finds nothing. Spaced like aligned addresses; the first is far from null.
std::atomic<std::uintptr_t> next_token{0x10000};

const void* new_token()
{
    return reinterpret_cast<const void*>(next_token.fetch_add(0x10));
}
} // namespace

session::session() : callbacks(std::make_shared<callback_thread>())
{
    hotplug_monitor = std::make_unique<hotplug>(
        lib, [this](std::uint64_t uid) { device_arrived(uid); },
        [this](std::uint64_t uid) { device_left(uid); });
    update_ft60x_dev_lists();
}

session::~session()
{
    logging(FT_LOG_LEVEL_TRACE, "Session Deinit\r\n");
    std::vector<const void*> handles;
    {
        std::lock_guard<std::mutex> guard(list_lock);
        for (const auto& entry : opened_handles)
            handles.push_back(entry->token);
    }
    // Closing waits for the event thread, which therefore must still run here.
    for (const void* handle : handles)
        remove_opened_handle(handle);
    // Runs the releases left to it by closes from inside callbacks.
    callbacks->stop();
    // Stopped while intact: its threads and callbacks may still call back into the session,
    // which reads hotplug_monitor.
    if (hotplug_monitor)
        hotplug_monitor->stop();
    hotplug_monitor.reset();
    std::lock_guard<std::mutex> guard(list_lock);
    devices.clear();
    last_scan_uids.reset();
}

bool session::has_hotplug_clients() const
{
    return hotplug_monitor && hotplug_monitor->has_clients();
}

void session::update_ft60x_dev_lists()
{
    if (has_hotplug_clients())
        return;
    std::lock_guard<std::mutex> scan(scan_lock);
    auto seen = std::make_unique<std::set<std::uint64_t>>();
    lib.for_each_usb_device([&](libusb_device* dev) {
        seen->insert(usb_device_uid(dev));
        return true;
    });
    std::set<std::uint64_t> added;
    std::set<std::uint64_t> removed;
    {
        std::lock_guard<std::mutex> guard(list_lock);
        if (last_scan_uids) {
            std::set_difference(last_scan_uids->begin(), last_scan_uids->end(), seen->begin(),
                                seen->end(), std::inserter(removed, removed.end()));
            std::set_difference(seen->begin(), seen->end(), last_scan_uids->begin(),
                                last_scan_uids->end(), std::inserter(added, added.end()));
        } else {
            added = *seen;
        }
        last_scan_uids = std::move(seen);
    }
    for (std::uint64_t uid : removed)
        remove_record(uid);
    if (added.empty())
        return;
    lib.for_each_usb_device([&](libusb_device* dev) {
        const std::uint64_t uid = usb_device_uid(dev);
        if (added.count(uid) != 0) {
            device_lib examined(dev);
            device_arrive(examined, uid);
        }
        return true;
    });
}

void session::device_arrived(std::uint64_t uid)
{
    std::lock_guard<std::mutex> scan(scan_lock);
    lib.for_each_usb_device([&](libusb_device* dev) {
        if (usb_device_uid(dev) != uid)
            return true;
        device_lib examined(dev);
        device_arrive(examined, uid);
        return false;
    });
}

void session::device_left(std::uint64_t uid)
{
    remove_record(uid);
}

void session::remove_record(std::uint64_t uid)
{
    std::unique_ptr<device_record> record;
    {
        std::lock_guard<std::mutex> guard(list_lock);
        auto it = devices.find(uid);
        if (it == devices.end())
            return;
        record = std::move(it->second);
        devices.erase(it);
    }
    if (hotplug_monitor)
        hotplug_monitor->notify_clients(uid, *record, false);
}

void session::device_arrive(device_lib& dev, std::uint64_t uid)
{
    const std::uint16_t type = get_device_type(dev);
    if (type != not_ft60x)
        add_ft60x_device(uid, dev, type);
}

std::uint16_t session::get_device_type(device_lib& dev)
{
    for (const auto& entry : FT60X_DEVICE)
        if (entry.is_genuine(&dev))
            return entry.type;
    return not_ft60x;
}

void session::add_ft60x_device(std::uint64_t uid, device_lib& dev, std::uint16_t type)
{
    auto record = std::make_unique<device_record>();
    std::memset(record.get(), 0, sizeof(device_record));
    const int speed = libusb_get_device_speed(dev.get());
    const libusb_device_descriptor* desc = dev.device_descriptor();
    // The record's identity comes from the descriptor; a device without one is not listed.
    if (desc == nullptr)
        return;
    handle_lib probe(dev.get(), lib.context());
    if (!probe.is_open())
        return;
    FT_DEVICE_INFO& info = record->info;
    info.flags = speed >= LIBUSB_SPEED_SUPER ? FT_FLAGS_SUPERSPEED
                 : speed == LIBUSB_SPEED_HIGH ? FT_FLAGS_HISPEED
                                              : 0;
    info.type = type;
    info.handle = nullptr;
    info.id = (static_cast<std::uint32_t>(desc->idVendor) << 16) | desc->idProduct;
    probe.get_str_desc_ascii(desc->iSerialNumber, info.serial_number, sizeof info.serial_number);
    probe.get_str_desc_ascii(desc->iProduct, info.description, sizeof info.description);
    record->bus_number = libusb_get_bus_number(dev.get());
    record->port_number = libusb_get_port_number(dev.get());
    record->device_address = libusb_get_device_address(dev.get());
    usb_port_path(dev.get(), record->port_path, sizeof record->port_path);

    const device_record announced = *record;
    {
        std::lock_guard<std::mutex> guard(list_lock);
        // A uid listed already keeps its record; the new one is dropped unannounced.
        if (!devices.emplace(uid, std::move(record)).second)
            return;
    }
    if (hotplug_monitor)
        hotplug_monitor->notify_clients(uid, announced, true);
}

std::uint32_t session::device_count() const
{
    std::lock_guard<std::mutex> guard(list_lock);
    return static_cast<std::uint32_t>(devices.size());
}

std::optional<device_record> session::get_device_info_by_index(unsigned long index) const
{
    std::lock_guard<std::mutex> guard(list_lock);
    if (index >= devices.size())
        return std::nullopt;
    return *std::next(devices.begin(), static_cast<long>(index))->second;
}

std::optional<device_record> session::get_device_info_by_handle(const dev_handle* handle) const
{
    std::lock_guard<std::mutex> guard(list_lock);
    // Only a registered handle is looked into; anything else may be freed memory.
    const bool registered = std::any_of(
        opened_handles.begin(), opened_handles.end(),
        [handle](const std::unique_ptr<handle_entry>& e) { return e->handle.get() == handle; });
    if (!registered)
        return std::nullopt;
    const auto it = devices.find(handle->uid);
    if (it == devices.end())
        return std::nullopt;
    return *it->second;
}

void session::for_each_device_info(const info_visitor& visit) const
{
    std::vector<device_record> records;
    {
        std::lock_guard<std::mutex> guard(list_lock);
        records.reserve(devices.size());
        for (const auto& [uid, record] : devices)
            records.push_back(*record);
    }
    for (const auto& record : records)
        if (!visit(&record.info))
            break;
}

std::unique_ptr<dev_handle> session::open_device(std::uint64_t uid, const device_record& record)
{
    std::unique_ptr<dev_handle> result;
    FT_DEVICE_INFO info = record.info;
    lib.for_each_usb_device([&](libusb_device* dev) {
        if (usb_device_uid(dev) != uid)
            return true;
        const device_type_entry* entry = find_type_entry(static_cast<std::uint16_t>(info.type));
        if (entry == nullptr)
            return true;
        handle_lib usb(dev, lib.context());
        if (!usb.is_open())
            return true;
        logging(FT_LOG_LEVEL_TRACE, "Try to open device %s 0x%08X %s\r\n", entry->name, info.id,
                info.description);
        result = entry->create(&usb, &info);
        if (result) {
            std::weak_ptr<callback_thread> to = callbacks;
            result->set_job_poster([to](host_link::job job) {
                if (const auto thread = to.lock())
                    thread->post(std::move(job));
            });
        }
        return false;
    });
    return result;
}

std::unique_ptr<dev_handle> session::open_device_by_index(unsigned long index)
{
    std::uint64_t uid = 0;
    device_record record{};
    {
        std::lock_guard<std::mutex> guard(list_lock);
        if (index >= devices.size())
            return nullptr;
        const auto it = std::next(devices.begin(), static_cast<long>(index));
        uid = it->first;
        record = *it->second;
    }
    return open_device(uid, record);
}

std::unique_ptr<dev_handle> session::open_device_by_uid(std::uint64_t uid)
{
    device_record record{};
    {
        std::lock_guard<std::mutex> guard(list_lock);
        const auto it = devices.find(uid);
        if (it == devices.end())
            return nullptr;
        record = *it->second;
    }
    return open_device(uid, record);
}

std::unique_ptr<dev_handle> session::open_device_by_text(const char* text, bool by_serial_number)
{
    std::uint64_t uid = 0;
    device_record record{};
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(list_lock);
        for (const auto& [key, rec] : devices) {
            const FT_DEVICE_INFO& info = rec->info;
            const char* field = by_serial_number ? info.serial_number : info.description;
            // Stored texts are NUL-terminated within their 32 bytes.
            if (std::strncmp(field, text, sizeof info.serial_number) == 0 &&
                std::strlen(text) < sizeof info.serial_number) {
                uid = key;
                record = *rec;
                found = true;
                break;
            }
        }
    }
    if (!found)
        return nullptr;
    return open_device(uid, record);
}

void* session::add_opened_handle(std::unique_ptr<dev_handle> handle)
{
    auto entry = std::make_unique<handle_entry>();
    entry->token = new_token();
    entry->handle = std::move(handle);
    std::lock_guard<std::mutex> guard(list_lock);
    const auto it = devices.find(entry->handle->uid);
    if (it != devices.end()) {
        it->second->info.flags |= FT_FLAGS_OPENED;
        it->second->info.handle = const_cast<void*>(entry->token);
    }
    for (std::size_t i = 0; i < handle_slot_count; ++i) {
        if (handle_slots[i].load() == nullptr) {
            slot_handles[i].store(entry->handle.get());
            entry->slot = i;
            handle_slots[i].store(entry->token, std::memory_order_release);
            break;
        }
    }
    if (entry->slot == handle_slot_count)
        unslotted_handles.fetch_add(1);
    void* const token = const_cast<void*>(entry->token);
    opened_handles.push_back(std::move(entry));
    return token;
}

session::leased session::acquire_handle(const void* handle)
{
    if (handle == nullptr)
        return {};
    for (std::size_t i = 0; i < handle_slot_count; ++i) {
        if (handle_slots[i].load(std::memory_order_acquire) != handle)
            continue;
        // Count first, then look again: a close that marked the slot in between either sees
        // this count and waits for it, or this call sees the marker and leaves. Values are never
        // reused, so a slot that still holds this one still holds its handle.
        slot_users[i].fetch_add(1);
        if (handle_slots[i].load() == handle)
            return {slot_handles[i].load(), &slot_users[i]};
        release_handle(slot_users[i]); // a close marked the slot meanwhile and may wait for this
        return {};
    }
    if (unslotted_handles.load() == 0)
        return {};
    std::lock_guard<std::mutex> guard(list_lock);
    for (const auto& entry : opened_handles) {
        if (entry->token == handle && entry->slot == handle_slot_count) {
            entry->users.fetch_add(1);
            return {entry->handle.get(), &entry->users};
        }
    }
    return {};
}

void session::release_handle(std::atomic<std::uint32_t>& users)
{
    // Both sequentially consistent: either this sees the waiting close, or the close's check
    // sees the count this leaves.
    if (users.fetch_sub(1) == 1 && closers_waiting.load() != 0) {
        std::lock_guard<std::mutex> guard(leases_lock);
        leases_ended.notify_all();
    }
}

bool session::remove_opened_handle(const void* handle)
{
    std::unique_ptr<handle_entry> victim;
    {
        std::lock_guard<std::mutex> guard(list_lock);
        const auto it = std::find_if(
            opened_handles.begin(), opened_handles.end(),
            [handle](const std::unique_ptr<handle_entry>& e) { return e->token == handle; });
        if (it != opened_handles.end()) {
            const auto rec = devices.find((*it)->handle->uid);
            if (rec != devices.end()) {
                rec->second->info.flags &= ~FT_FLAGS_OPENED;
                rec->second->info.handle = nullptr;
            }
            // New calls fail from here on; the slot stays taken until calls drain.
            if ((*it)->slot < handle_slot_count)
                handle_slots[(*it)->slot].store(draining);
            victim = std::move(*it);
            opened_handles.erase(it);
        }
    }
    if (!victim) {
        logging(FT_LOG_LEVEL_ERROR, "Cannot find handle %p in opened devices\r\n", handle);
        return false;
    }
    victim->handle->begin_close();
    if (lib.on_event_thread() || callbacks->on_this_thread()) {
        // Waiting here would wait for the callback (or the event handling) that called us.
        handle_entry* raw = victim.release();
        callbacks->post([this, raw] { finish_close(std::unique_ptr<handle_entry>(raw)); });
        return true;
    }
    finish_close(std::move(victim));
    return true;
}

void session::finish_close(std::unique_ptr<handle_entry> victim)
{
    const std::size_t slot = victim->slot;
    std::atomic<std::uint32_t>& users = slot < handle_slot_count ? slot_users[slot] : victim->users;
    // Ends: every call in flight was woken by begin_close or ends with its USB request's
    // time-out. Only the wait's own lock is held meanwhile.
    closers_waiting.fetch_add(1);
    {
        std::unique_lock<std::mutex> guard(leases_lock);
        leases_ended.wait(guard, [&users] { return users.load() == 0; });
    }
    closers_waiting.fetch_sub(1);
    // Destroying cancels the handle's transfers and waits for them, so no session lock is held.
    victim->handle.reset();
    if (slot < handle_slot_count) {
        slot_handles[slot].store(nullptr);
        handle_slots[slot].store(nullptr);
    } else {
        unslotted_handles.fetch_sub(1);
    }
}

bool session::register_hotplug_callback(FT_HOTPLUG_CALLBACK callback, void* context, bool remove)
{
    if (!hotplug_monitor)
        return false;
    const bool result = hotplug_monitor->register_hotplug_callback(callback, context, remove);
    if (!result || remove)
        return result;
    std::vector<std::pair<std::uint64_t, device_record>> listed;
    {
        std::lock_guard<std::mutex> guard(list_lock);
        for (const auto& [uid, record] : devices)
            if (record->info.handle == nullptr)
                listed.emplace_back(uid, *record);
    }
    // The new client hears of each listed device in turn, on a thread of its own, before the
    // registration returns. It gets a copy, which stays valid for the whole call.
    hotplug_monitor->replay(callback, context, std::move(listed));
    return true;
}
