// The object behind every FT60x handle given to the host: the opened device, its FIFO table and
// the notification callback, with the vendor requests that all FT60x chips share.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "ft60x/device/host_link.h"
#include "ft60x/device/library.h"
#include "ostrane/ft60x.h"

class pipe;

// Operations through which the entry points reach a device handle.
class dev_ops {
public:
    virtual bool update_cfg_profile(void* profile) = 0;
    virtual bool update_cfg_profile_speed(std::uint8_t speed, std::uint8_t selector, void* profile,
                                          std::uint8_t count) = 0;
    virtual std::uint8_t get_fifo_id_from_ep(std::uint8_t ep) const = 0;
    virtual bool create(_FT_TRANSFER_CONF* conf) = 0;
    virtual bool get_firmware_version(std::uint32_t* version) = 0;
    virtual bool get_chip_config(void* config) = 0;
    virtual bool set_chip_config(void* config) = 0;
    virtual bool set_gpio_direction(std::uint8_t mask, std::uint8_t direction) = 0;
    virtual bool set_gpio_level(std::uint8_t mask, std::uint8_t level) = 0;
    virtual bool set_gpio_pull(std::uint8_t mask, std::uint8_t pull) = 0;
    virtual bool get_gpio_level(std::uint8_t mask, std::uint8_t* level) = 0;
    virtual bool memory_access(bool write, std::uint32_t address, std::uint8_t* data,
                               std::uint16_t length) = 0;
    virtual bool get_chip_crc(std::uint16_t* crc) = 0;
    virtual bool enter_dfu_mode() = 0;
    virtual bool setup_pipe(std::uint8_t ep, const _FT_TRANSFER_CONF* conf,
                            const FT_PIPE_TRANSFER_CONF* pipe_conf) = 0;

protected:
    ~dev_ops() = default;
};

// One FIFO channel: its IN and OUT pipe (always constructed once the table is built; created
// only when enabled) and the channel's stop-on-short-buffer setting.
struct fifo_interface {
    fifo_interface();
    ~fifo_interface();
    std::unique_ptr<class pipe> in_pipe;
    std::unique_ptr<class pipe> out_pipe;
    std::uint8_t stop_on_short_buf = 0;
};

class dev_handle : public dev_ops {
public:
    // Takes the opened device over from `source`.
    explicit dev_handle(handle_lib* source);
    dev_handle(const dev_handle&) = delete;
    dev_handle& operator=(const dev_handle&) = delete;
    virtual ~dev_handle();

    virtual bool reset_device();
    virtual bool create_fifo_interfaces(std::size_t count);

    bool update_cfg_profile(void* profile) override;
    bool update_cfg_profile_speed(std::uint8_t speed, std::uint8_t selector, void* profile,
                                  std::uint8_t count) override;
    bool set_gpio_direction(std::uint8_t mask, std::uint8_t direction) override;
    bool set_gpio_level(std::uint8_t mask, std::uint8_t level) override;
    bool set_gpio_pull(std::uint8_t mask, std::uint8_t pull) override;
    bool get_gpio_level(std::uint8_t mask, std::uint8_t* level) override;
    bool memory_access(bool write, std::uint32_t address, std::uint8_t* data,
                       std::uint16_t length) override;
    bool get_chip_crc(std::uint16_t* crc) override;
    bool enter_dfu_mode() override;

    bool create_pipe(std::uint8_t fifo, std::uint8_t ep, const _FT_TRANSFER_CONF* conf);
    void stop_pipes();
    std::uint16_t to_firmware_format(std::uint8_t mask, std::uint8_t value, bool pull) const;
    std::uint8_t get_number_of_interfaces();

    const std::uint64_t uid;
    handle_lib usb;
    std::unique_ptr<fifo_interface[]> fifo_interfaces;
    std::size_t fifo_count = 0;

    void set_notification(FT_NOTIFICATION_CALLBACK cb, void* ctx);
    std::pair<FT_NOTIFICATION_CALLBACK, void*> get_notification() const;

    // Where work for this handle that must leave the event thread goes; set before create().
    void set_job_poster(host_link::poster post);
    // First step of a close: calls blocked in a pipe read or write return, no callback of this
    // handle starts any more, and one that runs is waited for (unless it is the caller).
    void begin_close();
    bool is_closing() const { return closing.load(std::memory_order_acquire); }

protected:
    void destroy_fifo_table();

    std::shared_ptr<host_link> link;

private:
    std::atomic<bool> closing{false};
    // One port reset of the handle at a time: a reset stops the pipes and releases the claimed
    // interfaces, which two at once would do over each other. Not held across the reset itself.
    std::mutex reset_lock;
    std::condition_variable reset_done;
    bool resetting = false;
};

// Vendor requests of the FT60x chips.
namespace ft60x_request {
inline constexpr std::uint8_t vendor_out = 0x40;
inline constexpr std::uint8_t vendor_in = 0xC0;
inline constexpr std::uint8_t chip_config = 1;
inline constexpr std::uint8_t gpio = 2;
inline constexpr std::uint8_t memory = 3;
inline constexpr std::uint8_t chip_mode = 4;
inline constexpr std::uint16_t gpio_level = 1;
inline constexpr std::uint16_t gpio_direction = 2;
inline constexpr std::uint16_t gpio_pull = 3;
inline constexpr std::uint16_t dfu_mode = 2;
inline constexpr std::uint16_t memory_chunk = 512;
} // namespace ft60x_request
