#include "umockdev/usbfs_node.h"

#include <atomic>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <umockdev.h>

#include "umockdev/pcap_writer.h"

namespace vboard {
namespace {

// A umockdev ioctl handler class whose handle_ioctl forwards to its UsbfsNode.
struct NodeIoctl {
    UMockdevIoctlBase parent;
    UsbfsNode* owner;
};
struct NodeIoctlClass {
    UMockdevIoctlBaseClass parent_class;
};

gboolean node_handle_ioctl(UMockdevIoctlBase* self, UMockdevIoctlClient* client) {
    return reinterpret_cast<NodeIoctl*>(self)->owner->handle_ioctl(client) ? TRUE : FALSE;
}

void node_class_init(gpointer klass, gpointer) {
    reinterpret_cast<UMockdevIoctlBaseClass*>(klass)->handle_ioctl = node_handle_ioctl;
}

GType node_ioctl_type() {
    static const GType type = [] {
        GTypeInfo info{};
        info.class_size = sizeof(NodeIoctlClass);
        info.class_init = node_class_init;
        info.instance_size = sizeof(NodeIoctl);
        return g_type_register_static(umockdev_ioctl_base_get_type(), "VBoardUsbfsIoctl", &info,
                                      static_cast<GTypeFlags>(0));
    }();
    return type;
}

constexpr size_t pipe_page = 4096;
constexpr uint32_t capabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                  USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER;

const char* type_name(uint8_t t) {
    switch (t) {
    case USBDEVFS_URB_TYPE_CONTROL: return "control";
    case USBDEVFS_URB_TYPE_BULK: return "bulk";
    case USBDEVFS_URB_TYPE_INTERRUPT: return "interrupt";
    default: return "iso";
    }
}

}  // namespace

UsbfsNode::UsbfsNode(UMockdevTestbed* testbed, std::string fifo_path, std::string devnode, std::string name,
                     UsbTarget& target, TimerQueue& timer, FILE* trace)
    : testbed_(testbed), fifo_path_(std::move(fifo_path)), devnode_(std::move(devnode)), name_(std::move(name)),
      target_(target), timer_(timer), trace_(trace) {
    // Nothing to reap yet: the node must not poll writable. A one-page pipe, kept full.
    ::unlink(fifo_path_.c_str());
    if (::mkfifo(fifo_path_.c_str(), 0666) != 0)
        throw std::runtime_error("cannot create device node " + fifo_path_ + ": " + std::strerror(errno));
    fifo_fd_ = ::open(fifo_path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo_fd_ < 0) throw std::runtime_error("cannot open device node " + fifo_path_ + ": " + std::strerror(errno));
    ::fcntl(fifo_fd_, F_SETPIPE_SZ, static_cast<int>(pipe_page));
    scratch_.assign(pipe_page, 0);
    update_fifo_locked();

    handler_ = static_cast<UMockdevIoctlBase*>(g_object_new(node_ioctl_type(), nullptr));
    reinterpret_cast<NodeIoctl*>(handler_)->owner = this;
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, devnode_.c_str(), handler_, &error)) {
        std::string what = error ? error->message : "unknown error";
        if (error) g_error_free(error);
        ::close(fifo_fd_);
        g_object_unref(handler_);
        throw std::runtime_error("cannot attach ioctl handler to " + devnode_ + ": " + what);
    }
}

UsbfsNode::~UsbfsNode() {
    if (handler_) umockdev_testbed_detach_ioctl(testbed_, devnode_.c_str(), nullptr);
    release_all();
    {
        std::lock_guard lock(mutex_);
        for (UMockdevIoctlClient* c : clients_) g_object_unref(c);
        clients_.clear();
    }
    if (handler_) g_object_unref(handler_);
    if (fifo_fd_ >= 0) ::close(fifo_fd_);
}

void UsbfsNode::trace_line(const char* fmt, ...) {
    if (!trace_) return;
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    std::fprintf(trace_, "[vboard %s] %s\n", name_.c_str(), line);
    std::fflush(trace_);
}

void UsbfsNode::set_capture(PcapWriter* capture) {
    std::lock_guard lock(mutex_);
    capture_ = capture;
    unsigned bus = 0, device = 0;
    std::sscanf(devnode_.c_str(), "/dev/bus/usb/%u/%u", &bus, &device);
    capture_bus_ = static_cast<uint8_t>(bus);
    capture_device_ = static_cast<uint8_t>(device);
}

// What usbmon would show for this URB: the setup packet and OUT data on submission, the actual
// length and IN data on completion. Control URBs take their direction from the setup packet.
void UsbfsNode::capture_locked(char kind, const Urb& u, int status) {
    if (!capture_) return;
    const uint8_t* b = u.buffer ? u.buffer->data : nullptr;
    const bool control = u.type == USBDEVFS_URB_TYPE_CONTROL;
    const bool in = control ? (b && (b[0] & 0x80)) : (u.ep & 0x80) != 0;
    const uint8_t* payload = control ? (b ? b + 8 : nullptr) : b;
    PcapWriter::Event e;
    e.kind = kind;
    e.id = u.key;
    e.type = u.type;
    e.endpoint = static_cast<uint8_t>(u.ep | (in ? 0x80 : 0));
    e.bus = capture_bus_;
    e.device = capture_device_;
    e.status = status;
    if (kind == 'S') {
        e.length = control ? (b ? static_cast<uint32_t>(b[6] | b[7] << 8) : 0) : static_cast<uint32_t>(u.length);
        if (control) e.setup = b;
        if (!in && payload && e.length > 0) {
            e.data = payload;
            e.data_length = e.length;
        }
    } else if (kind == 'C') {
        e.length = static_cast<uint32_t>(u.done);
        if (in && payload && u.done > 0) {
            e.data = payload;
            e.data_length = u.done;
        }
    }
    capture_->write(e);
}

namespace {
// usbfs caps the memory of every URB in flight on the system (usbcore's usbfs_memory_mb, 16 MiB by
// default): a buffer plus the kernel's own bookkeeping is charged at submission and given back
// when the URB is reaped or dropped. Beyond the cap a submission fails with ENOMEM.
constexpr uint64_t usbfs_memory_limit = 16u << 20;
constexpr uint64_t urb_bookkeeping = 512;
std::atomic<uint64_t> usbfs_memory{0};

bool charge_usbfs_memory(uint64_t amount) {
    uint64_t used = usbfs_memory.load();
    do {
        if (used + amount > usbfs_memory_limit) return false;
    } while (!usbfs_memory.compare_exchange_weak(used, used + amount));
    return true;
}
}  // namespace

void UsbfsNode::free_urb(Urb& u) {
    usbfs_memory.fetch_sub(u.charged);
    u.charged = 0;
    if (u.buffer) g_object_unref(u.buffer);
    if (u.urb) g_object_unref(u.urb);
    u.buffer = nullptr;
    u.urb = nullptr;
}

UsbfsNode::UrbPtr UsbfsNode::new_urb() {
    if (spare_.empty()) return std::make_unique<Urb>();
    UrbPtr u = std::move(spare_.back());
    spare_.pop_back();
    *u = Urb{};
    return u;
}

void UsbfsNode::recycle(UrbPtr u) {
    free_urb(*u);
    if (spare_.size() < 64) spare_.push_back(std::move(u));
}

void UsbfsNode::release_all() {
    std::lock_guard lock(mutex_);
    for (auto& [ep, q] : pending_)
        for (auto& u : q) free_urb(*u);
    pending_.clear();
    for (auto& u : delayed_) free_urb(*u);
    delayed_.clear();
    for (auto& u : ready_) free_urb(*u);
    ready_.clear();
}

// The node polls writable (POLLOUT: "URB ready to reap") exactly while the ready queue is not
// empty: empty the pipe then, keep it full otherwise.
void UsbfsNode::update_fifo_locked() {
    if (!ready_.empty() && fifo_full_) {
        while (::read(fifo_fd_, scratch_.data(), scratch_.size()) > 0) {
        }
        fifo_full_ = false;
    } else if (ready_.empty() && !fifo_full_) {
        while (::write(fifo_fd_, scratch_.data(), scratch_.size()) > 0) {
        }
        fifo_full_ = true;
    }
}

void UsbfsNode::finish(UrbPtr u, int status) {
    u->status = status;
    capture_locked('C', *u, status);
    if (trace_ && u->type != USBDEVFS_URB_TYPE_CONTROL)
        trace_line("%s 0x%02X %s %zu of %zu: %s", type_name(u->type), u->ep, (u->ep & 0x80) ? "in" : "out", u->done,
                   u->length, status == 0 ? "ok" : std::strerror(-status));
    ready_.push_back(std::move(u));
}

void UsbfsNode::pump() {
    std::lock_guard lock(mutex_);
    pump_locked();
}

void UsbfsNode::pump_locked() {
    if (disconnected_) return;
    bool progress = true;
    while (progress) {
        progress = false;
        for (auto& [ep, q] : pending_) {
            while (!q.empty()) {
                Urb& u = *q.front();
                auto* data = u.buffer ? u.buffer->data : nullptr;
                TransferResult r;
                if (ep & 0x80) {
                    r = u.type == USBDEVFS_URB_TYPE_INTERRUPT ? target_.interrupt_in(ep, data, u.length)
                                                              : target_.bulk_in(ep, data, u.length);
                    if (r.status == UsbStatus::ok) u.done = r.length;
                } else {
                    r = target_.bulk_out(ep, data ? data + u.done : nullptr, u.length - u.done);
                    if (r.status == UsbStatus::ok) u.done += r.length;
                }
                if (r.status == UsbStatus::stall) {
                    UrbPtr done = std::move(q.front());
                    q.pop_front();
                    finish(std::move(done), -EPIPE);
                    progress = true;
                    continue;
                }
                if (r.status == UsbStatus::pending) break;
                if ((ep & 0x80) || u.done == u.length) {
                    UrbPtr done = std::move(q.front());
                    q.pop_front();
                    finish(std::move(done), 0);
                    progress = true;
                    continue;
                }
                if (r.length > 0) progress = true;  // partly taken: the IN side may make room
                break;
            }
        }
    }
    update_fifo_locked();
}

void UsbfsNode::release_due_locked() {
    const auto now = TimerQueue::Clock::now();
    for (auto it = delayed_.begin(); it != delayed_.end();) {
        if ((*it)->due <= now) {
            UrbPtr u = std::move(*it);
            it = delayed_.erase(it);
            const int status = u->status;
            finish(std::move(u), status);
        } else {
            ++it;
        }
    }
    update_fifo_locked();
}

void UsbfsNode::disconnect() {
    std::lock_guard lock(mutex_);
    if (disconnected_) return;
    disconnected_ = true;
    for (auto& [ep, q] : pending_)
        while (!q.empty()) {
            UrbPtr u = std::move(q.front());
            q.pop_front();
            finish(std::move(u), -ESHUTDOWN);
        }
    while (!delayed_.empty()) {
        UrbPtr u = std::move(delayed_.front());
        delayed_.pop_front();
        u->done = 0;
        finish(std::move(u), -ESHUTDOWN);
    }
    trace_line("unplugged");
    update_fifo_locked();
}

// umockdev says nothing when a client closes the node or its process dies; a closed connection is
// found on the next request instead (from any client), before that request is served.
void UsbfsNode::forget_closed_clients_locked() {
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (umockdev_ioctl_client_get_connected(*it)) {
            ++it;
            continue;
        }
        UMockdevIoctlClient* gone = *it;
        it = clients_.erase(it);
        forget_client_locked(gone);
        g_object_unref(gone);
    }
}

void UsbfsNode::forget_client_locked(UMockdevIoctlClient* client) {
    // URBs still in flight die with the file, as the kernel kills them on close: a capture shows
    // them completed as cancelled.
    auto drop = [&](std::deque<UrbPtr>& q, bool in_flight) {
        for (auto it = q.begin(); it != q.end();) {
            if ((*it)->owner == client) {
                if (in_flight) {
                    if ((*it)->type == USBDEVFS_URB_TYPE_CONTROL) (*it)->done = 0;  // answer never delivered
                    capture_locked('C', **it, -ENOENT);
                }
                recycle(std::move(*it));
                it = q.erase(it);
            } else {
                ++it;
            }
        }
    };
    for (auto& [ep, q] : pending_) drop(q, true);
    drop(delayed_, true);
    drop(ready_, false);
    for (auto it = claims_.begin(); it != claims_.end();) {
        if (it->second == client) {
            if (!disconnected_) target_.release(it->first);
            it = claims_.erase(it);
        } else {
            ++it;
        }
    }
    trace_line("a client closed the device");
    update_fifo_locked();
}

bool UsbfsNode::handle_ioctl(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard lock(mutex_);
    forget_closed_clients_locked();
    if (clients_.insert(client).second) g_object_ref(client);  // keeps its address from being reused

    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) {
        reap(client);
        return true;
    }
    if (disconnected_) {
        if (request == USBDEVFS_DISCARDURB) umockdev_ioctl_client_complete(client, -1, EINVAL);
        else umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }

    auto read_u32 = [&](unsigned& value) {
        GError* error = nullptr;
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &error);
        if (!d) {
            if (error) g_error_free(error);
            return false;
        }
        std::memcpy(&value, d->data, sizeof(uint32_t));
        g_object_unref(d);
        return true;
    };
    auto claim = [&](unsigned number, const char* how) {
        const auto held = claims_.find(static_cast<int>(number));
        ClaimResult r;
        if (held != claims_.end() && held->second != client) r = ClaimResult::busy;  // another open file has it
        else r = target_.claim(static_cast<int>(number));
        if (r == ClaimResult::ok) claims_[static_cast<int>(number)] = client;
        trace_line("%s interface %u: %s", how, number,
                   r == ClaimResult::ok ? "ok" : r == ClaimResult::busy ? "busy" : "no such interface");
        if (r == ClaimResult::ok) umockdev_ioctl_client_complete(client, 0, 0);
        else umockdev_ioctl_client_complete(client, -1, r == ClaimResult::busy ? EBUSY : ENOENT);
    };

    switch (request) {
    case USBDEVFS_SUBMITURB: submit(client); break;
    case USBDEVFS_DISCARDURB: discard(client); break;
    case USBDEVFS_GET_CAPABILITIES: {
        GError* error = nullptr;
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &error);
        if (!d) {
            if (error) g_error_free(error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            break;
        }
        std::memcpy(d->data, &capabilities, sizeof capabilities);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(d);
        break;
    }
    case USBDEVFS_CLAIMINTERFACE: {
        unsigned number = 0;
        if (!read_u32(number)) umockdev_ioctl_client_complete(client, -1, EFAULT);
        else claim(number, "claim");
        break;
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
        unsigned number = 0;
        if (!read_u32(number)) umockdev_ioctl_client_complete(client, -1, EFAULT);
        else claim(number, "disconnect-claim");
        break;
    }
    case USBDEVFS_RELEASEINTERFACE: {
        unsigned number = 0;
        if (!read_u32(number)) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            break;
        }
        const auto held = claims_.find(static_cast<int>(number));
        const bool was = held != claims_.end() && held->second == client && target_.release(static_cast<int>(number));
        if (was) claims_.erase(held);
        trace_line("release interface %u%s", number, was ? "" : ": was not claimed");
        umockdev_ioctl_client_complete(client, was ? 0 : -1, was ? 0 : EINVAL);
        break;
    }
    case USBDEVFS_IOCTL:
    case USBDEVFS_GETDRIVER:
        // No kernel driver is ever bound to these interfaces.
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        break;
    case USBDEVFS_RESET: {
        trace_line("reset");
        for (auto& [ep, q] : pending_)
            while (!q.empty()) {
                UrbPtr u = std::move(q.front());
                q.pop_front();
                finish(std::move(u), -ENOENT);
            }
        target_.reset();
        claims_.clear();
        update_fifo_locked();
        umockdev_ioctl_client_complete(client, 0, 0);
        break;
    }
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
        umockdev_ioctl_client_complete(client, 0, 0);
        break;
    case USBDEVFS_GET_SPEED: umockdev_ioctl_client_complete(client, target_.usbfs_speed(), 0); break;
    default: umockdev_ioctl_client_complete(client, -1, ENOTTY); break;
    }
    return true;
}

void UsbfsNode::submit(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UrbPtr u = new_urb();
    u->owner = client;
    std::memcpy(&u->key, arg->data, sizeof u->key);
    GError* error = nullptr;
    u->urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
    if (!u->urb) {
        if (error) g_error_free(error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    auto* urb = reinterpret_cast<usbdevfs_urb*>(u->urb->data);
    u->type = urb->type;
    u->ep = urb->endpoint;
    if (urb->buffer_length < 0) {
        free_urb(*u);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    u->length = static_cast<size_t>(urb->buffer_length);
    const int ep_type = target_.endpoint_type(u->ep);
    int error_code = 0;
    if (ep_type < 0) error_code = ENOENT;
    else if (ep_type != u->type) error_code = EINVAL;
    else if (u->type == USBDEVFS_URB_TYPE_CONTROL && u->length < 8) error_code = EINVAL;
    if (!error_code && u->length > 0) {
        u->buffer = umockdev_ioctl_data_resolve(u->urb, offsetof(usbdevfs_urb, buffer), u->length, &error);
        if (!u->buffer) {
            if (error) g_error_free(error);
            error_code = EFAULT;
        }
    }
    if (!error_code) {
        if (charge_usbfs_memory(u->length + urb_bookkeeping)) u->charged = u->length + urb_bookkeeping;
        else error_code = ENOMEM;
    }
    if (error_code) {
        capture_locked('E', *u, -error_code);
        free_urb(*u);
        umockdev_ioctl_client_complete(client, -1, error_code);
        return;
    }

    if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
        uint8_t* b = u->buffer->data;
        const SetupPacket setup = SetupPacket::parse(b);
        if (setup.wLength > u->length - 8) {
            capture_locked('E', *u, -EINVAL);
            free_urb(*u);
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
        }
        capture_locked('S', *u, -EINPROGRESS);
        const ControlResult r = target_.control(setup, b + 8, b + 8);
        if (trace_) {
            RequestRecord rec;
            rec.setup = setup;
            const size_t shown = setup.is_in() ? (r.status == UsbStatus::ok ? r.length : 0) : setup.wLength;
            rec.data.assign(b + 8, b + 8 + shown);
            rec.stalled = r.status == UsbStatus::stall;
            rec.delay = r.delay;
            trace_line("control %s", describe(rec).c_str());
        }
        u->done = r.status == UsbStatus::ok ? r.length : 0;
        const int status = r.status == UsbStatus::stall ? -EPIPE : 0;
        umockdev_ioctl_client_complete(client, 0, 0);
        if (r.delay.count() > 0) {
            u->status = status;
            u->due = TimerQueue::Clock::now() + r.delay;
            delayed_.push_back(std::move(u));
            timer_.schedule(TimerQueue::Clock::now() + r.delay, [this] {
                std::lock_guard lock(mutex_);
                release_due_locked();
            });
        } else {
            finish(std::move(u), status);
        }
        // A control request may have raised a notification or changed FIFO mode.
        pump_locked();
        return;
    }

    if (trace_)
        trace_line("submit %s 0x%02X %zu", type_name(u->type), u->ep, u->length);
    capture_locked('S', *u, -EINPROGRESS);
    const uint8_t ep = u->ep;
    pending_[ep].push_back(std::move(u));
    umockdev_ioctl_client_complete(client, 0, 0);
    pump_locked();
}

void UsbfsNode::reap(UMockdevIoctlClient* client) {
    auto mine = std::find_if(ready_.begin(), ready_.end(), [client](const UrbPtr& u) { return u->owner == client; });
    if (mine == ready_.end()) {
        umockdev_ioctl_client_complete(client, -1, disconnected_ ? ENODEV : EAGAIN);
        return;
    }
    GError* error = nullptr;
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*), &error);
    if (!slot) {
        if (error) g_error_free(error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    UrbPtr u = std::move(*mine);
    ready_.erase(mine);
    auto* urb = reinterpret_cast<usbdevfs_urb*>(u->urb->data);
    urb->status = u->status;
    urb->actual_length = static_cast<int>(u->done);
    umockdev_ioctl_data_set_ptr(slot, 0, u->urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(slot);
    recycle(std::move(u));
    update_fifo_locked();
}

void UsbfsNode::discard(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    uint64_t key = 0;
    std::memcpy(&key, arg->data, sizeof key);
    auto take = [&](std::deque<UrbPtr>& q) {
        for (auto it = q.begin(); it != q.end(); ++it)
            if ((*it)->key == key && (*it)->owner == client) {
                UrbPtr u = std::move(*it);
                q.erase(it);
                if (u->type == USBDEVFS_URB_TYPE_CONTROL) u->done = 0;
                else target_.cancelled(u->ep);
                finish(std::move(u), -ENOENT);
                return true;
            }
        return false;
    };
    bool found = take(delayed_);
    for (auto it = pending_.begin(); !found && it != pending_.end(); ++it) found = take(it->second);
    if (found) {
        umockdev_ioctl_client_complete(client, 0, 0);
        update_fifo_locked();
    } else {
        umockdev_ioctl_client_complete(client, -1, EINVAL);  // already finished
    }
}

}  // namespace vboard
