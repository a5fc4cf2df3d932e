#include "umockdev/uevents.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <glob.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace vboard {
namespace {

// The header libudev puts before the properties of a message from udevd ("libudev" messages;
// the kernel's own carry none). Magic and hashes in network order, as the receiver's socket
// filter compares them.
struct MonitorHeader {
    char prefix[8];
    uint32_t magic;
    uint32_t header_size;
    uint32_t properties_off;
    uint32_t properties_len;
    uint32_t filter_subsystem_hash;
    uint32_t filter_devtype_hash;
    uint32_t filter_tag_bloom_hi;
    uint32_t filter_tag_bloom_lo;
};
constexpr uint32_t monitor_magic = 0xfeedcafe;

// MurmurHash2 with the length as seed: the hash that libudev filters subsystem and device type by.
uint32_t filter_hash(const std::string& s) {
    constexpr uint32_t m = 0x5bd1e995;
    auto len = static_cast<uint32_t>(s.size());
    uint32_t h = len;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (; len >= 4; len -= 4, p += 4) {
        uint32_t k;
        std::memcpy(&k, p, 4);
        k *= m;
        k ^= k >> 24;
        k *= m;
        h = h * m ^ k;
    }
    switch (len) {
    case 3: h ^= uint32_t{p[2]} << 16; [[fallthrough]];
    case 2: h ^= uint32_t{p[1]} << 8; [[fallthrough]];
    case 1: h ^= p[0]; h *= m;
    }
    h ^= h >> 13;
    h *= m;
    return h ^ (h >> 15);
}

void send_to(const std::string& path, msghdr& message) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    const timeval patience{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        ::sendmsg(fd, &message, MSG_NOSIGNAL);
    } else if (errno == ECONNREFUSED) {
        ::unlink(path.c_str());  // its monitor was closed
    }
    ::close(fd);
}

}  // namespace

void send_uevent(const std::string& testbed_root, const std::string& action, const UeventDevice& device) {
    static std::atomic<unsigned long long> seqnum{0};
    const std::string subsystem = "usb", devtype = "usb_device";
    std::string properties;  // KEY=value, each ended by a NUL
    auto add = [&](const char* key, const std::string& value) {
        properties += key;
        properties += '=';
        properties += value;
        properties += '\0';
    };
    char number[16];
    add("ACTION", action);
    add("DEVPATH", device.devpath);
    add("SUBSYSTEM", subsystem);
    add("DEVTYPE", devtype);
    add("DEVNAME", device.devname);
    std::snprintf(number, sizeof number, "%03d", device.busnum);
    add("BUSNUM", number);
    std::snprintf(number, sizeof number, "%03d", device.devnum);
    add("DEVNUM", number);
    add("SEQNUM", std::to_string(++seqnum));

    MonitorHeader header{};
    std::memcpy(header.prefix, "libudev", 8);
    header.magic = htonl(monitor_magic);
    header.header_size = sizeof header;
    header.properties_off = sizeof header;
    header.properties_len = static_cast<uint32_t>(properties.size());
    header.filter_subsystem_hash = htonl(filter_hash(subsystem));
    header.filter_devtype_hash = htonl(filter_hash(devtype));
    iovec parts[2] = {{&header, sizeof header}, {properties.data(), properties.size()}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;

    glob_t listeners{};
    if (::glob((testbed_root + "/event[0-9]*").c_str(), 0, nullptr, &listeners) == 0)
        for (size_t i = 0; i < listeners.gl_pathc; ++i) send_to(listeners.gl_pathv[i], message);
    ::globfree(&listeners);
}

}  // namespace vboard
