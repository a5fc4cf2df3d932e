#include "ft60x/device/dev_handle.h"

#include <algorithm>

#include "ft60x/device/v3_debugger.h"
#include "ft60x/logging.h"

using namespace ft60x_request;

dev_handle::dev_handle(handle_lib* source)
    : uid(source->get() ? usb_device_uid(libusb_get_device(source->get())) : 0),
      link(std::make_shared<host_link>(nullptr))
{
    usb.take_over(*source);
}

dev_handle::~dev_handle()
{
    stop_pipes();
    destroy_fifo_table();
}

void dev_handle::set_notification(FT_NOTIFICATION_CALLBACK cb, void* ctx)
{
    link->set_callback(cb, ctx);
}

std::pair<FT_NOTIFICATION_CALLBACK, void*> dev_handle::get_notification() const
{
    return link->callback();
}

void dev_handle::set_job_poster(host_link::poster post)
{
    link = std::make_shared<host_link>(std::move(post));
}

bool dev_handle::update_cfg_profile(void*)
{
    return false;
}

bool dev_handle::update_cfg_profile_speed(std::uint8_t, std::uint8_t, void*, std::uint8_t)
{
    return false;
}

std::uint16_t dev_handle::to_firmware_format(std::uint8_t mask, std::uint8_t value,
                                             bool pull) const
{
    std::uint16_t word = 0;
    for (unsigned n = 0; n < 3; ++n) {
        if ((mask & (1u << n)) == 0)
            continue;
        word |= static_cast<std::uint16_t>(1u << (3 * n + 2));
        if (pull)
            word |= static_cast<std::uint16_t>(((value >> (2 * n)) & 0x3u) << (3 * n));
        else
            word |= static_cast<std::uint16_t>(((value >> n) & 0x1u) << (3 * n));
    }
    return word;
}

namespace {
bool send_gpio_word(handle_lib& usb, std::uint16_t which, std::uint16_t word)
{
    std::uint8_t data[2] = {static_cast<std::uint8_t>(word & 0xFF),
                            static_cast<std::uint8_t>(word >> 8)};
    return usb.control_xfr(vendor_out, gpio, which, 0, data, sizeof data);
}
} // namespace

bool dev_handle::set_gpio_direction(std::uint8_t mask, std::uint8_t direction)
{
    logging(FT_LOG_LEVEL_TRACE, "Set direction: %X\r\n", direction);
    return send_gpio_word(usb, gpio_direction, to_firmware_format(mask, direction, false));
}

bool dev_handle::set_gpio_level(std::uint8_t mask, std::uint8_t level)
{
    logging(FT_LOG_LEVEL_TRACE, "Set level: %X\r\n", level);
    return send_gpio_word(usb, gpio_level, to_firmware_format(mask, level, false));
}

bool dev_handle::set_gpio_pull(std::uint8_t mask, std::uint8_t pull)
{
    return send_gpio_word(usb, gpio_pull, to_firmware_format(mask, pull, true));
}

bool dev_handle::get_gpio_level(std::uint8_t mask, std::uint8_t* level)
{
    return usb.control_xfr(vendor_in, gpio, 0, mask, level, 1);
}

bool dev_handle::memory_access(bool write, std::uint32_t address, std::uint8_t* data,
                               std::uint16_t length)
{
    std::uint32_t left = length;
    while (left != 0) {
        const auto chunk = static_cast<std::uint16_t>(std::min<std::uint32_t>(left, memory_chunk));
        if (!usb.control_xfr(write ? vendor_out : vendor_in, memory,
                             static_cast<std::uint16_t>(address >> 16),
                             static_cast<std::uint16_t>(address & 0xFFFF), data, chunk))
            return false;
        address += chunk;
        data += chunk;
        left -= chunk;
    }
    return true;
}

bool dev_handle::get_chip_crc(std::uint16_t* crc)
{
    v3_debugger debugger(this);
    return debugger.read_crc16(crc);
}

bool dev_handle::enter_dfu_mode()
{
    return usb.control_xfr(vendor_out, chip_mode, dfu_mode, 0, nullptr, 0);
}

bool dev_handle::reset_device()
{
    {
        // Bounded: the reset being waited for ends with its USB requests' time-outs.
        std::unique_lock<std::mutex> guard(reset_lock);
        reset_done.wait(guard, [this] { return !resetting; });
        resetting = true;
    }
    logging(FT_LOG_LEVEL_TRACE, "Reset device\r\n");
    stop_pipes();
    usb.release_interfaces();
    const bool done = usb.get() != nullptr && libusb_reset_device(usb.get()) == 0;
    {
        std::lock_guard<std::mutex> guard(reset_lock);
        resetting = false;
    }
    reset_done.notify_all();
    return done;
}

std::uint8_t dev_handle::get_number_of_interfaces()
{
    if (!usb.get())
        return 0;
    auto config = active_config_descriptor(libusb_get_device(usb.get()));
    return config ? config->bNumInterfaces : 0;
}
