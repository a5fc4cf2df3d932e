#include "ft60x/device/ft602_handle.h"

#include <cstring>

#include "ft60x/logging.h"

using namespace ft60x_request;

namespace {
constexpr std::uint8_t video_class = 0x0E;

// The FT60x interface of an FT602: after the video-class interfaces, the first other interface,
// provided it has the vendor layout. -1 when the descriptors are not those of an FT602.
int scan_ft60x_interface(const libusb_device_descriptor* desc,
                         const libusb_config_descriptor* config)
{
    if (desc == nullptr || config == nullptr)
        return -1;
    if (desc->bDeviceClass != 0xEF || desc->bDeviceSubClass != 0x02 ||
        desc->bDeviceProtocol != 0x01 || desc->bcdDevice != 0x0001)
        return -1;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& itf = config->interface[i];
        if (itf.num_altsetting != 1)
            return -1;
        const libusb_interface_descriptor& alt = itf.altsetting[0];
        if (alt.bInterfaceClass == video_class)
            continue;
        if (alt.bNumEndpoints == 3 && alt.bInterfaceClass == 0xFF &&
            alt.bInterfaceSubClass == 0x06 && alt.bInterfaceProtocol == 0x02)
            return i;
        return -1;
    }
    return -1;
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
        std::make_unique<interrupt_transfer>(notification_length, usb.context(), link);
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
        it->link->post_job([it] { recover_from_stall(it); });
        return;
    }
    if (transfer->status != LIBUSB_TRANSFER_COMPLETED) {
        it->finish();
        return;
    }
    it->stalls_in_a_row = 0;
    if (transfer->actual_length != notification_length) {
        logging(FT_LOG_LEVEL_ERROR, "Invalid FT602 notification length %d\r\n",
                transfer->actual_length);
    } else {
        const std::uint8_t* b = transfer->buffer;
        const std::uint32_t value = static_cast<std::uint32_t>(b[0]) |
                                    (static_cast<std::uint32_t>(b[1]) << 8) |
                                    (static_cast<std::uint32_t>(b[2]) << 16) |
                                    (static_cast<std::uint32_t>(b[3]) << 24);
        if (value == notification_value) {
            // The host's callback runs on the callback thread, where it may call any entry
            // point (a synchronous request, a close) without stalling event handling.
            std::shared_ptr<host_link> link = it->link;
            link->post_job([link] {
                link->run([&] {
                    const auto [cb, ctx] = link->callback();
                    if (cb != nullptr)
                        cb(ctx, FT_NOTIFICATION_CALLBACK_TYPE_INTERRUPT, nullptr);
                });
            });
        } else {
            logging(FT_LOG_LEVEL_ERROR, "Invalid FT602 notification value\r\n");
        }
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
    const auto length = static_cast<std::uint16_t>(header[0] | (header[1] << 8));
    return usb.control_xfr(vendor_in, chip_config, 0, 0, static_cast<std::uint8_t*>(config),
                           length);
}

bool ft602a_handle::set_chip_config(void* config)
{
    auto* bytes = static_cast<std::uint8_t*>(config);
    const auto length = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
    return usb.control_xfr(vendor_out, chip_config, 0, 0, bytes, length);
}

namespace {
void put16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint16_t get16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

struct profile_entry {
    std::uint8_t enable;
    std::uint8_t rate;
    std::uint16_t width;
    std::uint16_t height;
};

profile_entry read_profile(const void* profile, unsigned index)
{
    const auto* p = static_cast<const std::uint8_t*>(profile) + 6 * index;
    return {p[0], p[1], get16(p + 2), get16(p + 4)};
}

const ft602_config::layout* layout_of(std::uint16_t length)
{
    if (length == ft602_config::short_length)
        return &ft602_config::short_layout;
    if (length == ft602_config::long_length)
        return &ft602_config::long_layout;
    return nullptr;
}
} // namespace

bool ft602a_handle::update_cfg_profile(void* profile)
{
    if (profile == nullptr)
        return false;
    std::uint8_t header[4] = {};
    if (!usb.control_xfr(vendor_in, chip_config, 0, 0, header, sizeof header))
        return false;
    const std::uint16_t length = get16(header);
    const ft602_config::layout* layout = layout_of(length);
    if (layout == nullptr)
        return false;
    std::uint8_t config[ft602_config::long_length] = {};
    if (!usb.control_xfr(vendor_in, chip_config, 0, 0, config, length))
        return false;
    for (unsigned k = 0; k < ft602_config::streams; ++k) {
        const profile_entry e = read_profile(profile, k);
        if (e.enable == 0 || e.rate == 0 || e.width == 0 || e.height == 0)
            continue;
        for (unsigned s = 0; s < ft602_config::speeds; ++s) {
            std::uint8_t* frame = config + ft602_config::frame_offset(*layout, k, s, 0);
            put16(frame, e.width);
            put16(frame + 2, e.height);
            put32(frame + 8, ft602_config::interval_units_per_second / e.rate);
        }
    }
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
    const std::uint16_t length = get16(header);
    const ft602_config::layout* layout = layout_of(length);
    if (layout == nullptr || count > layout->frames)
        return false;
    std::uint8_t config[ft602_config::long_length] = {};
    if (!usb.control_xfr(vendor_in, chip_config, 0, 0, config, length))
        return false;
    if (count == 0)
        return false;
    unsigned written = 0;
    for (unsigned i = 0; i < count; ++i) {
        const profile_entry e = read_profile(profile, i);
        if (e.enable == 0)
            continue;
        std::uint8_t* frame = config + ft602_config::frame_offset(*layout, selector, speed, i);
        if (e.width != 0) {
            put16(frame, e.width);
            ++written;
        }
        if (e.height != 0) {
            put16(frame + 2, e.height);
            ++written;
        }
        if (e.rate != 0) {
            put32(frame + 8, ft602_config::interval_units_per_second / e.rate);
            ++written;
        }
    }
    if (written == 0)
        return false;
    set_chip_config(config);
    return true;
}
