// The kernel's USB/IP host controller (vhci_hcd) seen through sysfs: free ports, attaching a
// connected socket as a device, and where the kernel then shows that device.
#pragma once

#include <string>

namespace vboard::vhci {

bool available();  // vhci_hcd is loaded (this process may still lack the right to attach)

struct Port {
    int port = -1;       // vhci port number, as the attach and detach files name it
    int bus = 0;         // USB bus of the root hub the port belongs to
    int hub_port = 0;    // port number on that root hub (1-based)
    std::string name() const { return std::to_string(bus) + "-" + std::to_string(hub_port); }
};

// Hands `fd` (one end of a connected stream socket) to vhci_hcd as a device of the given speed
// on the first free port of that speed (or on root hub port `hub_port`, if not 0) that no longer
// shows a former device; the kernel keeps its own reference, the caller may close `fd` afterwards.
// Throws std::runtime_error when no port is free or the kernel refuses.
Port attach(int fd, bool super_speed, unsigned devid, int hub_port = 0);
// True while the port has a device attached (in any state short of free).
bool port_in_use(int port);

}  // namespace vboard::vhci
