// Wrappers of libusb devices: device_lib examines a device that is not open, handle_lib owns an
// opened device handle with the interfaces claimed on it.
#pragma once

#include <libusb-1.0/libusb.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>

// Identity of a USB device from its position on the bus: byte 0 is the device address, bytes 1 to
// 7 the port numbers from the root port down. The bus number is not part of it.
std::uint64_t usb_device_uid(libusb_device* dev);

// The port numbers from the root port down, at most `len`; the rest of `ports` is zeroed (libusb
// builds the path from the end of the buffer and leaves copies behind it).
int usb_port_path(libusb_device* dev, std::uint8_t* ports, int len);

struct usb_handle_closer {
    void operator()(libusb_device_handle* h) const noexcept;
};
struct config_descriptor_releaser {
    void operator()(libusb_config_descriptor* c) const noexcept;
};
using config_descriptor_ptr = std::unique_ptr<libusb_config_descriptor, config_descriptor_releaser>;

// The active configuration descriptor of a device; empty when libusb cannot give it.
config_descriptor_ptr active_config_descriptor(libusb_device* dev);

class handle_lib {
public:
    // Opens `dev`; a failed open is logged and leaves `usb_handle` empty. `ctx` is the libusb
    // context the device belongs to, kept for handling events while a transfer is torn down.
    explicit handle_lib(libusb_device* dev, libusb_context* ctx = nullptr);
    // An object that holds no device until it takes one over.
    handle_lib() = default;
    handle_lib(const handle_lib&) = delete;
    handle_lib& operator=(const handle_lib&) = delete;
    ~handle_lib();

    // Takes the opened device and the claimed interfaces over from `source`, which is left closed.
    void take_over(handle_lib& source);

    libusb_device_handle* get() const { return usb_handle.get(); }
    libusb_context* context() const { return usb_context; }
    bool is_open() const { return usb_handle != nullptr; }

    bool control_xfr(std::uint8_t req_type, std::uint8_t req, std::uint16_t value,
                     std::uint16_t index, std::uint8_t* data, std::uint16_t len);
    bool bulk_xfr(std::uint8_t ep, std::uint8_t* data, std::uint16_t len);
    int get_descriptor(std::uint8_t type, std::uint8_t index, std::uint8_t* data, int len);
    bool get_device_descriptor(libusb_device_descriptor* desc) const;
    bool get_str_desc_ascii(std::uint8_t index, char* buf, int len);
    bool get_serial_number(char* buf, int len);
    bool get_description(char* buf, int len);

    // Claims interface `number` unless it is claimed already; returns libusb's result (0: done).
    int claim_interface(int number);
    bool is_claimed(int number) const { return claimed_interfaces.count(number) != 0; }
    void release_interfaces();
    // Gives the device handle up without closing it: libusb still holds a transfer of it.
    void abandon();

    // Set by the streaming pipes when a transfer finds the device gone, so that its other pipes
    // refuse data at once instead of queueing it for a device that is not there.
    std::atomic<bool> device_gone{false};

private:
    libusb_context* usb_context = nullptr;
    std::unique_ptr<libusb_device_handle, usb_handle_closer> usb_handle;
    std::set<int> claimed_interfaces;
};

class device_lib {
public:
    explicit device_lib(libusb_device* dev) : device(dev) {}

    libusb_device* get() const { return device; }
    // The device descriptor, read once and cached; null when it cannot be read.
    const libusb_device_descriptor* device_descriptor();
    // Fetches the active configuration descriptor again and keeps it; null when unavailable.
    const libusb_config_descriptor* active_config();

private:
    libusb_device* device;
    std::unique_ptr<libusb_device_descriptor> descriptor;
    config_descriptor_ptr config;
};
