#include "ft60x/session/session_lib.h"

#include <sys/time.h>

#include "ft60x/logging.h"
#include "ft60x/pipe/completion_round.h"
#include "ft60x/session/library_thread.h"

session_lib::session_lib()
{
    if (libusb_init(&usb_context) != 0) {
        usb_context = nullptr;
        logging(FT_LOG_LEVEL_ERROR, "Failed to init libusb\r\n");
        return;
    }
    logging(FT_LOG_LEVEL_TRACE, "Start event thread\r\n");
    start_libusb_thread();
}

session_lib::~session_lib()
{
    if (usb_context != nullptr) {
        if (hotplug_handle != 0) {
            libusb_hotplug_deregister_callback(usb_context, hotplug_handle);
            hotplug_handle = 0;
        }
        logging(FT_LOG_LEVEL_TRACE, "stop event thread\r\n");
        stop_libusb_thread();
        logging(FT_LOG_LEVEL_TRACE, "reset device list\r\n");
        libusb_exit(usb_context);
        usb_context = nullptr;
    }
    // Never leave a joinable thread behind, whatever state the context was in.
    if (event_thread.joinable())
        event_thread.join();
}

void session_lib::start_libusb_thread()
{
    if (usb_context == nullptr)
        return;
    stopped.store(false);
    event_thread = start_library_thread("ostrane-events", [this] { libusb_thread(); });
    event_thread_id.store(event_thread.get_id());
}

void session_lib::stop_libusb_thread()
{
    if (stopped.exchange(true))
        return;
    // Wakes the event thread's wait at once rather than at the end of its round; the request
    // stays pending until a wait sees it, so it is not lost before the thread waits again.
    if (usb_context != nullptr)
        libusb_interrupt_event_handler(usb_context);
    if (event_thread.joinable())
        event_thread.join();
}

void session_lib::libusb_thread()
{
    // A stop interrupts the wait (stop_libusb_thread); the rounds bound it should that fail.
    while (!stopped.load()) {
        timeval tv{0, 200000};
        const int rc = completion_round::run(
            [&] { return libusb_handle_events_timeout_completed(usb_context, &tv, nullptr); });
        // A signal that interrupts the wait is no reason to stop handling events.
        if (rc != 0 && rc != LIBUSB_ERROR_INTERRUPTED)
            break;
    }
}

void session_lib::for_each_usb_device(const visitor& visit) const
{
    if (stopped.load() || usb_context == nullptr)
        return;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(usb_context, &list);
    if (count < 0)
        return;
    for (ssize_t i = 0; i < count; ++i)
        if (!visit(list[i]))
            break;
    libusb_free_device_list(list, 1);
}
