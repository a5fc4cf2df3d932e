#include "usbip/usbip_device.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "model/board.h"
#include "usbip/socket_io.h"
#include "usbip/usbip_protocol.h"

namespace vboard {
namespace {

using namespace usbip;

constexpr uint32_t urb_short_not_ok = 0x0001;
// What one connection may hold in URBs not yet answered: beyond it a client is taken as hostile.
constexpr size_t max_outstanding = 4 * max_bulk_transfer;
// Unlinks of URBs still to come, likewise.
constexpr size_t max_unlinked_ahead = 1024;

const char* type_name(int type) { return type == 1 ? "interrupt" : type == 2 ? "control" : "bulk"; }

}  // namespace

struct UsbipDevice::Impl {
    struct Urb {
        uint32_t seqnum = 0;
        uint8_t ep = 0;  // endpoint address, direction bit included (control: 0)
        int type = 0;    // 1 interrupt, 2 control, 3 bulk
        bool in = false;
        uint32_t flags = 0;
        uint32_t number_of_packets = 0;  // echoed in the reply, as the kernel's own server does
        size_t length = 0;
        size_t done = 0;
        int status = 0;
        std::vector<uint8_t> data;  // OUT: what the host sent; IN: what goes back
        Clock::time_point due{};
    };

    UsbDevice& board;
    int sock;
    int wake_fd;
    std::string name;
    FILE* trace;
    std::function<void()> ended;
    EndpointTypes types{};
    std::atomic<bool> serving{true};
    std::atomic<bool> stopping{false};
    std::mutex stop_mutex;  // stop() may come from several threads at once
    std::thread thread;
    // Only the serving thread touches these.
    std::map<uint8_t, std::deque<Urb>> pending;  // per endpoint, in submission order
    std::deque<Urb> delayed;                     // control answers held back by the model
    // vhci_hcd can send the unlink of a URB before the URB itself (its transmit thread sends a
    // round of unlinks between two rounds of submissions). vhci_hcd gives a URB back on the
    // unlink's answer only once it has sent the URB, and drops the device on an answer to a URB
    // it gave back. So that answer waits for the URB to arrive, which is then dropped: answered
    // sooner, it could find the URB unsent, and the URB would never come back.
    uint32_t last_submit = 0;
    std::map<uint32_t, uint32_t> unlinked_ahead;  // the URB's seqnum -> its unlink's
    size_t outstanding = 0;                       // bytes of the URBs not yet answered

    Impl(UsbDevice& b, int s, std::string n, FILE* t, std::function<void()> e)
        : board(b), sock(s), name(std::move(n)), trace(t), ended(std::move(e)) {
        wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        for (uint8_t number = 0; number < 16; ++number)
            for (bool in : {false, true})
                types[endpoint_index(number, in)] =
                    board.endpoint_type(static_cast<uint8_t>(number | (in ? 0x80 : 0)));
    }

    void trace_line(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (!trace) return;
        char line[512];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(line, sizeof line, fmt, ap);
        va_end(ap);
        std::fprintf(trace, "[vboard %s] %s\n", name.c_str(), line);
        std::fflush(trace);
    }

    void run() {
        std::vector<uint8_t> header(urb_header_size);
        while (!stopping.load()) {
            int timeout = -1;
            if (!delayed.empty()) {
                const auto first = std::min_element(delayed.begin(), delayed.end(),
                                                    [](const Urb& a, const Urb& b) { return a.due < b.due; })->due;
                const auto wait = std::chrono::ceil<std::chrono::milliseconds>(first - Clock::now()).count();
                timeout = static_cast<int>(std::max<int64_t>(0, wait));
            }
            pollfd fds[2] = {{sock, POLLIN, 0}, {wake_fd, POLLIN, 0}};
            const int n = ::poll(fds, 2, timeout);
            if (n < 0 && errno != EINTR) break;
            if (fds[1].revents & POLLIN) {
                uint64_t count;
                [[maybe_unused]] ssize_t r = ::read(wake_fd, &count, sizeof count);
            }
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                if (!read_all(sock, header.data(), urb_header_size) || !handle(header.data())) break;
            }
            if (!release_due() || !pump()) break;
        }
        serving.store(false);
        // The kernel fails what it still has in flight; nothing here may answer it any more.
        pending.clear();
        delayed.clear();
        trace_line("unplugged");
        if (ended) ended();
    }

    bool known(uint32_t seqnum) const {
        auto has = [&](const std::deque<Urb>& q) {
            return std::any_of(q.begin(), q.end(), [&](const Urb& u) { return u.seqnum == seqnum; });
        };
        return has(delayed) || std::any_of(pending.begin(), pending.end(), [&](const auto& p) { return has(p.second); });
    }

    bool handle(const uint8_t* h) {
        const UrbCommand c = parse_urb_command(h, types);
        const char* fault = c.error ? c.error
                            : known(c.seqnum) ? "a sequence number still in use"
                            : c.command == cmd_submit && outstanding + c.length > max_outstanding
                                ? "more URBs outstanding than a device could hold"
                                : nullptr;
        if (fault) {
            trace_line("malformed USB/IP message (%s): closing", fault);
            return false;
        }
        if (c.command == cmd_unlink) return unlink(c.seqnum, c.unlink_target);
        Urb u;
        u.seqnum = c.seqnum;
        u.in = c.in;
        u.ep = c.ep;
        u.flags = c.flags;
        u.number_of_packets = c.number_of_packets;
        u.length = c.length;
        u.type = c.type;
        u.data.resize(u.length);
        if (c.payload > 0 && !read_all(sock, u.data.data(), c.payload)) return false;
        last_submit = c.seqnum;
        if (const auto ahead = unlinked_ahead.find(c.seqnum); ahead != unlinked_ahead.end()) {
            trace_line("drop %s 0x%02X %zu: unlinked before it came", type_name(u.type), u.ep, u.length);
            if (u.type != 2) board.transfer_cancelled(u.ep);
            const uint32_t unlink_seqnum = ahead->second;
            unlinked_ahead.erase(ahead);
            return answer_unlink(unlink_seqnum, -ECONNRESET);
        }
        outstanding += u.length;
        if (u.type == 2) return control(std::move(u), c.setup.data());
        if (u.type != 1 && u.type != 3) return complete(u, -EPIPE);  // no such endpoint: it stalls
        trace_line("submit %s 0x%02X %zu", type_name(u.type), u.ep, u.length);
        pending[u.ep].push_back(std::move(u));
        return true;  // the loop pumps next
    }

    bool control(Urb u, const uint8_t* setup_bytes) {
        const SetupPacket setup = SetupPacket::parse(setup_bytes);
        std::vector<uint8_t> in(setup.is_in() ? std::max<size_t>(setup.wLength, u.length) : 0);
        std::vector<uint8_t> out = setup.is_in() ? std::vector<uint8_t>{} : u.data;
        out.resize(std::max<size_t>(out.size(), setup.wLength));
        const ControlResult r = board.control(setup, out.data(), in.data());
        if (trace) {
            RequestRecord rec;
            rec.setup = setup;
            if (setup.is_in()) rec.data.assign(in.begin(), in.begin() + (r.status == UsbStatus::ok ? r.length : 0));
            else rec.data = u.data;
            rec.stalled = r.status == UsbStatus::stall;
            rec.delay = r.delay;
            trace_line("control %s", describe(rec).c_str());
        }
        const int status = r.status == UsbStatus::stall ? -EPIPE : 0;
        if (r.status == UsbStatus::ok) {
            u.done = setup.is_in() ? std::min(r.length, u.length) : u.length;
            if (setup.is_in()) std::copy(in.begin(), in.begin() + u.done, u.data.begin());
        }
        if (r.delay.count() > 0) {
            u.status = status;
            u.due = Clock::now() + r.delay;
            delayed.push_back(std::move(u));
            return true;
        }
        return complete(u, status);
    }

    bool unlink(uint32_t seqnum, uint32_t target) {
        std::optional<Urb> dropped;
        auto drop = [&](std::deque<Urb>& q) {
            auto it = std::find_if(q.begin(), q.end(), [&](const Urb& u) { return u.seqnum == target; });
            if (it == q.end()) return false;
            trace_line("unlink %s 0x%02X after %zu of %zu", type_name(it->type), it->ep, it->done, it->length);
            dropped = std::move(*it);
            q.erase(it);
            return true;
        };
        bool found = drop(delayed);
        for (auto it = pending.begin(); !found && it != pending.end(); ++it) found = drop(it->second);
        if (dropped && dropped->type != 2) board.transfer_cancelled(dropped->ep);
        // Seqnums grow with every command, so a target beyond the last submission is still to come.
        if (!found && static_cast<int32_t>(target - last_submit) > 0) {
            trace_line("unlink of seqnum %u before its submission", target);
            if (unlinked_ahead.size() >= max_unlinked_ahead) {
                trace_line("malformed USB/IP message (too many unlinks of URBs still to come): closing");
                return false;
            }
            unlinked_ahead[target] = seqnum;
            return true;
        }
        // An OUT transfer the chip took part of: a host controller reports those bytes as sent
        // when it cancels, so the submission is answered with them first. The unlink then finds
        // it answered (status 0), which vhci_hcd takes as "already given back".
        const bool answered = dropped && !dropped->in && dropped->done > 0;
        if (dropped && !answered) outstanding -= dropped->length;
        if (answered && !complete(*dropped, -ECONNRESET)) return false;
        // A URB already answered is not the kernel's to cancel any more: status 0 says so.
        return answer_unlink(seqnum, found && !answered ? -ECONNRESET : 0);
    }

    bool answer_unlink(uint32_t seqnum, int status) {
        auto h = encode_ret_unlink(seqnum, status);
        iovec iov{h.data(), h.size()};
        return write_all(sock, &iov, 1);
    }

    bool complete(Urb& u, int status) {
        outstanding -= u.length;
        if (status == 0 && u.in && (u.flags & urb_short_not_ok) && u.done < u.length) status = -EREMOTEIO;
        if (u.type != 2)
            trace_line("%s 0x%02X %s %zu of %zu: %s", type_name(u.type), u.ep, u.in ? "in" : "out", u.done, u.length,
                       status == 0 ? "ok" : std::strerror(-status));
        auto h = encode_ret_submit(u.seqnum, status, u.done, u.number_of_packets);
        iovec iov[2] = {{h.data(), h.size()}, {u.data.data(), u.in ? u.done : 0}};
        return write_all(sock, iov, u.in && u.done > 0 ? 2 : 1);
    }

    bool release_due() {
        const auto now = Clock::now();
        for (auto it = delayed.begin(); it != delayed.end();) {
            if (it->due > now) {
                ++it;
                continue;
            }
            Urb u = std::move(*it);
            it = delayed.erase(it);
            if (!complete(u, u.status)) return false;
        }
        return true;
    }

    // Offers every pending transfer to the model, oldest first per endpoint, until nothing moves.
    // The whole URB is here, so this side decides where it ends: an IN transfer ends with whatever
    // the chip has ready (a short packet, or a zero-length one at a packet boundary), an OUT
    // transfer is answered only once the chip has taken all of it (until then it is NAKed).
    bool pump() {
        bool progress = true;
        while (progress) {
            progress = false;
            for (auto& [ep, q] : pending) {
                while (!q.empty()) {
                    Urb& u = q.front();
                    TransferResult r;
                    if (u.in) {
                        r = u.type == 1 ? board.interrupt_in(ep, u.data.data(), u.length)
                                        : board.bulk_in(ep, u.data.data(), u.length);
                        if (r.status == UsbStatus::ok) u.done = r.length;
                    } else {
                        r = board.bulk_out(ep, u.data.data() + u.done, u.length - u.done);
                        if (r.status == UsbStatus::ok) u.done += r.length;
                    }
                    if (r.status == UsbStatus::pending) break;
                    if (r.status == UsbStatus::stall || u.in || u.done == u.length) {
                        Urb finished = std::move(q.front());
                        q.pop_front();
                        if (!complete(finished, r.status == UsbStatus::stall ? -EPIPE : 0)) return false;
                        progress = true;
                        continue;
                    }
                    if (r.length > 0) progress = true;  // partly taken: the IN side may make room
                    break;
                }
            }
        }
        return true;
    }
};

UsbipDevice::UsbipDevice(UsbDevice& board, int socket, std::string name, FILE* trace, std::function<void()> ended)
    : impl_(std::make_unique<Impl>(board, socket, std::move(name), trace, std::move(ended))) {
    impl_->thread = std::thread([this] { impl_->run(); });
}

UsbipDevice::~UsbipDevice() {
    stop();
    ::close(impl_->sock);
    ::close(impl_->wake_fd);
}

void UsbipDevice::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(impl_->wake_fd, &one, sizeof one);
}

void UsbipDevice::stop() {
    std::lock_guard lock(impl_->stop_mutex);
    impl_->stopping.store(true);
    // EOF on the kernel's end is an unplug to vhci_hcd; it also ends our blocking reads.
    ::shutdown(impl_->sock, SHUT_RDWR);
    wake();
    if (impl_->thread.joinable()) impl_->thread.join();
}

bool UsbipDevice::serving() const { return impl_->serving.load(); }

}  // namespace vboard
