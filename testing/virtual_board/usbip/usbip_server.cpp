#include "usbip/usbip_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "usbip/socket_io.h"
#include "usbip/usbip_device.h"
#include "usbip/usbip_protocol.h"

namespace vboard {
namespace {

using namespace usbip;

// A client that connects and then says nothing in the management phase is dropped after this.
constexpr int management_timeout_s = 30;
// Connections at once, imported or not; more are closed at accept.
constexpr size_t max_connections = 64;

bool write_exact(int fd, std::vector<uint8_t> bytes) {
    iovec iov{bytes.data(), bytes.size()};
    return write_all(fd, &iov, 1);
}

void set_int(int fd, int level, int name, int value) { ::setsockopt(fd, level, name, &value, sizeof value); }

std::string peer_name(const sockaddr_storage& a) {
    char host[INET6_ADDRSTRLEN] = "?";
    uint16_t port = 0;
    if (a.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
        ::inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        port = ntohs(v4->sin_port);
    } else if (a.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        port = ntohs(v6->sin6_port);
    }
    return std::string(host) + ":" + std::to_string(port);
}

}  // namespace

std::optional<Cidr> Cidr::parse(const std::string& text) {
    Cidr c;
    const auto slash = text.find('/');
    const std::string host = text.substr(0, slash);
    if (::inet_pton(AF_INET, host.c_str(), c.address) == 1) c.family = AF_INET;
    else if (::inet_pton(AF_INET6, host.c_str(), c.address) == 1) c.family = AF_INET6;
    else return std::nullopt;
    const int bits = c.family == AF_INET ? 32 : 128;
    c.prefix = bits;
    if (slash != std::string::npos) {
        const std::string p = text.substr(slash + 1);
        if (p.empty() || p.size() > 3 || p.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
        c.prefix = std::stoi(p);
        if (c.prefix > bits) return std::nullopt;
    }
    return c;
}

bool Cidr::contains(const sockaddr* peer) const {
    const uint8_t* a = nullptr;
    if (peer->sa_family == AF_INET && family == AF_INET) {
        a = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(peer)->sin_addr);
    } else if (peer->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr);
        static constexpr uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        if (family == AF_INET6) a = v6;
        else if (std::memcmp(v6, mapped, sizeof mapped) == 0) a = v6 + 12;  // an IPv4 peer on a dual-stack socket
    }
    if (!a) return false;
    for (int bit = 0; bit < prefix; ++bit) {
        const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
        if ((a[bit / 8] & mask) != (address[bit / 8] & mask)) return false;
    }
    return true;
}

void configure_usbip_connection(int fd, const UsbipServer::Options& options) {
    set_int(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    set_int(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    set_int(fd, IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(options.keepalive_idle.count()));
    set_int(fd, IPPROTO_TCP, TCP_KEEPINTVL, static_cast<int>(options.keepalive_interval.count()));
    set_int(fd, IPPROTO_TCP, TCP_KEEPCNT, options.keepalive_count);
    set_int(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(options.user_timeout.count() * 1000));
}

std::optional<std::pair<std::string, uint16_t>> parse_listen_address(const std::string& text) {
    std::string host = "127.0.0.1", port = text;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find("]:");
        if (close == std::string::npos) return std::nullopt;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const auto colon = text.find(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    const int number = std::stoi(port);
    if (number > 65535 || host.empty()) return std::nullopt;
    return std::make_pair(host, static_cast<uint16_t>(number));
}

struct UsbipServer::Impl {
    struct Export {
        std::shared_ptr<UsbDevice> device;
        DeviceIdentity identity;
        bool listed = true;
        std::shared_ptr<UsbipDevice> importer;  // set while a client has it imported
    };
    struct Connection {
        int fd = -1;  // owned by the connection's thread until handed to a UsbipDevice (then -1)
        std::string peer;
        std::thread thread;
        bool done = false;
        std::shared_ptr<UsbipDevice> importer;
        // The importer's connection is over (its serving thread said so).
        std::mutex ended_mutex;
        std::condition_variable ended_cv;
        bool ended = false;
    };

    Options options;
    int listen_fd = -1;
    int wake_fd = -1;
    uint16_t bound_port = 0;
    std::thread accept_thread;
    mutable std::mutex mutex;  // guards everything below
    bool stopping = false;
    int next_id = 1;
    std::map<int, Export> exports;
    std::list<std::unique_ptr<Connection>> connections;

    void trace(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (!options.trace) return;
        char line[512];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(line, sizeof line, fmt, ap);
        va_end(ap);
        std::fprintf(options.trace, "[vboard listener] %s\n", line);
        std::fflush(options.trace);
    }

    void wake() {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t r = ::write(wake_fd, &one, sizeof one);
    }

    ExportedDevice describe(int id, const Export& e) const {
        ExportedDevice d;
        d.busid = "1-" + std::to_string(id);
        d.path = "/sys/devices/platform/ostrane-virtual-board/usb1/" + d.busid;
        d.busnum = 1;
        d.devnum = static_cast<uint32_t>(id + 1);
        d.speed = e.identity.speed == Speed::super ? 5 : 3;
        d.descriptors = e.device->descriptors();
        return d;
    }

    void accept_loop() {
        for (;;) {
            pollfd fds[2] = {{listen_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
            if (fds[1].revents & POLLIN) {
                uint64_t count;
                [[maybe_unused]] ssize_t r = ::read(wake_fd, &count, sizeof count);
            }
            reap();
            {
                std::lock_guard lock(mutex);
                if (stopping) break;
            }
            if (fds[0].revents & POLLIN) accept_one();
        }
    }

    void reap() {
        std::list<std::unique_ptr<Connection>> finished;
        {
            std::lock_guard lock(mutex);
            for (auto it = connections.begin(); it != connections.end();) {
                if ((*it)->done) finished.splice(finished.end(), connections, it++);
                else ++it;
            }
        }
        for (auto& c : finished) c->thread.join();
    }

    void accept_one() {
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        const int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) return;
        const std::string name = peer_name(peer);
        if (!options.allow.empty()) {
            bool allowed = false;
            for (const auto& c : options.allow) allowed = allowed || c.contains(reinterpret_cast<sockaddr*>(&peer));
            if (!allowed) {
                trace("%s refused: not in --allow", name.c_str());
                ::close(fd);
                return;
            }
        }
        std::lock_guard lock(mutex);
        if (connections.size() >= max_connections) {
            trace("%s refused: %zu connections already", name.c_str(), connections.size());
            ::close(fd);
            return;
        }
        configure_usbip_connection(fd, options);
        const timeval limit{management_timeout_s, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->peer = name;
        Connection* raw = c.get();
        connections.push_back(std::move(c));
        raw->thread = std::thread([this, raw] {
            serve(*raw);
            std::lock_guard done_lock(mutex);
            raw->done = true;
            wake();
        });
    }

    // The management phase, then (after an import) the life of the import.
    void serve(Connection& c) {
        const int fd = c.fd;
        bool open = true;
        while (open) {
            uint8_t header[op_header_size];
            if (!read_all(fd, header, sizeof header)) break;
            const OpRequest r = parse_op_request(header);
            if (r.error) {
                trace("%s: malformed request (%s): closing", c.peer.c_str(), r.error);
                break;
            }
            if (r.code == op_req_devlist) {
                open = write_exact(fd, device_list());
                continue;
            }
            uint8_t busid[busid_size];
            if (!read_all(fd, busid, sizeof busid)) break;
            const BusId id = parse_busid(busid);
            if (id.error) {
                trace("%s: malformed import (%s): closing", c.peer.c_str(), id.error);
                break;
            }
            if (import(c, id.id)) return;  // the connection now belongs to the import
            break;  // the stock client closes after a refused import too
        }
        std::lock_guard lock(mutex);
        ::close(c.fd);
        c.fd = -1;
    }

    std::vector<uint8_t> device_list() {
        std::vector<std::vector<uint8_t>> records;
        {
            std::lock_guard lock(mutex);
            for (const auto& [id, e] : exports)
                if (e.listed && !e.importer) records.push_back(encode_device(describe(id, e), true));
        }
        std::vector<uint8_t> out = encode_op_reply(op_rep_devlist, OpStatus::ok);
        const uint32_t n = htonl(static_cast<uint32_t>(records.size()));
        const auto* np = reinterpret_cast<const uint8_t*>(&n);
        out.insert(out.end(), np, np + 4);
        for (const auto& r : records) out.insert(out.end(), r.begin(), r.end());
        return out;
    }

    // True when imported and served until the connection ended; false: refused (replied to).
    bool import(Connection& c, const std::string& busid) {
        std::unique_lock lock(mutex);
        auto it = exports.begin();
        while (it != exports.end() && "1-" + std::to_string(it->first) != busid) ++it;
        const bool found = it != exports.end() && it->second.listed;
        if (!found || it->second.importer || stopping) {
            lock.unlock();
            trace("%s: import of %s refused: %s", c.peer.c_str(), busid.c_str(), !found ? "no such board" : "taken");
            write_exact(c.fd, encode_op_reply(op_rep_import, found ? OpStatus::busy : OpStatus::no_device));
            return false;
        }
        const int id = it->first;
        Export& e = it->second;
        std::vector<uint8_t> reply = encode_op_reply(op_rep_import, OpStatus::ok);
        const auto record = encode_device(describe(id, e), false);
        reply.insert(reply.end(), record.begin(), record.end());
        // The data phase may be quiet for as long as the client likes: keepalive watches it now.
        const timeval forever{0, 0};
        ::setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &forever, sizeof forever);
        auto device = e.device;
        // Served from before the reply: the client's kernel sends its first URBs right after it.
        e.importer = std::make_shared<UsbipDevice>(*device, c.fd, "usbip " + busid + " " + c.peer, options.trace,
                                                   [&c] {
                                                       std::lock_guard ended_lock(c.ended_mutex);
                                                       c.ended = true;
                                                       c.ended_cv.notify_all();
                                                   });
        c.importer = e.importer;
        const int fd = c.fd;
        c.fd = -1;  // the importer owns it
        std::weak_ptr<UsbipDevice> weak = e.importer;
        lock.unlock();
        device->set_data_ready_callback([weak] {
            if (auto d = weak.lock()) d->wake();
        });
        trace("%s imported %s", c.peer.c_str(), busid.c_str());
        // The reply goes out on the importer's socket before any answer of its: nothing is
        // answered before the client has sent a URB, which it does only after this reply.
        if (!write_exact(fd, reply)) c.importer->stop();
        {
            std::unique_lock ended_lock(c.ended_mutex);
            c.ended_cv.wait(ended_lock, [&] { return c.ended; });
        }
        device->set_data_ready_callback(nullptr);
        c.importer->stop();
        // As a board loses power when unplugged: claims, FIFOs and endpoint state start over.
        device->usb_reset();
        lock.lock();
        if (auto again = exports.find(id); again != exports.end()) again->second.importer.reset();
        std::shared_ptr<UsbipDevice> last = std::move(c.importer);
        lock.unlock();
        trace("%s: %s detached; listed again", c.peer.c_str(), busid.c_str());
        return true;
    }
};

UsbipServer::UsbipServer(Options options) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    sockaddr_storage addr{};
    socklen_t len = 0;
    const std::string& host = impl_->options.address;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
    if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(impl_->options.port);
        len = sizeof *v4;
    } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(impl_->options.port);
        len = sizeof *v6;
    } else {
        throw std::runtime_error("not an IP address: " + host);
    }
    const int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(std::string("cannot open a socket: ") + std::strerror(errno));
    set_int(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 16) != 0) {
        const int e = errno;
        ::close(fd);
        throw std::runtime_error("cannot listen on " + host + " port " + std::to_string(impl_->options.port) + ": " +
                                 std::strerror(e));
    }
    len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    impl_->bound_port = ntohs(addr.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    impl_->listen_fd = fd;
    impl_->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    impl_->accept_thread = std::thread([this] { impl_->accept_loop(); });
}

UsbipServer::~UsbipServer() {
    std::vector<std::shared_ptr<UsbipDevice>> importers;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
        for (auto& c : impl_->connections) {
            if (c->fd >= 0) ::shutdown(c->fd, SHUT_RDWR);  // ends a management phase's read
            if (c->importer) importers.push_back(c->importer);
        }
    }
    impl_->wake();
    impl_->accept_thread.join();
    for (auto& d : importers) d->stop();
    importers.clear();
    std::list<std::unique_ptr<Impl::Connection>> all;
    {
        std::lock_guard lock(impl_->mutex);
        all.swap(impl_->connections);
    }
    for (auto& c : all) c->thread.join();
    for (auto& [id, e] : impl_->exports) e.device->set_data_ready_callback(nullptr);
    ::close(impl_->listen_fd);
    ::close(impl_->wake_fd);
}

int UsbipServer::add(std::shared_ptr<UsbDevice> device, DeviceIdentity identity) {
    std::lock_guard lock(impl_->mutex);
    const int id = impl_->next_id++;
    impl_->exports[id] = Impl::Export{std::move(device), std::move(identity), true, nullptr};
    return id;
}

void UsbipServer::remove(int id) {
    std::shared_ptr<UsbipDevice> importer;
    {
        std::lock_guard lock(impl_->mutex);
        auto it = impl_->exports.find(id);
        if (it == impl_->exports.end()) return;
        it->second.listed = false;
        importer = it->second.importer;
    }
    if (importer) importer->stop();
}

bool UsbipServer::imported(int id) const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->exports.find(id);
    return it != impl_->exports.end() && it->second.importer != nullptr;
}

uint16_t UsbipServer::port() const { return impl_->bound_port; }

}  // namespace vboard
