#include "ft60x/device/ft602_handle.h"

#include <algorithm>

#include "ft60x/logging.h"
#include "ft60x/parse/notification.h"
#include "ft60x/parse/recognition.h"

using namespace ft60x_request;

namespace {
int scan_ft60x_interface(const libusb_device_descriptor* desc,
                         const libusb_config_descriptor* config)
{
    return desc != nullptr && config != nullptr ? ft602_vendor_interface(*desc, *config) : -1;
}
} // namespace

int ft602_handle::find_ft60x_interface(device_lib* dev)
{
    if (dev == nullptr || dev->get() == nullptr)
        return -1;
    const libusb_device_descriptor* desc = dev->device_descriptor();
    return scan_ft60x_interface(desc, dev->active_config());
}

bool ft602_handle::is_geniune_device(device_lib* dev)
{
    return find_ft60x_interface(dev) >= 0;
}

std::unique_ptr<dev_handle> ft602_handle::create_handle(handle_lib* usb, FT_DEVICE_INFO* info)
{
    // Every FT602 the library opens gets the handle with the device-sized configuration.
    return ft602a_handle::create_handle(usb, info);
}

ft602_handle::~ft602_handle()
{
    stop_notifications();
}

void ft602_handle::stop_notifications()
{
    // The notification transfer must be back before the device handle closes; one that libusb
    // still holds keeps the device handle open for good.
    if (!interrupt_transfer::tear_down(intr_transfer)) {
        logging(FT_LOG_LEVEL_ERROR, "Notification transfer did not come back; device left open\r\n");
        usb.abandon();
    }
}

bool ft602_handle::create(_FT_TRANSFER_CONF* conf)
{
    std::uint8_t number = 255;
    if (libusb_device* dev = usb.get() ? libusb_get_device(usb.get()) : nullptr) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(dev, &desc) == 0) {
            const auto config = active_config_descriptor(dev);
            const int found = scan_ft60x_interface(&desc, config.get());
            if (found >= 0)
                number = static_cast<std::uint8_t>(found);
        }
    }

    if (conf[0].bFifoMode != 0) {
        // The bulk pipes and the notifications live on the vendor interface: without its claim a
        // second handle would share them with the one that holds it.
        if (const int rc = usb.claim_interface(number); rc != 0) {
            logging(FT_LOG_LEVEL_TRACE, "Failed to claim interface %d, %s\r\n", number,
                    libusb_error_name(rc));
            return false;
        }
        if (!ft603_handle::create(conf))
            return false;
    } else {
        const int rc = usb.claim_interface(number);
        if (rc != 0) {
            logging(FT_LOG_LEVEL_TRACE, "Failed to claim interface %d, %s\r\n", number,
                    libusb_error_name(rc));
            return false;
        }
    }

    auto transfer =
        std::make_unique<interrupt_transfer>(notification_length, link);
    libusb_fill_interrupt_transfer(transfer->get(), usb.get(), notification_ep, transfer->data(),
                                   notification_length, &ft602_handle::intr_cb, transfer.get(), 0);
    // Without the transfer the handle still works, only without notifications. Marked posted
    // first: its completion may run before the submission returns.
    transfer->posted();
    if (libusb_submit_transfer(transfer->get()) < 0)
        transfer->finish();
    intr_transfer.swap(transfer);
    return true;
}

namespace {
// Off the event thread (the clear is a synchronous request): clears the halt of the stalled
// notification endpoint and posts the transfer again, unless the handle is closing or the
// board has gone. The transfer belongs to this job until it is posted again or finished.
void recover_from_stall(interrupt_transfer* it)
{
    int rc = LIBUSB_ERROR_NO_DEVICE;
    const bool open = it->link->run([&] {
        rc = libusb_clear_halt(it->get()->dev_handle, ft602_handle::notification_ep);
    });
    if (!open || rc == LIBUSB_ERROR_NO_DEVICE) {
        it->finish();
        return;
    }
    it->resubmit();
}
} // namespace

void LIBUSB_CALL ft602_handle::intr_cb(libusb_transfer* transfer)
{
    auto* it = static_cast<interrupt_transfer*>(transfer->user_data);
    if (transfer->status == LIBUSB_TRANSFER_STALL) {
        // One stall must not end notifications for the life of the handle; stalls that repeat
        // without a message in between mean the endpoint is broken.
        if (++it->stalls_in_a_row > interrupt_transfer::max_stalls_in_a_row) {
            logging(FT_LOG_LEVEL_ERROR, "Notification endpoint keeps stalling; given up\r\n");
            it->finish();
            return;
        }
        if (!it->stall_logged) {
            it->stall_logged = true;
            logging(FT_LOG_LEVEL_WARNING, "Notification endpoint stalled; clearing the halt\r\n");
        }
        const std::shared_ptr<host_link> link = it->link;
        it->park([&link](interrupt_transfer::parking p) {
            link->post_job([p] {
                if (interrupt_transfer* parked = interrupt_transfer::unpark(p))
                    recover_from_stall(parked);
            });
        });
        return;
    }
    if (transfer->status != LIBUSB_TRANSFER_COMPLETED) {
        it->finish();
        return;
    }
    it->stalls_in_a_row = 0;
    const auto kind = classify_notification(
        transfer->buffer, static_cast<std::size_t>(std::max(transfer->actual_length, 0)));
    if (kind == notification_kind::bad_length) {
        logging(FT_LOG_LEVEL_ERROR, "Invalid FT602 notification length %d\r\n",
                transfer->actual_length);
    } else if (kind == notification_kind::valid) {
        // The host's callback runs on the callback thread, where it may call any entry
        // point (a synchronous request, a close) without stalling event handling.
        std::shared_ptr<host_link> link = it->link;
        link->post_job([link] { link->notify_host(); });
    } else {
        logging(FT_LOG_LEVEL_ERROR, "Invalid FT602 notification value\r\n");
    }
    // A refused resubmission (the board is gone, say) finishes the transfer, so closing does not
    // wait for it.
    it->resubmit();
}

std::unique_ptr<dev_handle> ft602a_handle::create_handle(handle_lib* usb, FT_DEVICE_INFO*)
{
    return std::make_unique<ft602a_handle>(usb);
}

ft602a_handle::~ft602a_handle()
{
    stop_notifications();
}

bool ft602a_handle::get_chip_config(void* config)
{
    std::uint8_t header[4] = {};
    if (!usb.control_xfr(vendor_in, chip_config, 0, 0, header, sizeof header))
        return false;
    // A length the library knows no layout for is refused: the caller's record is only as large
    // as the longest layout, whatever the board claims.
    const std::uint16_t length = ft602_config::record_length(header, sizeof header);
    if (ft602_config::layout_of(length) == nullptr) {
        logging(FT_LOG_LEVEL_ERROR, "Invalid FT602 chip configuration length %u\r\n", length);
        return false;
    }
    return usb.control_xfr(vendor_in, chip_config, 0, 0, static_cast<std::uint8_t*>(config),
                           length);
}

bool ft602a_handle::set_chip_config(void* config)
{
    auto* bytes = static_cast<std::uint8_t*>(config);
    // Only a record of a known layout is sent: its length field must not make the write read
    // past the record.
    const std::uint16_t length = ft602_config::record_length(bytes, 2);
    if (ft602_config::layout_of(length) == nullptr)
        return false;
    return usb.control_xfr(vendor_out, chip_config, 0, 0, bytes, length);
}

bool ft602a_handle::update_cfg_profile(void* profile)
{
    if (profile == nullptr)
        return false;
    std::uint8_t header[4] = {};
    if (!usb.control_xfr(vendor_in, chip_config, 0, 0, header, sizeof header))
        return false;
    const std::uint16_t length = ft602_config::record_length(header, sizeof header);
    const ft602_config::layout* layout = ft602_config::layout_of(length);
    if (layout == nullptr)
        return false;
    std::uint8_t config[ft602_config::long_length] = {};
    if (!usb.control_xfr(vendor_in, chip_config, 0, 0, config, length))
        return false;
    ft602_config::apply_profiles(config, *layout, static_cast<const std::uint8_t*>(profile));
    // The write's failure is logged by the transfer and does not change the result.
    set_chip_config(config);
    return true;
}

bool ft602a_handle::update_cfg_profile_speed(std::uint8_t speed, std::uint8_t selector,
                                             void* profile, std::uint8_t count)
{
    if (profile == nullptr || selector >= ft602_config::streams || speed >= ft602_config::speeds)
        return false;
    std::uint8_t header[4] = {};
    if (!usb.control_xfr(vendor_in, chip_config, 0, 0, header, sizeof header))
        return false;
    const std::uint16_t length = ft602_config::record_length(header, sizeof header);
    const ft602_config::layout* layout = ft602_config::layout_of(length);
    if (layout == nullptr || count > layout->frames)
        return false;
    std::uint8_t config[ft602_config::long_length] = {};
    if (!usb.control_xfr(vendor_in, chip_config, 0, 0, config, length))
        return false;
    if (count == 0)
        return false;
    if (ft602_config::apply_profile_speed(config, *layout, selector, speed,
                                          static_cast<const std::uint8_t*>(profile), count) == 0)
        return false;
    set_chip_config(config);
    return true;
}
