// The library's own libusb context and the one event thread that handles every asynchronous
// completion of the library.
#pragma once

#include <libusb-1.0/libusb.h>

#include <atomic>
#include <functional>
#include <thread>

class session_lib {
public:
    using visitor = std::function<bool(libusb_device*)>;

    // Initialises libusb and starts the event thread; a failed initialisation is logged and
    // leaves a session_lib without libusb.
    session_lib();
    session_lib(const session_lib&) = delete;
    session_lib& operator=(const session_lib&) = delete;
    ~session_lib();

    void start_libusb_thread();
    void stop_libusb_thread();

    // Calls `visit` for the attached USB devices in libusb's order until it returns false. Visits
    // nothing while no event thread is meant to run.
    void for_each_usb_device(const visitor& visit) const;

    libusb_context* context() const { return usb_context; }
    bool is_stopped() const { return stopped.load(); }
    bool on_event_thread() const { return std::this_thread::get_id() == event_thread_id.load(); }

    // Handle of the library's libusb hot-plug registration; 0 means none.
    libusb_hotplug_callback_handle hotplug_handle = 0;

private:
    void libusb_thread();

    libusb_context* usb_context = nullptr;
    std::thread event_thread;
    std::atomic<std::thread::id> event_thread_id{};
    std::atomic<bool> stopped{true};
};
