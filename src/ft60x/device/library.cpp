#include "ft60x/device/library.h"

#include <cstring>

#include "ft60x/logging.h"
#include "ft60x/parse/strings.h"

namespace {
constexpr unsigned sync_timeout_ms = 1000;
}

int usb_port_path(libusb_device* dev, std::uint8_t* ports, int len)
{
    const int count = libusb_get_port_numbers(dev, ports, len);
    for (int i = count < 0 ? 0 : count; i < len; ++i)
        ports[i] = 0;
    return count;
}

std::uint64_t usb_device_uid(libusb_device* dev)
{
    std::uint8_t bytes[8] = {};
    bytes[0] = libusb_get_device_address(dev);
    usb_port_path(dev, bytes + 1, 7);
    std::uint64_t uid = 0;
    for (int i = 7; i >= 0; --i)
        uid = (uid << 8) | bytes[i];
    return uid;
}

void usb_handle_closer::operator()(libusb_device_handle* h) const noexcept
{
    libusb_close(h);
}

void config_descriptor_releaser::operator()(libusb_config_descriptor* c) const noexcept
{
    libusb_free_config_descriptor(c);
}

config_descriptor_ptr active_config_descriptor(libusb_device* dev)
{
    libusb_config_descriptor* config = nullptr;
    if (dev == nullptr || libusb_get_active_config_descriptor(dev, &config) != 0)
        return {};
    return config_descriptor_ptr(config);
}

handle_lib::handle_lib(libusb_device* dev, libusb_context* ctx) : usb_context(ctx)
{
    libusb_device_handle* h = nullptr;
    const int rc = libusb_open(dev, &h);
    if (rc != 0) {
        libusb_device_descriptor desc{};
        libusb_get_device_descriptor(dev, &desc);
        logging(FT_LOG_LEVEL_ERROR, "Failed to open device %04X:%04X, reason:%s\r\n",
                desc.idVendor, desc.idProduct, libusb_error_name(rc));
        return;
    }
    usb_handle.reset(h);
}

handle_lib::~handle_lib()
{
    if (usb_handle)
        release_interfaces();
    // usb_handle closes the device when it goes.
}

void handle_lib::take_over(handle_lib& source)
{
    claimed_interfaces = source.claimed_interfaces;
    usb_handle = std::move(source.usb_handle);
    usb_context = source.usb_context;
    source.claimed_interfaces.clear();
}

bool handle_lib::control_xfr(std::uint8_t req_type, std::uint8_t req, std::uint16_t value,
                             std::uint16_t index, std::uint8_t* data, std::uint16_t len)
{
    const int rc = usb_handle ? libusb_control_transfer(usb_handle.get(), req_type, req, value,
                                                        index, data, len, sync_timeout_ms)
                              : LIBUSB_ERROR_NO_DEVICE;
    if (rc == len)
        return true;
    logging(FT_LOG_LEVEL_ERROR,
            "Ctrl transfer req_type:%02X req:%02X value:%04X index:%04X len:%d error:%s\r\n",
            req_type, req, value, index, len, libusb_error_name(rc));
    return false;
}

bool handle_lib::bulk_xfr(std::uint8_t ep, std::uint8_t* data, std::uint16_t len)
{
    int moved = 0;
    return usb_handle &&
           libusb_bulk_transfer(usb_handle.get(), ep, data, len, &moved, sync_timeout_ms) == 0;
}

int handle_lib::get_descriptor(std::uint8_t type, std::uint8_t index, std::uint8_t* data, int len)
{
    if (!usb_handle)
        return LIBUSB_ERROR_NO_DEVICE;
    return libusb_control_transfer(usb_handle.get(), LIBUSB_ENDPOINT_IN,
                                   LIBUSB_REQUEST_GET_DESCRIPTOR,
                                   static_cast<std::uint16_t>((type << 8) | index), 0, data,
                                   static_cast<std::uint16_t>(len), sync_timeout_ms);
}

bool handle_lib::get_device_descriptor(libusb_device_descriptor* desc) const
{
    if (!usb_handle)
        return false;
    libusb_device* dev = libusb_get_device(usb_handle.get());
    if (dev == nullptr)
        return false;
    return libusb_get_device_descriptor(dev, desc) == 0;
}

bool handle_lib::get_str_desc_ascii(std::uint8_t index, char* buf, int len)
{
    if (buf == nullptr || len <= 0)
        return false;
    buf[0] = 0;
    if (!usb_handle || index == 0)
        return false;
    // Both replies may be of any length: each is read only as far as it says and as far as it came.
    std::uint8_t reply[255] = {};
    int got = get_descriptor(LIBUSB_DT_STRING, 0, reply, sizeof reply);
    const int language = got > 0 ? first_string_language(reply, static_cast<std::size_t>(got)) : -1;
    if (language < 0)
        return false;
    got = libusb_get_string_descriptor(usb_handle.get(), index,
                                       static_cast<std::uint16_t>(language), reply, sizeof reply);
    if (got <= 0)
        return false;
    return string_descriptor_to_ascii(reply, static_cast<std::size_t>(got), buf,
                                      static_cast<std::size_t>(len)) >= 0;
}

bool handle_lib::get_serial_number(char* buf, int len)
{
    libusb_device_descriptor desc{};
    if (!get_device_descriptor(&desc))
        return false;
    return get_str_desc_ascii(desc.iSerialNumber, buf, len);
}

bool handle_lib::get_description(char* buf, int len)
{
    libusb_device_descriptor desc{};
    if (!get_device_descriptor(&desc))
        return false;
    return get_str_desc_ascii(desc.iProduct, buf, len);
}

int handle_lib::claim_interface(int number)
{
    if (is_claimed(number))
        return 0;
    if (!usb_handle)
        return LIBUSB_ERROR_NO_DEVICE;
    const int rc = libusb_claim_interface(usb_handle.get(), number);
    if (rc == 0)
        claimed_interfaces.insert(number);
    return rc;
}

void handle_lib::release_interfaces()
{
    if (usb_handle)
        for (int number : claimed_interfaces)
            libusb_release_interface(usb_handle.get(), number);
    claimed_interfaces.clear();
}

void handle_lib::abandon()
{
    (void)usb_handle.release();
    claimed_interfaces.clear();
}

const libusb_device_descriptor* device_lib::device_descriptor()
{
    if (!descriptor && device != nullptr) {
        auto desc = std::make_unique<libusb_device_descriptor>();
        std::memset(desc.get(), 0, sizeof(*desc));
        if (libusb_get_device_descriptor(device, desc.get()) == 0)
            descriptor = std::move(desc);
    }
    return descriptor.get();
}

const libusb_config_descriptor* device_lib::active_config()
{
    config = active_config_descriptor(device);
    return config.get();
}
