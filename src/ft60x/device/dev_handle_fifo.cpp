// The FIFO table of a device handle: one IN and one OUT pipe per FIFO channel.
#include "ft60x/device/dev_handle.h"

#include "ft60x/logging.h"
#include "ft60x/pipe/pipe.h"

fifo_interface::fifo_interface()
    : in_pipe(std::make_unique<class pipe>()), out_pipe(std::make_unique<class pipe>())
{
}

fifo_interface::~fifo_interface() = default;

bool dev_handle::create_fifo_interfaces(std::size_t count)
{
    // From now on claiming an interface detaches a kernel driver bound to it.
    if (usb.get())
        libusb_set_auto_detach_kernel_driver(usb.get(), 1);
    auto table = std::make_unique<fifo_interface[]>(count);
    stop_pipes();
    fifo_interfaces.swap(table);
    fifo_count = count;
    // The previous table, if any, goes here: each entry's OUT pipe, then its IN pipe, entries
    // from the last to the first.
    table.reset();
    return true;
}

bool dev_handle::create_pipe(std::uint8_t fifo, std::uint8_t ep, const _FT_TRANSFER_CONF* conf)
{
    const bool in = (ep & LIBUSB_ENDPOINT_IN) != 0;
    const FT_PIPE_TRANSFER_CONF* pipe_conf = &conf->aPipe[in ? FT_PIPE_DIR_IN : FT_PIPE_DIR_OUT];
    if (pipe_conf->bDisabled != 0)
        return true;
    if (!setup_pipe(ep, conf, pipe_conf)) {
        logging(FT_LOG_LEVEL_ERROR, "Failed to setup EP%X\r\n", ep);
        return false;
    }
    if (fifo >= fifo_count)
        return false;
    fifo_interface& entry = fifo_interfaces[fifo];
    entry.stop_on_short_buf = conf->bStopOnShortBuf;
    return (in ? entry.in_pipe : entry.out_pipe)->create(&usb, ep, pipe_conf);
}

void dev_handle::stop_pipes()
{
    // OUT pipes first: their queued data drains while the IN side still takes what comes back.
    for (std::size_t i = 0; i < fifo_count; ++i)
        fifo_interfaces[i].out_pipe->stop();
    for (std::size_t i = 0; i < fifo_count; ++i)
        fifo_interfaces[i].in_pipe->stop();
}

void dev_handle::destroy_fifo_table()
{
    fifo_interfaces.reset();
    fifo_count = 0;
}

void dev_handle::begin_close()
{
    closing.store(true, std::memory_order_release);
    // A blocked read or write wakes, sees the handle closing and returns.
    for (std::size_t i = 0; i < fifo_count; ++i) {
        fifo_interfaces[i].in_pipe->close_callers();
        fifo_interfaces[i].out_pipe->close_callers();
    }
    link->close();
}
