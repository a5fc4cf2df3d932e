#include "usbip/usbmon_capture.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdexcept>
#include <string>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vboard {
namespace {

// usbmon's binary interface, as the kernel documents it (no user-space header declares it).
struct MonBinGet {
    void* header;  // 64 bytes (the "x" variant of the call)
    void* data;
    size_t alloc;
};
struct MonBinStats {
    uint32_t queued;
    uint32_t dropped;
};
constexpr unsigned long mon_ioc_magic = 0x92;
constexpr unsigned long mon_set_ring_size = _IO(mon_ioc_magic, 4);
constexpr unsigned long mon_get_stats = _IOR(mon_ioc_magic, 3, MonBinStats);
constexpr unsigned long mon_get_event = _IOW(mon_ioc_magic, 10, MonBinGet);

// The largest ring the kernel allows: a burst of 32 KiB bulk transfers must not overflow it while
// the reader is not scheduled. The kernel keeps at most a fifth of the ring of one event's data.
constexpr size_t ring_size = 1200 * 1024;
constexpr size_t max_event_data = ring_size / 5;

// Bus numbers of the root hubs of every vhci_hcd controller.
std::vector<int> vhci_buses() {
    std::vector<int> buses;
    const std::string platform = "/sys/devices/platform";
    DIR* dir = ::opendir(platform.c_str());
    if (!dir) return buses;
    while (dirent* e = ::readdir(dir)) {
        if (std::strncmp(e->d_name, "vhci_hcd.", 9) != 0) continue;
        DIR* hcd = ::opendir((platform + "/" + e->d_name).c_str());
        if (!hcd) continue;
        while (dirent* h = ::readdir(hcd))
            if (std::strncmp(h->d_name, "usb", 3) == 0 && std::isdigit(static_cast<unsigned char>(h->d_name[3])))
                buses.push_back(std::atoi(h->d_name + 3));
        ::closedir(hcd);
    }
    ::closedir(dir);
    return buses;
}

}  // namespace

struct UsbmonCapture::Impl {
    PcapWriter& out;
    size_t snaplen;
    std::vector<std::pair<int, int>> monitors;  // bus, open /dev/usbmonN
    int stop_fd = -1;
    std::thread thread;

    Impl(PcapWriter& o, size_t s) : out(o), snaplen(s) {}
    ~Impl() {
        for (const auto& m : monitors) ::close(m.second);
        if (stop_fd >= 0) ::close(stop_fd);
    }

    // Hands everything queued on `fd` to the file.
    void drain(int fd, std::vector<uint8_t>& header, std::vector<uint8_t>& data) {
        for (;;) {
            MonBinGet get{header.data(), data.data(), data.size()};
            if (::ioctl(fd, mon_get_event, &get) != 0) {
                if (errno == EINTR) continue;
                return;  // EAGAIN: nothing queued
            }
            // The header's len_cap says how much of `data` the kernel filled.
            out.write_raw(header.data(), data.data(), data.size());
        }
    }

    void run() {
        // The kernel copies no more than this of an event's data, and frees the rest.
        std::vector<uint8_t> header(PcapWriter::header_size);
        // (Control data is kept whole whatever the snap length: the writer cuts the rest.)
        std::vector<uint8_t> data(std::max(std::min(snaplen, max_event_data), PcapWriter::control_data_max));
        std::vector<pollfd> fds;
        for (const auto& m : monitors) fds.push_back({m.second, POLLIN, 0});
        fds.push_back({stop_fd, POLLIN, 0});
        for (;;) {
            if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
            for (const auto& m : monitors) drain(m.second, header, data);
            if (fds.back().revents & POLLIN) return;  // stopped: what was queued is written
        }
    }
};

UsbmonCapture::UsbmonCapture(PcapWriter& out, size_t snaplen) : impl_(std::make_unique<Impl>(out, snaplen)) {
    const auto buses = vhci_buses();
    if (buses.empty()) throw std::runtime_error("cannot capture: vhci_hcd has no bus");
    for (int bus : buses) {
        const std::string node = "/dev/usbmon" + std::to_string(bus);
        const int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            throw std::runtime_error("cannot capture from " + node + ": " + std::strerror(errno) +
                                     (errno == ENOENT ? " (modprobe usbmon)" : ""));
        impl_->monitors.emplace_back(bus, fd);
        ::ioctl(fd, mon_set_ring_size, ring_size);  // the default ring still works, with more risk of loss
    }
    impl_->stop_fd = ::eventfd(0, EFD_CLOEXEC);
    if (impl_->stop_fd < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    impl_->thread = std::thread([this] { impl_->run(); });
    // The ring holds about 36 events of 32 KiB: under load (an emulated CPU streaming both ways)
    // a reader of ordinary priority falls behind and the kernel drops events. Where real-time
    // scheduling is allowed (root), the reader runs as soon as the kernel wakes it.
    sched_param realtime{};
    realtime.sched_priority = 1;
    ::pthread_setschedparam(impl_->thread.native_handle(), SCHED_FIFO, &realtime);
}

UsbmonCapture::~UsbmonCapture() {
    const uint64_t one = 1;
    if (::write(impl_->stop_fd, &one, sizeof one) != sizeof one) std::perror("usbmon capture: eventfd");
    impl_->thread.join();
    for (const auto& [bus, fd] : impl_->monitors) {
        MonBinStats stats{};
        if (::ioctl(fd, mon_get_stats, &stats) == 0 && stats.dropped > 0)
            std::fprintf(stderr, "usbmon capture: the kernel dropped %u events of bus %d\n", stats.dropped, bus);
    }
}

}  // namespace vboard
