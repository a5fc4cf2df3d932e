#include "ft60x/device/ft603_handle.h"

#include <cstdio>
#include <cstring>

#include "ft60x/logging.h"

using namespace ft60x_request;

bool ft603_handle::is_geniune_device(device_lib* dev)
{
    if (dev == nullptr || dev->get() == nullptr)
        return false;
    const libusb_device_descriptor* desc = dev->device_descriptor();
    if (desc == nullptr)
        return false;
    const libusb_config_descriptor* config = dev->active_config();
    if (config == nullptr)
        return false;
    if (desc->bDeviceClass != 0 || desc->bDeviceSubClass != 0 || desc->bDeviceProtocol != 0 ||
        desc->bcdDevice != 0x0001)
        return false;
    if (config->bNumInterfaces < 2 || config->bNumInterfaces > 5)
        return false;
    for (unsigned i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& itf = config->interface[i];
        if (itf.num_altsetting != 1)
            return false;
        const libusb_interface_descriptor& alt = itf.altsetting[0];
        if (alt.bNumEndpoints != 2 || alt.bInterfaceClass != 0xFF ||
            alt.bInterfaceSubClass != 0x06 ||
            (alt.bInterfaceProtocol != 2 && alt.bInterfaceProtocol != 3))
            return false;
    }
    return true;
}

std::unique_ptr<dev_handle> ft603_handle::create_handle(handle_lib* usb, FT_DEVICE_INFO*)
{
    return std::make_unique<ft603_handle>(usb);
}

bool ft603_handle::get_chip_config(void* config, std::uint16_t length)
{
    return usb.control_xfr(vendor_in, chip_config, 0, 0, static_cast<std::uint8_t*>(config),
                           length);
}

bool ft603_handle::get_chip_config(void* config)
{
    return get_chip_config(config, get_chip_config_length());
}

bool ft603_handle::set_chip_config(void* config)
{
    return usb.control_xfr(vendor_out, chip_config, 0, 0, static_cast<std::uint8_t*>(config),
                           get_chip_config_length());
}

bool ft603_handle::get_firmware_version(std::uint32_t* version)
{
    std::uint8_t prefix[ft60x_config::prefix_length] = {};
    if (!get_chip_config(prefix, sizeof prefix))
        return false;
    char text[ft60x_config::version_text_length + 1] = {};
    std::memcpy(text, prefix + ft60x_config::version_text, ft60x_config::version_text_length);
    char* dash = static_cast<char*>(std::memchr(text, '-', ft60x_config::version_text_length));
    if (dash == nullptr)
        return false;
    *dash = 0;
    // Numbers that do not parse count as 0.
    unsigned major = 0, minor = 0, build = 0;
    std::sscanf(text, "%u.%u.%u", &major, &minor, &build);
    *version = (major << 24) | (minor << 16) | build;
    return true;
}

std::uint8_t ft603_handle::get_fifo_id_from_ep(std::uint8_t ep) const
{
    return static_cast<std::uint8_t>((ep & 0x7F) - 1);
}

bool ft603_handle::setup_pipe(std::uint8_t, const _FT_TRANSFER_CONF*, const FT_PIPE_TRANSFER_CONF*)
{
    return true;
}

bool ft603_handle::create(_FT_TRANSFER_CONF* conf)
{
    std::uint8_t prefix[ft60x_config::prefix_length] = {};
    if (!get_chip_config(prefix, sizeof prefix)) {
        logging(FT_LOG_LEVEL_ERROR, "Failed to get FT603 chip configuration!\r\n");
        return false;
    }
    // Tells the chip its mode; a refusal is logged by the transfer itself.
    usb.control_xfr(vendor_out, chip_mode, conf[0].bFifoMode, 0, nullptr, 0);

    if (conf[0].bFifoMode != 0) {
        if (!create_fifo_interfaces(5)) {
            logging(FT_LOG_LEVEL_ERROR, "Failed to init FT603 FIFO interface!\r\n");
            return false;
        }
        const int rc = usb.claim_interface(0);
        if (rc != 0)
            logging(FT_LOG_LEVEL_TRACE, "Failed to claim interface %d, %s\r\n", 0,
                    libusb_error_name(rc));
        if (!create_pipe(4, 0x85, &conf[0]))
            return false;
        return create_pipe(4, 0x05, &conf[0]);
    }

    unsigned count = 0;
    while (count < 4 && (prefix[ft60x_config::in_enabled + count] != 0 ||
                         prefix[ft60x_config::out_enabled + count] != 0))
        ++count;
    if (!create_fifo_interfaces(count)) {
        logging(FT_LOG_LEVEL_ERROR, "Failed to init FT603 FIFO interface!\r\n");
        return false;
    }
    for (unsigned i = 0; i < count; ++i) {
        const int rc = usb.claim_interface(static_cast<int>(i + 1));
        if (rc != 0) {
            logging(FT_LOG_LEVEL_TRACE, "Failed to claim interface %d, %s\r\n", i + 1,
                    libusb_error_name(rc));
            logging(FT_LOG_LEVEL_ERROR, "Failed to claim FT603 fifo interface %d\r\n", i);
            return false;
        }
        const auto fifo = static_cast<std::uint8_t>(i);
        if (prefix[ft60x_config::in_enabled + i] != 0 &&
            !create_pipe(fifo, static_cast<std::uint8_t>(0x81 + i), &conf[i]))
            return false;
        if (prefix[ft60x_config::out_enabled + i] != 0 &&
            !create_pipe(fifo, static_cast<std::uint8_t>(0x01 + i), &conf[i]))
            return false;
    }
    return true;
}
