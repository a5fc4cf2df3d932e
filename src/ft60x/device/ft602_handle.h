// Handles of the FT602: recognition from its descriptors, the claim of its vendor interface,
// the notification transfer on its interrupt endpoint, and (ft602a) the chip configuration of
// device-given length with its video profile updates.
#pragma once

#include <cstdint>
#include <memory>

#include "ft60x/device/ft603_handle.h"
#include "ft60x/device/usb_transfer.h"
#include "ft60x/parse/chip_config.h"

class ft602_handle : public ft603_handle {
public:
    explicit ft602_handle(handle_lib* source) : ft603_handle(source) {}
    ~ft602_handle() override;

    static bool is_geniune_device(device_lib* dev);
    static int find_ft60x_interface(device_lib* dev);
    static std::unique_ptr<dev_handle> create_handle(handle_lib* usb, FT_DEVICE_INFO* info);
    static void LIBUSB_CALL intr_cb(libusb_transfer* transfer);

    bool create(_FT_TRANSFER_CONF* conf) override;
    std::uint16_t get_chip_config_length() const override { return 4064; }

    static constexpr std::uint8_t notification_ep = 0x86;
    static constexpr std::uint32_t notification_value = 0xDEADBEEF;
    static constexpr int notification_length = 4;

protected:
    // Cancels the notification transfer and waits for it (bounded); idempotent.
    void stop_notifications();

    std::unique_ptr<interrupt_transfer> intr_transfer;
};

class ft602a_handle : public ft602_handle {
public:
    explicit ft602a_handle(handle_lib* source) : ft602_handle(source) {}
    ~ft602a_handle() override;

    static std::unique_ptr<dev_handle> create_handle(handle_lib* usb, FT_DEVICE_INFO* info);

    bool get_chip_config(void* config) override;
    bool set_chip_config(void* config) override;
    bool update_cfg_profile(void* profile) override;
    bool update_cfg_profile_speed(std::uint8_t speed, std::uint8_t selector, void* profile,
                                  std::uint8_t count) override;
};
