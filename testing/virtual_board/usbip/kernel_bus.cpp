#include "usbip/kernel_bus.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "usbip/usbip_device.h"
#include "usbip/usbip_server.h"
#include "usbip/vhci.h"

namespace vboard {
namespace {

// Enumeration under an emulated CPU takes about half a second, but tens of seconds when the host
// is busy with builds beside the guest; leave a wide margin.
constexpr auto settle_limit = std::chrono::seconds(90);

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// OSTRANE_VBOARD_LINK=tcp: each board reaches vhci_hcd through a TCP connection on the loopback, as
// a board imported from another machine does (so that tc can delay or cut it), not a socketpair.
bool tcp_link() {
    const char* link = std::getenv("OSTRANE_VBOARD_LINK");
    return link && std::string(link) == "tcp";
}

// Two connected stream sockets: a socketpair, or both ends of a loopback TCP connection set up
// as the stock client and our listener set theirs.
void connected_pair(int sv[2]) {
    if (!tcp_link()) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) throw std::runtime_error("socketpair failed");
        return;
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    const bool listening = listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
                           ::listen(listener, 1) == 0 &&
                           ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    sv[1] = listening ? ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    const bool connected = sv[1] >= 0 && ::connect(sv[1], reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    sv[0] = connected ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    if (listener >= 0) ::close(listener);
    if (sv[0] < 0) {
        if (sv[1] >= 0) ::close(sv[1]);
        throw std::runtime_error("cannot connect a loopback TCP pair");
    }
    configure_usbip_connection(sv[0], UsbipServer::Options{});
    configure_usbip_connection(sv[1], UsbipServer::Options{});
}

std::string read_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// One plug's enumeration, and how many plugs a board gets before the kernel is said to refuse it.
constexpr auto attempt_limit = std::chrono::seconds(40);
constexpr int plug_attempts = 3;

template <typename Done>
bool wait_for(Done done, std::chrono::steady_clock::duration bound = settle_limit) {
    const auto limit = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// udev's record of a device node, written once its rules ran (and so before libusb hears of it).
std::string udev_record(int bus, int address) {
    return "/run/udev/data/c189:" + std::to_string((bus - 1) * 128 + address - 1);
}
bool udev_running() { return exists("/run/udev/control"); }

// A video-class interface (class 0x0E) anywhere in the configuration.
bool has_video_function(const std::vector<uint8_t>& descriptors) {
    for (size_t i = 18; i + 5 < descriptors.size() && descriptors[i] >= 2; i += descriptors[i])
        if (descriptors[i + 1] == 4 && descriptors[i + 5] == 0x0E) return true;
    return false;
}

// A refused claim on a real host is another program holding the interface: this opens the
// device node and claims every interface it can, until told to let go.
class ClaimHolder {
public:
    ClaimHolder(std::string devnode, int interfaces) : devnode_(std::move(devnode)), interfaces_(interfaces) {}
    ~ClaimHolder() { hold(false); }
    ClaimHolder(const ClaimHolder&) = delete;
    ClaimHolder& operator=(const ClaimHolder&) = delete;

    void hold(bool on) {
        std::lock_guard lock(mutex_);
        if (!on) {
            if (fd_ >= 0) ::close(fd_);  // closing the file releases its claims
            fd_ = -1;
            return;
        }
        if (fd_ >= 0) return;
        fd_ = ::open(devnode_.c_str(), O_RDWR | O_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("cannot open " + devnode_ + " to hold its interfaces");
        // An interface some other file holds already answers EBUSY here: refused either way.
        for (unsigned n = 0; n < static_cast<unsigned>(interfaces_); ++n) ::ioctl(fd_, USBDEVFS_CLAIMINTERFACE, &n);
    }

private:
    std::mutex mutex_;
    std::string devnode_;
    int interfaces_;
    int fd_ = -1;
};

}  // namespace

struct KernelBus::Impl {
    struct Slot {
        PluggedBoard info;
        vhci::Port port;
        bool plugged = false;
        std::shared_ptr<UsbDevice> usb;  // what is served: the model, or another device
        Board* board = nullptr;          // the model, when it is one
        std::shared_ptr<UsbipDevice> device;
        std::shared_ptr<ClaimHolder> claims;
    };
    FILE* trace;
    mutable std::mutex mutex;
    std::map<int, Slot> slots;

    Slot& slot(int id) {
        std::lock_guard lock(mutex);
        auto it = slots.find(id);
        if (it == slots.end()) throw std::runtime_error("no board " + std::to_string(id));
        return it->second;
    }
};

KernelBus::KernelBus(FILE* trace) : impl_(std::make_unique<Impl>()) {
    impl_->trace = trace;
    if (!vhci::available()) throw std::runtime_error("the kernel transport needs vhci_hcd (modprobe vhci-hcd)");
}

KernelBus::~KernelBus() {
    for (const auto& b : boards()) {
        try {
            unplug(b.id);
        } catch (const std::exception&) {
            // Already gone on the kernel's side; the device below is stopped regardless.
        }
    }
    for (auto& [id, slot] : impl_->slots) {
        slot.usb->set_data_ready_callback(nullptr);
        if (slot.board) slot.board->set_claim_refusal_by_host(nullptr);
        slot.device.reset();
    }
}

PluggedBoard KernelBus::plug(int id, BoardConfig config, int port) {
    DeviceIdentity identity;
    identity.speed = config.speed;
    identity.serial = config.serial;
    identity.label = model_name(config.model);
    auto board = std::make_shared<Board>(std::move(config));
    return plug_model(id, board, board.get(), std::move(identity), port);
}

PluggedBoard KernelBus::plug_device(int id, std::shared_ptr<UsbDevice> device, DeviceIdentity identity, int port) {
    return plug_model(id, std::move(device), nullptr, std::move(identity), port);
}

PluggedBoard KernelBus::plug_model(int id, std::shared_ptr<UsbDevice> usb, Board* model, DeviceIdentity identity,
                                   int port) {
    Impl::Slot slot;
    slot.info.id = id;
    slot.info.serial = identity.serial;
    const bool super_speed = identity.speed == Speed::super;
    slot.usb = std::move(usb);
    slot.board = model;
    // A busy host can make the kernel give up on an enumeration (its requests time out) and leave
    // the port attached but the device unconfigured: the board is then plugged again, as a user
    // would, a few times before the plug fails.
    std::string sys;
    for (int attempt = 1;; ++attempt) {
        int sv[2];
        connected_pair(sv);
        // Serve first: the kernel starts enumerating as soon as the port is attached.
        slot.device = std::make_shared<UsbipDevice>(*slot.usb, sv[0], "usbip " + slot.info.serial, impl_->trace);
        try {
            slot.port = vhci::attach(sv[1], super_speed, static_cast<unsigned>(id), port);
        } catch (...) {
            ::close(sv[1]);
            throw;
        }
        ::close(sv[1]);  // the kernel holds its own reference now
        // Claims never reach the device: usbfs binds a claimed interface to its "usbfs" driver.
        if (slot.board)
            slot.board->set_claims_held_by_host([sys = "/sys/bus/usb/devices/" + slot.port.name(),
                                                 count = slot.board->interface_count()] {
                std::set<int> claimed;
                for (int n = 0; n < count; ++n) {
                    char link[PATH_MAX];
                    const std::string path = sys + ":1." + std::to_string(n) + "/driver";
                    const ssize_t len = ::readlink(path.c_str(), link, sizeof link - 1);
                    if (len > 0 && std::string(link, static_cast<size_t>(len)).ends_with("/usbfs"))
                        claimed.insert(n);
                }
                return claimed;
            });
        std::weak_ptr<UsbipDevice> device = slot.device;
        slot.usb->set_data_ready_callback([device] {
            if (auto d = device.lock()) d->wake();
        });

        sys = "/sys/bus/usb/devices/" + slot.port.name();
        const bool configured = wait_for(
            [&] {
                return !slot.device->serving() || (!read_line(sys + "/bConfigurationValue").empty() &&
                                                   !read_line(sys + "/devnum").empty());
            },
            attempt_limit);
        if (configured && slot.device->serving()) break;
        slot.usb->set_data_ready_callback(nullptr);
        slot.device->stop();
        const int used = slot.port.port;
        wait_for([&] { return !vhci::port_in_use(used); });
        slot.device.reset();
        if (attempt == plug_attempts)
            throw std::runtime_error("the kernel did not configure the board on " + slot.port.name());
        if (impl_->trace)
            std::fprintf(impl_->trace, "[vboard %s] not configured by the kernel: plugged again\n",
                         slot.port.name().c_str());
    }
    // The kernel may reset the device and give it a new address while udev works: the record
    // looked for is the current address's.
    int address = std::atoi(read_line(sys + "/devnum").c_str());
    if (udev_running() && !wait_for([&] {
            if (const std::string now = read_line(sys + "/devnum"); !now.empty()) address = std::atoi(now.c_str());
            return exists(udev_record(slot.port.bus, address));
        }))
        throw std::runtime_error("udev did not handle the board on " + slot.port.name());
    // The video interfaces bring uvcvideo and its device nodes, whose events keep udev (and the
    // guest's CPU) busy for a while: the plug is done when udev's queue is empty again, so that
    // a test's next step does not race them. (udev removes the flag file once it is idle.)
    if (udev_running() && has_video_function(slot.usb->descriptors()))
        wait_for([] { return !exists("/run/udev/queue"); });

    char real[PATH_MAX];
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", slot.port.bus, address);
    slot.info.port_path = slot.port.name();
    slot.info.bus = static_cast<uint8_t>(slot.port.bus);
    slot.info.address = static_cast<uint8_t>(address);
    slot.info.ports = {static_cast<uint8_t>(slot.port.hub_port)};
    slot.info.syspath = ::realpath(sys.c_str(), real) ? real : sys;
    slot.info.devnode = node;
    slot.claims = std::make_shared<ClaimHolder>(slot.info.devnode, slot.usb->interface_count());
    if (slot.board && slot.board->config().refuse_claim) slot.claims->hold(true);
    if (slot.board)
        slot.board->set_claim_refusal_by_host([claims = std::weak_ptr<ClaimHolder>(slot.claims)](bool on) {
            if (auto c = claims.lock()) c->hold(on);
        });
    slot.plugged = true;
    if (impl_->trace)
        std::fprintf(impl_->trace, "[vboard %s] plugged into the kernel: %s serial %s, address %d\n",
                     slot.info.port_path.c_str(), identity.label.c_str(), slot.info.serial.c_str(),
                     address);
    PluggedBoard info = slot.info;
    std::lock_guard lock(impl_->mutex);
    impl_->slots.emplace(id, std::move(slot));
    return info;
}

void KernelBus::unplug(int id) {
    Impl::Slot& slot = impl_->slot(id);
    if (!slot.plugged) throw std::runtime_error("board " + std::to_string(id) + " is not plugged");
    slot.usb->set_data_ready_callback(nullptr);
    if (slot.board) slot.board->set_claim_refusal_by_host(nullptr);
    slot.claims.reset();
    slot.device->stop();
    {
        std::lock_guard lock(impl_->mutex);
        slot.plugged = false;
    }
    const std::string sys = "/sys/bus/usb/devices/" + slot.info.port_path;
    const std::string record = udev_record(slot.info.bus, slot.info.address);
    const bool gone = wait_for([&] {
        return !exists(sys) && !vhci::port_in_use(slot.port.port) && !(udev_running() && exists(record));
    });
    if (impl_->trace) std::fprintf(impl_->trace, "[vboard %s] unplugged from the kernel\n", slot.info.port_path.c_str());
    if (!gone) throw std::runtime_error("the kernel still shows the board on " + slot.info.port_path);
}

bool KernelBus::plugged(int id) const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->slots.find(id);
    return it != impl_->slots.end() && it->second.plugged && it->second.device->serving();
}

Board& KernelBus::board(int id) {
    Board* board = impl_->slot(id).board;
    if (!board) throw std::runtime_error("board " + std::to_string(id) + " is not a model");
    return *board;
}

const PluggedBoard& KernelBus::info(int id) const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->slots.find(id);
    if (it == impl_->slots.end()) throw std::runtime_error("no board " + std::to_string(id));
    return it->second.info;
}

std::vector<PluggedBoard> KernelBus::boards() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<PluggedBoard> out;
    for (const auto& [id, slot] : impl_->slots)
        if (slot.plugged) out.push_back(slot.info);
    return out;
}

}  // namespace vboard
