#include "umockdev/virtual_bus.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <sys/stat.h>

#include <umockdev.h>

#include "model/timer_queue.h"
#include "umockdev/pcap_writer.h"
#include "umockdev/targets.h"
#include "umockdev/uevents.h"
#include "umockdev/usbfs_node.h"
#include "usbip/kernel_bus.h"
#include "usbip/usbmon_capture.h"

namespace vboard {
namespace {

constexpr char controller_path[] = "/devices/pci0000:00/0000:00:14.0";
constexpr int root_hub_ports = 4;
constexpr int port_order[] = {4, 5, 6, 7, 1, 2, 3};

std::string hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 0xF];
    }
    return s;
}

std::string devnode_for(int devnum) {
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/001/%03d", devnum);
    return path;
}

std::string record(const std::string& devpath, int devnum, int speed, const std::vector<uint8_t>& descriptors,
                   const std::vector<std::pair<std::string, std::string>>& extra_attributes) {
    char num[8];
    std::snprintf(num, sizeof num, "%03d", devnum);
    std::string r;
    r += "P: " + devpath + "\n";
    r += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n";
    r += "E: DEVNAME=" + devnode_for(devnum) + "\n";
    r += "E: BUSNUM=001\n";
    r += std::string("E: DEVNUM=") + num + "\n";
    r += "A: busnum=1\\n\n";
    r += "A: devnum=" + std::to_string(devnum) + "\\n\n";
    r += "A: speed=" + std::to_string(speed) + "\\n\n";
    r += "A: bConfigurationValue=1\\n\n";
    for (const auto& [name, value] : extra_attributes) r += "A: " + name + "=" + value + "\\n\n";
    r += "H: descriptors=" + hex(descriptors) + "\n";
    return r;
}

void make_dirs(const std::string& path) {
    std::string partial;
    size_t pos = 0;
    while ((pos = path.find('/', pos + 1)) != std::string::npos) {
        partial = path.substr(0, pos);
        ::mkdir(partial.c_str(), 0755);
    }
    ::mkdir(path.c_str(), 0755);
}

char hex4_digits[8];
std::string hex4(uint16_t v) {
    std::snprintf(hex4_digits, sizeof hex4_digits, "%04x", v);
    return hex4_digits;
}

// The requests the kernel makes when it enumerates a new device (libusb itself reads descriptors
// from sysfs): recorded so that a capture shows the device as one taken on a real bus does,
// Wireshark can tell the interface classes of the endpoints, and a replay of the capture finds
// the descriptors, BOS and strings a host asks at plug time. Those the device is asked for.
void record_enumeration(PcapWriter& capture, uint8_t address, UsbDevice& device,
                        const std::vector<uint8_t>& descriptors) {
    static std::atomic<uint64_t> next_id{0};
    auto request = [&](std::array<uint8_t, 8> setup_bytes) {
        const SetupPacket setup = SetupPacket::parse(setup_bytes.data());
        std::vector<uint8_t> in(setup.wLength);
        const ControlResult r = device.control(setup, nullptr, in.data());
        const size_t length = r.status == UsbStatus::ok ? std::min<size_t>(r.length, in.size()) : 0;
        PcapWriter::Event e;
        e.id = 0xffff000000000000ull | ++next_id;  // outside any client address
        e.type = 2;                                 // control
        e.endpoint = setup_bytes[0] & 0x80;
        e.device = address;
        e.bus = 1;
        e.setup = setup_bytes.data();
        e.status = -EINPROGRESS;
        e.length = setup.wLength;
        capture.write(e);
        e.kind = 'C';
        e.setup = nullptr;
        e.status = r.status == UsbStatus::ok ? 0 : -EPIPE;
        e.length = static_cast<uint32_t>(length);
        e.data = length ? in.data() : nullptr;
        e.data_length = length;
        capture.write(e);
        return std::vector<uint8_t>(in.begin(), in.begin() + static_cast<long>(length));
    };
    auto lo = [](size_t v) { return static_cast<uint8_t>(v & 0xFF); };
    auto hi = [](size_t v) { return static_cast<uint8_t>(v >> 8); };
    if (descriptors.size() < 18 + 9) return;
    const size_t total = std::min<size_t>(descriptors[18 + 2] | descriptors[18 + 3] << 8, descriptors.size() - 18);
    request({0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0});
    request({0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 9, 0});
    request({0x80, 0x06, 0x00, 0x02, 0x00, 0x00, lo(total), hi(total)});
    if ((descriptors[2] | descriptors[3] << 8) >= 0x0201) {
        const auto bos = request({0x80, 0x06, 0x00, 0x0F, 0x00, 0x00, 5, 0});
        if (bos.size() >= 4) {
            const size_t bos_total = bos[2] | bos[3] << 8;
            request({0x80, 0x06, 0x00, 0x0F, 0x00, 0x00, lo(bos_total), hi(bos_total)});
        }
    }
    request({0x00, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00});  // SET_CONFIGURATION 1
    // The strings, as the kernel reads them: the language list, then product, manufacturer, serial.
    const auto languages = request({0x80, 0x06, 0x00, 0x03, 0x00, 0x00, 0xFF, 0x00});
    if (languages.size() < 4) return;
    for (const size_t at : {15, 14, 16})
        if (const uint8_t index = descriptors[at])
            request({0x80, 0x06, index, 0x03, languages[2], languages[3], 0xFF, 0x00});
}

}  // namespace

Transport transport_from_environment() {
    const char* value = std::getenv("OSTRANE_VBOARD_TRANSPORT");
    if (!value || !*value || std::strcmp(value, "umockdev") == 0) return Transport::umockdev;
    if (std::strcmp(value, "kernel") == 0) return Transport::kernel;
    throw std::runtime_error(std::string("OSTRANE_VBOARD_TRANSPORT must be kernel or umockdev, not ") + value);
}

struct VirtualBus::Impl {
    struct Slot {
        PluggedBoard info;
        int port = 0;
        bool plugged = false;
        std::shared_ptr<UsbDevice> device;  // what is served: the model, or another device
        Board* board = nullptr;             // the model, when it is one
        std::unique_ptr<BoardTarget> target;
        std::unique_ptr<UsbfsNode> node;
    };

    Options options;
    std::unique_ptr<KernelBus> kernel;  // set: the kernel transport serves every board
    std::unique_ptr<UsbmonCapture> kernel_capture;  // the kernel's own record, with `kernel`
    UMockdevTestbed* testbed = nullptr;
    std::string root;
    std::unique_ptr<PcapWriter> capture;  // outlives every node (they are reset in ~VirtualBus)
    TimerQueue timer;
    std::unique_ptr<HubTarget> root_hub, hub;
    std::unique_ptr<UsbfsNode> root_hub_node, hub_node;
    mutable std::mutex mutex;
    std::map<int, Slot> slots;
    std::array<int, VirtualBus::hub_ports + 1> port_owner{};
    int next_id = 1;
    int next_devnum = 3;
    int serial_counter = 0;
    // This process does not run under the preload (the launcher): umockdev sends no uevent from
    // here, so the bus sends them.
    bool own_uevents = false;

    void add(const std::string& text) {
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(testbed, text.c_str(), &error)) {
            std::string what = error ? error->message : "unknown error";
            if (error) g_error_free(error);
            throw std::runtime_error("umockdev refused a device record: " + what);
        }
    }
};

VirtualBus::VirtualBus() : VirtualBus(Options{}) {}

VirtualBus::VirtualBus(Options options) : impl_(std::make_unique<Impl>()) {
    auto& m = *impl_;
    m.options = std::move(options);
    if (!m.options.capture_file.empty())
        m.capture = std::make_unique<PcapWriter>(m.options.capture_file, m.options.capture_snaplen);
    if (m.options.transport == Transport::kernel) {
        // No testbed: it would put this process (and libusb in it) under emulation.
        m.kernel = std::make_unique<KernelBus>(m.options.trace);
        if (m.capture) m.kernel_capture = std::make_unique<UsbmonCapture>(*m.capture, m.options.capture_snaplen);
        return;
    }
    m.testbed = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(m.testbed);
    m.root = root;
    g_free(root);
    make_dirs(m.root + "/dev/bus/usb/001");

    m.root_hub = std::make_unique<HubTarget>(true, root_hub_ports);
    m.hub = std::make_unique<HubTarget>(false, hub_ports);
    m.root_hub->set_connected(1, true);
    m.root_hub_node = std::make_unique<UsbfsNode>(m.testbed, m.root + devnode_for(1), devnode_for(1), "usb1",
                                                  *m.root_hub, m.timer, nullptr);
    m.hub_node = std::make_unique<UsbfsNode>(m.testbed, m.root + devnode_for(2), devnode_for(2), "1-1", *m.hub,
                                             m.timer, nullptr);
    m.root_hub_node->set_capture(m.capture.get());
    m.hub_node->set_capture(m.capture.get());
    const std::string usb1 = std::string(controller_path) + "/usb1";
    m.add(record(usb1, 1, 5000, m.root_hub->descriptors(),
                 {{"idVendor", "1d6b"}, {"idProduct", "0003"}, {"product", "xHCI Host Controller"},
                  {"manufacturer", "Linux xhci-hcd"}, {"maxchild", std::to_string(root_hub_ports)}}));
    m.add(record(usb1 + "/1-1", 2, 5000, m.hub->descriptors(),
                 {{"idVendor", "1d6b"}, {"idProduct", "0003"}, {"product", "Virtual Hub"},
                  {"manufacturer", "Tessory"}, {"devpath", "1"}, {"maxchild", std::to_string(hub_ports)}}));
    // Under the preload, /sys is the testbed's.
    struct stat seen {}, testbed {};
    m.own_uevents = ::stat("/sys/devices", &seen) != 0 || ::stat((m.root + "/sys/devices").c_str(), &testbed) != 0 ||
                    seen.st_dev != testbed.st_dev || seen.st_ino != testbed.st_ino;
}

VirtualBus::~VirtualBus() {
    auto& m = *impl_;
    if (m.kernel) {
        m.kernel.reset();
        m.kernel_capture.reset();  // after the unplugs, so that they are recorded too
        return;
    }
    m.timer.stop();
    for (auto& [id, slot] : m.slots) {
        slot.device->set_data_ready_callback(nullptr);
        slot.board = nullptr;
        slot.device.reset();  // stops its timer thread before the node goes
    }
    m.slots.clear();
    m.hub_node.reset();
    m.root_hub_node.reset();
    g_object_unref(m.testbed);
}

int VirtualBus::free_port() const {
    std::lock_guard lock(impl_->mutex);
    for (int p : port_order)
        if (impl_->port_owner[p] == 0) return p;
    throw std::runtime_error("every hub port is taken");
}

PluggedBoard VirtualBus::plug(BoardConfig config) {
    if (impl_->kernel) return plug(std::move(config), 0);
    return plug(std::move(config), free_port());
}

PluggedBoard VirtualBus::plug(BoardConfig config, int port) {
    auto& m = *impl_;
    if (config.serial.empty()) {
        std::lock_guard lock(m.mutex);
        char serial[16];
        std::snprintf(serial, sizeof serial, "%04d", ++m.serial_counter);
        config.serial = m.options.serial_prefix + serial;
    }
    DeviceIdentity identity;
    identity.speed = config.speed;
    identity.product = config.product.empty() ? product_string(config.model) : config.product;
    identity.manufacturer = config.manufacturer.empty() ? "Tessory" : config.manufacturer;
    identity.serial = config.serial;
    identity.label = model_name(config.model);
    if (m.kernel) {
        int id = 0;
        {
            std::lock_guard lock(m.mutex);
            id = m.next_id++;
        }
        // Enumeration takes a while; board() and boards() stay usable meanwhile.
        return m.kernel->plug(id, std::move(config), port);
    }
    auto board = std::make_shared<Board>(std::move(config));
    Board* model = board.get();
    return plug_slot(std::move(board), model, std::move(identity), port);
}

PluggedBoard VirtualBus::plug_device(std::shared_ptr<UsbDevice> device, DeviceIdentity identity) {
    auto& m = *impl_;
    if (m.kernel) {
        int id = 0;
        {
            std::lock_guard lock(m.mutex);
            id = m.next_id++;
        }
        return m.kernel->plug_device(id, std::move(device), std::move(identity));
    }
    return plug_slot(std::move(device), nullptr, std::move(identity), free_port());
}

PluggedBoard VirtualBus::plug_slot(std::shared_ptr<UsbDevice> device, Board* model, DeviceIdentity identity, int port) {
    auto& m = *impl_;
    std::unique_lock lock(m.mutex);
    if (port < 1 || port > hub_ports) throw std::runtime_error("no hub port " + std::to_string(port));
    if (m.port_owner[port] != 0) throw std::runtime_error("hub port " + std::to_string(port) + " is taken");
    const int id = m.next_id++;
    const int devnum = m.next_devnum++;
    Impl::Slot slot;
    slot.port = port;
    slot.info.id = id;
    slot.info.port_path = "1-1." + std::to_string(port);
    slot.info.bus = 1;
    slot.info.address = static_cast<uint8_t>(devnum);
    slot.info.ports = {1, static_cast<uint8_t>(port)};
    slot.info.serial = identity.serial;
    const std::string devpath = std::string(controller_path) + "/usb1/1-1/" + slot.info.port_path;
    slot.info.syspath = "/sys" + devpath;
    slot.info.devnode = devnode_for(devnum);
    const int speed = identity.speed == Speed::super ? 5000 : 480;
    const std::vector<uint8_t> descriptors = device->descriptors();
    auto field = [&](size_t at) -> uint16_t {
        return descriptors.size() >= 18 ? static_cast<uint16_t>(descriptors[at] | descriptors[at + 1] << 8) : 0;
    };

    slot.device = std::move(device);
    slot.board = model;
    slot.target = std::make_unique<BoardTarget>(*slot.device, identity.speed);
    slot.node = std::make_unique<UsbfsNode>(m.testbed, m.root + slot.info.devnode, slot.info.devnode,
                                            slot.info.port_path, *slot.target, m.timer, m.options.trace);
    UsbfsNode* node = slot.node.get();
    node->set_capture(m.capture.get());
    slot.device->set_data_ready_callback([node] { node->pump(); });
    std::vector<std::pair<std::string, std::string>> attributes = {
        {"idVendor", hex4(field(8))}, {"idProduct", hex4(field(10))}, {"bcdDevice", hex4(field(12))}};
    // A string the device does not have is no attribute in sysfs either.
    if (!identity.product.empty()) attributes.emplace_back("product", identity.product);
    if (!identity.manufacturer.empty()) attributes.emplace_back("manufacturer", identity.manufacturer);
    if (!identity.serial.empty()) attributes.emplace_back("serial", identity.serial);
    attributes.emplace_back("devpath", "1." + std::to_string(port));
    const std::string text = record(devpath, devnum, speed, descriptors, attributes);
    m.port_owner[port] = id;
    slot.plugged = true;
    PluggedBoard info = slot.info;
    m.slots.emplace(id, std::move(slot));
    m.hub->set_connected(port, true);
    if (m.options.trace)
        std::fprintf(m.options.trace, "[vboard %s] plugged: %s serial %s, address %d\n", info.port_path.c_str(),
                     identity.label.c_str(), info.serial.c_str(), devnum);
    if (m.capture) record_enumeration(*m.capture, info.address, *m.slots.at(id).device, descriptors);
    m.add(text);  // sends the "add" uevent under the preload
    if (m.own_uevents) send_uevent(m.root, "add", {devpath, info.devnode, info.bus, devnum});
    return info;
}

void VirtualBus::unplug(int id) {
    auto& m = *impl_;
    if (m.kernel) return m.kernel->unplug(id);
    std::lock_guard lock(m.mutex);
    auto it = m.slots.find(id);
    if (it == m.slots.end() || !it->second.plugged) throw std::runtime_error("board " + std::to_string(id) + " is not plugged");
    Impl::Slot& slot = it->second;
    slot.node->disconnect();
    const std::string sys = slot.info.syspath;
    // umockdev's uevent needs the device's sysfs entry, so it goes out before the removal.
    if (m.own_uevents)
        send_uevent(m.root, "remove", {sys.substr(4), slot.info.devnode, slot.info.bus, slot.info.address});
    else
        umockdev_testbed_uevent(m.testbed, sys.c_str(), "remove");
    umockdev_testbed_remove_device(m.testbed, sys.c_str());
    slot.plugged = false;
    m.port_owner[slot.port] = 0;
    m.hub->set_connected(slot.port, false);
    if (m.options.trace) std::fprintf(m.options.trace, "[vboard %s] unplugged\n", slot.info.port_path.c_str());
}

bool VirtualBus::plugged(int id) const {
    if (impl_->kernel) return impl_->kernel->plugged(id);
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->slots.find(id);
    return it != impl_->slots.end() && it->second.plugged;
}

Board& VirtualBus::board(int id) {
    if (impl_->kernel) return impl_->kernel->board(id);
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->slots.find(id);
    if (it == impl_->slots.end()) throw std::runtime_error("no board " + std::to_string(id));
    if (!it->second.board) throw std::runtime_error("board " + std::to_string(id) + " is not a model");
    return *it->second.board;
}

const PluggedBoard& VirtualBus::info(int id) const {
    if (impl_->kernel) return impl_->kernel->info(id);
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->slots.find(id);
    if (it == impl_->slots.end()) throw std::runtime_error("no board " + std::to_string(id));
    return it->second.info;
}

std::vector<PluggedBoard> VirtualBus::boards() const {
    if (impl_->kernel) return impl_->kernel->boards();
    std::lock_guard lock(impl_->mutex);
    std::vector<PluggedBoard> out;
    for (const auto& [id, slot] : impl_->slots)
        if (slot.plugged) out.push_back(slot.info);
    return out;
}

std::string VirtualBus::umockdev_dir() const { return impl_->root; }

Transport VirtualBus::transport() const { return impl_->options.transport; }

}  // namespace vboard
