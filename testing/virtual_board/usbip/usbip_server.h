// Virtual boards served on the network to the stock USB/IP client (`usbip list -r`, `usbip attach
// -r`): a TCP listener that answers the management phase (device list, import) and then hands the
// imported connection to a UsbipDevice, the same URB handling as the socketpair into this machine's
// vhci_hcd.
//
// One importer per board: an imported board is not listed, and a second import of it is refused.
// When its connection ends (detach, EOF, reset, keepalive expiry, a malformed message) the board is
// reset as an unplug would and listed again. Each connection has its own threads, so a slow or
// hostile client holds up nothing but itself.
//
// USB/IP has no authentication: whoever reaches the port can import a board. Bind the loopback
// (the default) and forward it over SSH, or name the peers allowed.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/usb_device.h"

struct sockaddr;

namespace vboard {

// An IPv4 or IPv6 network ("192.168.1.0/24", "::1/128"; an address alone is a single host).
struct Cidr {
    int family = 0;  // AF_INET or AF_INET6
    uint8_t address[16] = {};
    int prefix = 0;
    // nullopt when `text` is not a network.
    static std::optional<Cidr> parse(const std::string& text);
    bool contains(const ::sockaddr* peer) const;
};

class UsbipServer {
public:
    // How long a connection may be silent and unacknowledged before it is taken as gone: TCP
    // keepalive probes start after `keepalive_idle` and the peer is dropped after `keepalive_count`
    // unanswered ones `keepalive_interval` apart; unacknowledged data gives up after `user_timeout`.
    struct Options {
        std::string address = "127.0.0.1";  // "::", "0.0.0.0" or another address only on purpose
        uint16_t port = 3240;                // 0: any free port (see port())
        std::vector<Cidr> allow;             // empty: every peer that reaches the port
        FILE* trace = nullptr;
        std::chrono::seconds keepalive_idle{5};
        std::chrono::seconds keepalive_interval{2};
        int keepalive_count = 3;
        std::chrono::seconds user_timeout{10};
    };

    // Binds and listens; throws std::runtime_error with a readable reason.
    explicit UsbipServer(Options options);
    ~UsbipServer();  // ends every connection (an unplug to its client) and joins every thread
    UsbipServer(const UsbipServer&) = delete;
    UsbipServer& operator=(const UsbipServer&) = delete;

    // Lists a device from now on, as bus ID "1-<id>"; returns the id.
    int add(std::shared_ptr<UsbDevice> device, DeviceIdentity identity);
    // Ends its import, if any (an unplug to the client), and lists it no more.
    void remove(int id);
    bool imported(int id) const;
    uint16_t port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// What the listener sets on every connection it accepts: no Nagle delay, and the keepalive and
// user time-out of `options`.
void configure_usbip_connection(int fd, const UsbipServer::Options& options);

// "[ADDR:]PORT" with the address in brackets when it is IPv6 ("[::1]:3240"); no address: the
// loopback. nullopt when it is not of that form.
std::optional<std::pair<std::string, uint16_t>> parse_listen_address(const std::string& text);

}  // namespace vboard
