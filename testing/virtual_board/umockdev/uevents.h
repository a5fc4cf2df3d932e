// Hot-plug notices for programs under emulation, sent the way udevd passes on the kernel's
// uevents: one libudev monitor message to every listener of the testbed. The preload library
// turns each netlink uevent socket of a process under emulation into a datagram socket at
// $UMOCKDEV_DIR/event<N>; that is where the message goes.
//
// umockdev sends these itself only from a process that runs under the preload (it reads the
// device back through libudev); the launcher serves its child from outside, so it sends its own.
#pragma once

#include <string>

namespace vboard {

struct UeventDevice {
    std::string devpath;  // /devices/..., as in sysfs without /sys
    std::string devname;  // /dev/bus/usb/BBB/DDD
    int busnum = 1;
    int devnum = 0;
};

// `action`: "add" or "remove". A listener whose socket is gone is forgotten (its socket file
// removed); one that does not read for a second misses the notice, as with a full netlink queue.
void send_uevent(const std::string& testbed_root, const std::string& action, const UeventDevice& device);

}  // namespace vboard
