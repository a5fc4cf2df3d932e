// A umockdev testbed with a root hub (usb1) and a hub (1-1) on which virtual boards are plugged
// and unplugged, each served to real libusb through emulated usbfs. With the kernel transport the
// same boards go into the running kernel through vhci_hcd instead (USB/IP; root and the vhci-hcd
// module needed): the kernel enumerates them and libusb reaches them through the real usbfs.
//
// The transport comes from the environment of the test run, OSTRANE_VBOARD_TRANSPORT=kernel or
// umockdev (the default), so the same tests run on either.
//
// Order matters: construct the VirtualBus before libusb_init, and libusb_exit before the bus is
// destroyed (declare the bus first in a fixture). Plugging sends an "add" uevent (libusb hot-plug
// sees it); unplugging completes in-flight transfers with "no device", fails later requests with
// ENODEV and sends the "remove" uevent.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/board.h"

namespace vboard {

struct PluggedBoard {
    int id = -1;                 // key for board()/unplug(); never reused by the bus
    std::string port_path;       // sysfs name, e.g. "1-1.4"
    uint8_t bus = 1;
    uint8_t address = 0;         // device number on the bus
    std::vector<uint8_t> ports;  // libusb_get_port_numbers, e.g. {1, 4}
    std::string serial;
    std::string syspath;         // /sys/devices/... as umockdev knows it
    std::string devnode;         // /dev/bus/usb/001/NNN
};

enum class Transport { umockdev, kernel };
// OSTRANE_VBOARD_TRANSPORT: "kernel" or "umockdev" (default). Throws on another value.
Transport transport_from_environment();

class VirtualBus {
public:
    struct Options {
        Transport transport = transport_from_environment();
        std::string serial_prefix = "VB";   // serials "VB0001", "VB0002", ... when not configured
        FILE* trace = nullptr;              // non-null: every request printed readably here
        // Non-empty: every transfer of the bus (hubs included) recorded there as a usbmon pcap
        // capture, with at most capture_snaplen data bytes per event.
        std::string capture_file;
        size_t capture_snaplen = 1u << 20;
    };
    static constexpr int hub_ports = 7;

    VirtualBus();
    explicit VirtualBus(Options options);
    ~VirtualBus();
    VirtualBus(const VirtualBus&) = delete;
    VirtualBus& operator=(const VirtualBus&) = delete;

    // Plug a board on the first free hub port (order 4, 5, 6, 7, 1, 2, 3) or on `port` (1-7).
    // The kernel transport takes a port of vhci's root hub of the board's speed: `port`, or the
    // first free one.
    // Throws std::runtime_error when the port is taken or the bus cannot add the device.
    PluggedBoard plug(BoardConfig config = {});
    PluggedBoard plug(BoardConfig config, int port);
    // Plug a device that is not the model (a recorded board played back) on the first free port:
    // served as a board is, with the descriptors it gives; board(id) has no model for it.
    PluggedBoard plug_device(std::shared_ptr<UsbDevice> device, DeviceIdentity identity);
    void unplug(int id);
    bool plugged(int id) const;

    // The model of a board; stays valid until the bus is destroyed (also after unplug). Throws
    // for a device plugged with plug_device.
    Board& board(int id);
    const PluggedBoard& info(int id) const;
    std::vector<PluggedBoard> boards() const;  // currently plugged, by id

    Transport transport() const;
    std::string umockdev_dir() const;          // for UMOCKDEV_DIR of a child process (umockdev only)

private:
    int free_port() const;
    PluggedBoard plug_slot(std::shared_ptr<UsbDevice> device, Board* model, DeviceIdentity identity, int port);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vboard
