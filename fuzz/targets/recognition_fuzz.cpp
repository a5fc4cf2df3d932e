// Device recognition from descriptors. The input is what sysfs shows: the 18-byte device
// descriptor followed by the whole configuration. It is walked here into the structures the
// recognisers are given (as libusb would hand them over), then both recognisers look at it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "ft60x/parse/recognition.h"

namespace {
struct parsed_configuration {
    libusb_config_descriptor config{};
    std::vector<libusb_interface> interfaces;
    std::vector<std::vector<libusb_interface_descriptor>> settings;
};

std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

libusb_device_descriptor device_descriptor(const std::uint8_t* d)
{
    libusb_device_descriptor desc{};
    desc.bLength = d[0];
    desc.bDescriptorType = d[1];
    desc.bcdUSB = get16(d + 2);
    desc.bDeviceClass = d[4];
    desc.bDeviceSubClass = d[5];
    desc.bDeviceProtocol = d[6];
    desc.bMaxPacketSize0 = d[7];
    desc.idVendor = get16(d + 8);
    desc.idProduct = get16(d + 10);
    desc.bcdDevice = get16(d + 12);
    desc.bNumConfigurations = d[17];
    return desc;
}

// Interface descriptors in order of appearance, grouped by interface number as libusb does;
// bNumInterfaces is the number of groups found (a lying header count is not trusted).
void walk_configuration(const std::uint8_t* d, std::size_t size, parsed_configuration& out)
{
    std::size_t pos = 0;
    while (pos + 2 <= size) {
        const std::size_t len = d[pos];
        if (len < 2 || pos + len > size)
            break;
        if (d[pos + 1] == LIBUSB_DT_CONFIG && len >= 9) {
            out.config.bConfigurationValue = d[pos + 5];
        } else if (d[pos + 1] == LIBUSB_DT_INTERFACE && len >= 9) {
            libusb_interface_descriptor alt{};
            alt.bLength = d[pos];
            alt.bDescriptorType = d[pos + 1];
            alt.bInterfaceNumber = d[pos + 2];
            alt.bAlternateSetting = d[pos + 3];
            alt.bNumEndpoints = d[pos + 4];
            alt.bInterfaceClass = d[pos + 5];
            alt.bInterfaceSubClass = d[pos + 6];
            alt.bInterfaceProtocol = d[pos + 7];
            if (alt.bAlternateSetting == 0 || out.settings.empty())
                out.settings.emplace_back();
            out.settings.back().push_back(alt);
        }
        pos += len;
    }
    for (auto& group : out.settings)
        out.interfaces.push_back({group.data(), static_cast<int>(group.size())});
    out.config.bNumInterfaces = static_cast<std::uint8_t>(out.interfaces.size() & 0xFF);
    out.config.interface = out.interfaces.data();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 18)
        return 0;
    const libusb_device_descriptor desc = device_descriptor(data);
    parsed_configuration parsed;
    walk_configuration(data + 18, size - 18, parsed);
    if (parsed.interfaces.size() > 255)
        return 0;
    const int vendor = ft602_vendor_interface(desc, parsed.config);
    if (vendor < -1 || vendor >= parsed.config.bNumInterfaces)
        std::abort();
    if (vendor >= 0 && parsed.config.interface[vendor].altsetting[0].bInterfaceClass != 0xFF)
        std::abort();
    is_ft603_layout(desc, parsed.config);
    return 0;
}
