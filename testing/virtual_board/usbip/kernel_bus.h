// Virtual boards plugged into the running kernel's USB stack through vhci_hcd: the kernel
// enumerates them, udev handles them and usbfs carries every request, as with real hardware.
// Same model as the umockdev bus; needs vhci_hcd and the right to attach (root).
#pragma once

#include <cstdio>
#include <memory>
#include <vector>

#include "umockdev/virtual_bus.h"

namespace vboard {

class KernelBus {
public:
    explicit KernelBus(FILE* trace);
    ~KernelBus();  // unplugs what is still plugged
    KernelBus(const KernelBus&) = delete;
    KernelBus& operator=(const KernelBus&) = delete;

    // Returns once the kernel has configured the device and udev has handled it; `id` must be new.
    // `port`: the vhci root hub port (0: the first free one).
    PluggedBoard plug(int id, BoardConfig config, int port = 0);
    // The same for a device that is not the model (board(id) then has none).
    PluggedBoard plug_device(int id, std::shared_ptr<UsbDevice> device, DeviceIdentity identity, int port = 0);
    // Returns once the kernel and udev have seen it go.
    void unplug(int id);
    bool plugged(int id) const;
    Board& board(int id);
    const PluggedBoard& info(int id) const;
    std::vector<PluggedBoard> boards() const;

private:
    PluggedBoard plug_model(int id, std::shared_ptr<UsbDevice> usb, Board* model, DeviceIdentity identity, int port);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vboard
