#include "ft60x/parse/recognition.h"

#include <cstdint>

namespace {
constexpr std::uint8_t video_class = 0x0E;
constexpr std::uint8_t vendor_class = 0xFF;
constexpr std::uint8_t fifo_subclass = 0x06;

// The single alternate setting of interface `i`, or null when it has another number of them.
const libusb_interface_descriptor* only_setting(const libusb_config_descriptor& config, int i)
{
    if (config.interface == nullptr)
        return nullptr;
    const libusb_interface& itf = config.interface[i];
    if (itf.num_altsetting != 1 || itf.altsetting == nullptr)
        return nullptr;
    return &itf.altsetting[0];
}
} // namespace

int ft602_vendor_interface(const libusb_device_descriptor& desc,
                           const libusb_config_descriptor& config)
{
    if (desc.bDeviceClass != 0xEF || desc.bDeviceSubClass != 0x02 ||
        desc.bDeviceProtocol != 0x01 || desc.bcdDevice != 0x0001)
        return -1;
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface_descriptor* alt = only_setting(config, i);
        if (alt == nullptr)
            return -1;
        if (alt->bInterfaceClass == video_class)
            continue;
        if (alt->bNumEndpoints == 3 && alt->bInterfaceClass == vendor_class &&
            alt->bInterfaceSubClass == fifo_subclass && alt->bInterfaceProtocol == 0x02)
            return i;
        return -1;
    }
    return -1;
}

bool is_ft603_layout(const libusb_device_descriptor& desc, const libusb_config_descriptor& config)
{
    if (desc.bDeviceClass != 0 || desc.bDeviceSubClass != 0 || desc.bDeviceProtocol != 0 ||
        desc.bcdDevice != 0x0001)
        return false;
    if (config.bNumInterfaces < 2 || config.bNumInterfaces > 5)
        return false;
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface_descriptor* alt = only_setting(config, i);
        if (alt == nullptr || alt->bNumEndpoints != 2 || alt->bInterfaceClass != vendor_class ||
            alt->bInterfaceSubClass != fifo_subclass ||
            (alt->bInterfaceProtocol != 2 && alt->bInterfaceProtocol != 3))
            return false;
    }
    return true;
}
