#include "usbip/vhci.h"

#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <thread>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace vboard::vhci {
namespace {

const std::string controller = "/sys/devices/platform/vhci_hcd.0";
constexpr int status_free = 4;     // VDEV_ST_NULL
constexpr int speed_high = 3, speed_super = 5;

struct Row {
    bool super_speed;
    int port;
    int status;
    int hub_port;  // the controller lists its high-speed ports, then as many SuperSpeed ones
};

std::vector<Row> status_rows() {
    std::ifstream in(controller + "/status");
    std::vector<Row> rows;
    std::string line;
    std::getline(in, line);  // column titles
    int high = 0, super = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string hub;
        Row r{};
        if (fields >> hub >> r.port >> r.status) {
            r.super_speed = hub == "ss";
            r.hub_port = r.super_speed ? ++super : ++high;
            rows.push_back(r);
        }
    }
    return rows;
}

// Bus number of vhci_hcd.0's root hub with that speed (sysfs "speed" 5000 or 480).
int root_hub_bus(bool super_speed) {
    DIR* dir = ::opendir(controller.c_str());
    if (!dir) return 0;
    int bus = 0;
    while (dirent* e = ::readdir(dir)) {
        // Root hubs are usbN; the controller also has a usbmon directory.
        if (std::strncmp(e->d_name, "usb", 3) != 0 || !std::isdigit(static_cast<unsigned char>(e->d_name[3]))) continue;
        std::ifstream speed(controller + "/" + e->d_name + "/speed");
        int mbps = 0;
        speed >> mbps;
        if ((mbps >= 5000) == super_speed) {
            bus = std::atoi(e->d_name + 3);
            break;
        }
    }
    ::closedir(dir);
    return bus;
}

}  // namespace

bool available() { return ::access((controller + "/attach").c_str(), F_OK) == 0; }

Port attach(int fd, bool super_speed, unsigned devid, int hub_port) {
    if (!available()) throw std::runtime_error("vhci_hcd is not loaded (modprobe vhci-hcd)");
    const int bus = root_hub_bus(super_speed);
    // A port freed by a socket that closed (a process that ended with its boards plugged) still
    // holds its last device until the hub driver gets round to it, which a busy guest delays by
    // seconds. A device attached there before then is taken for that one: the kernel resets it,
    // finds it changed and drops it, leaving the port attached with no device. So such a port is
    // passed over, or waited for when it is the one asked for.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    for (;;) {
        bool leftover = false;
        for (const Row& row : status_rows()) {
            if (row.super_speed != super_speed || row.status != status_free) continue;
            if (hub_port != 0 && row.hub_port != hub_port) continue;
            const std::string sys = "/sys/bus/usb/devices/" + std::to_string(bus) + "-" + std::to_string(row.hub_port);
            if (::access(sys.c_str(), F_OK) == 0) {
                leftover = true;
                continue;
            }
            const std::string request = std::to_string(row.port) + " " + std::to_string(fd) + " " +
                                        std::to_string(devid) + " " +
                                        std::to_string(super_speed ? speed_super : speed_high);
            const int attach = ::open((controller + "/attach").c_str(), O_WRONLY | O_CLOEXEC);
            if (attach < 0) throw std::runtime_error(std::string("cannot open vhci attach: ") + std::strerror(errno));
            const ssize_t w = ::write(attach, request.data(), request.size());
            const int error = errno;
            ::close(attach);
            if (w < 0) {
                if (error == EBUSY) continue;  // taken since we read the status: try the next one
                throw std::runtime_error(std::string("vhci attach refused: ") + std::strerror(error));
            }
            Port p;
            p.port = row.port;
            p.bus = bus;
            p.hub_port = row.hub_port;
            return p;
        }
        if (!leftover || std::chrono::steady_clock::now() > limit) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    throw std::runtime_error(std::string("no free ") + (super_speed ? "SuperSpeed" : "high-speed") +
                             " vhci port (a freed one may still show its last device)");
}

bool port_in_use(int port) {
    for (const Row& row : status_rows())
        if (row.port == port) return row.status != status_free;
    return false;
}

}  // namespace vboard::vhci
