#include "ft60x/device/ft603_handle.h"

#include "ft60x/logging.h"
#include "ft60x/parse/firmware_version.h"
#include "ft60x/parse/recognition.h"

using namespace ft60x_request;

bool ft603_handle::is_geniune_device(device_lib* dev)
{
    if (dev == nullptr || dev->get() == nullptr)
        return false;
    const libusb_device_descriptor* desc = dev->device_descriptor();
    if (desc == nullptr)
        return false;
    const libusb_config_descriptor* config = dev->active_config();
    return config != nullptr && is_ft603_layout(*desc, *config);
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
    return parse_firmware_version(prefix + ft60x_config::version_text,
                                  ft60x_config::version_text_length, version);
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

    const unsigned count = ft60x_config::enabled_channels(prefix, sizeof prefix);
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
