// The one library-wide session: libusb and its event thread, the list of attached FT60x devices
// and the registry of handles opened through the library.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "ft60x/device/dev_handle.h"
#include "ft60x/session/callback_thread.h"
#include "ft60x/session/device_record.h"
#include "ft60x/session/session_lib.h"
#include "ostrane/ft60x.h"

class hotplug;

class session {
public:
    using info_visitor = std::function<bool(const FT_DEVICE_INFO*)>;

    session();
    session(const session&) = delete;
    session& operator=(const session&) = delete;
    ~session();

    // Refreshes the device list from the bus; skipped while hot-plug clients are registered.
    void update_ft60x_dev_lists();
    // Hot-plug arrival (device cache thread) and departure (event thread) of one device.
    void device_arrived(std::uint64_t uid);
    void device_left(std::uint64_t uid);

    std::uint32_t device_count() const;
    // Number of devices last reported to the host by an enumeration call; the most that
    // FT_GetDeviceInfoList copies.
    std::uint32_t reported_count() const { return last_reported_count.load(); }
    void set_reported_count(std::uint32_t n) { last_reported_count.store(n); }

    // Lookups copy the record out, so that a concurrent change of the list cannot free it under
    // the caller.
    std::optional<device_record> get_device_info_by_index(unsigned long index) const;
    std::optional<device_record> get_device_info_by_handle(const dev_handle* handle) const;
    // Visits copies of the records in ascending uid order until `visit` returns false.
    void for_each_device_info(const info_visitor& visit) const;

    std::unique_ptr<dev_handle> open_device_by_index(unsigned long index);
    std::unique_ptr<dev_handle> open_device_by_uid(std::uint64_t uid);
    std::unique_ptr<dev_handle> open_device_by_text(const char* text, bool by_serial_number);

    // Registers an opened handle and returns the value the host knows it by: a value no other
    // handle of this process has had or will have, so a stale value never names a newer handle.
    void* add_opened_handle(std::unique_ptr<dev_handle> handle);

    // A call's hold on a registered handle: `users` counts it until the caller decrements it.
    struct leased {
        dev_handle* handle = nullptr;
        std::atomic<std::uint32_t>* users = nullptr;
    };
    // Leases the handle the host knows as `handle`: it stays alive until release_handle is
    // given the returned count. Empty when `handle` is not registered or is being closed.
    // Lock-free for handles that found a registry slot.
    leased acquire_handle(const void* handle);
    // Ends a lease; the last one wakes a close waiting for it. `users` may be freed as soon as
    // its count reaches zero, so it is not touched after that.
    void release_handle(std::atomic<std::uint32_t>& users);
    // Closes: the handle is unregistered at once (new calls fail), its blocked pipe calls are
    // woken and a running callback of it is waited for; then, once no call holds a lease, it
    // is destroyed. From inside a callback of the library the destruction is left to the
    // callback thread, after the callback has returned. False, with a log line, when `handle`
    // was not registered.
    bool remove_opened_handle(const void* handle);

    // Adds (remove false) or removes a hot-plug client; a new client is told of the listed
    // devices that are not open before this returns.
    bool register_hotplug_callback(FT_HOTPLUG_CALLBACK callback, void* context, bool remove);

    session_lib& usb() { return lib; }

private:
    std::unique_ptr<dev_handle> open_device(std::uint64_t uid, const device_record& record);
    static constexpr std::size_t handle_slot_count = 64;

    // One registered handle. A handle in a slot counts its calls in that slot's count; one
    // without a slot counts them here.
    struct handle_entry {
        const void* token = nullptr;
        std::unique_ptr<dev_handle> handle;
        std::size_t slot = handle_slot_count;
        std::atomic<std::uint32_t> users{0};
    };

    // Waits until no call leases the handle, destroys it, frees its slot.
    void finish_close(std::unique_ptr<handle_entry> victim);
    void device_arrive(device_lib& dev, std::uint64_t uid);
    static std::uint16_t get_device_type(device_lib& dev);
    void add_ft60x_device(std::uint64_t uid, device_lib& dev, std::uint16_t type);
    void remove_record(std::uint64_t uid);
    bool has_hotplug_clients() const;

    session_lib lib;

    // Guards last_scan_uids, devices and opened_handles. Held only for short bookkeeping: never
    // while a host callback runs, a thread is joined or a USB request waits for the event thread.
    mutable std::mutex list_lock;
    // Serialises whole scans and arrivals, so that two of them never examine one device twice.
    std::mutex scan_lock;
    std::unique_ptr<std::set<std::uint64_t>> last_scan_uids;
    std::map<std::uint64_t, std::unique_ptr<device_record>> devices;
    std::vector<std::unique_ptr<handle_entry>> opened_handles;

    // The host's value of the handle in each slot, and the handle itself (written before the
    // value is published). A slot whose handle is being closed holds a marker that matches no
    // handle until its count has drained.
    std::array<std::atomic<const void*>, handle_slot_count> handle_slots{};
    std::array<std::atomic<dev_handle*>, handle_slot_count> slot_handles{};
    // Calls in flight on the handle of each slot.
    std::array<std::atomic<std::uint32_t>, handle_slot_count> slot_users{};
    // Closes waiting for the leases on their handle to end, and what wakes them. A lease that
    // ends tells them only while one waits, so the common path takes no lock.
    std::atomic<std::uint32_t> closers_waiting{0};
    std::mutex leases_lock;
    std::condition_variable leases_ended;
    // Handles that found no free slot; acquire_handle then also searches under the lock.
    std::atomic<std::size_t> unslotted_handles{0};
    std::atomic<std::uint32_t> last_reported_count{0};

    // Shared with every handle's job poster, so that a transfer outliving the session posts
    // into a stopped thread rather than freed memory.
    std::shared_ptr<callback_thread> callbacks;
    std::unique_ptr<hotplug> hotplug_monitor;
};
