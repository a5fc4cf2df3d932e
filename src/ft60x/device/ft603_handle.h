// Handle of the FT603 FIFO bridge, and the base of the FT602 handles: chip configuration of
// fixed length, firmware version, and the FIFO layout with its pipes.
#pragma once

#include <cstdint>
#include <memory>

#include "ft60x/device/dev_handle.h"
#include "ft60x/parse/chip_config.h"

class ft603_handle : public dev_handle {
public:
    explicit ft603_handle(handle_lib* source) : dev_handle(source) {}

    static bool is_geniune_device(device_lib* dev);
    static std::unique_ptr<dev_handle> create_handle(handle_lib* usb, FT_DEVICE_INFO* info);

    std::uint8_t get_fifo_id_from_ep(std::uint8_t ep) const override;
    bool create(_FT_TRANSFER_CONF* conf) override;
    bool get_firmware_version(std::uint32_t* version) override;
    bool get_chip_config(void* config) override;
    bool set_chip_config(void* config) override;
    bool setup_pipe(std::uint8_t ep, const _FT_TRANSFER_CONF* conf,
                    const FT_PIPE_TRANSFER_CONF* pipe_conf) override;
    virtual std::uint16_t get_chip_config_length() const { return 428; }

    // Reads exactly `length` bytes of the chip configuration.
    bool get_chip_config(void* config, std::uint16_t length);
};
