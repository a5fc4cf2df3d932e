#include "replay/capture.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>

#include <pcap/pcap.h>

namespace vboard::replay {
namespace {

// Offsets in usbmon's event header (the same in both link types; 220 adds 16 bytes after them).
constexpr size_t off_id = 0, off_kind = 8, off_type = 9, off_ep = 10, off_dev = 11, off_bus = 12, off_flag_setup = 14;
constexpr size_t off_status = 28, off_length = 32, off_len_cap = 36, off_setup = 40, off_ndesc = 60;
constexpr size_t iso_descriptor_size = 16;

template <typename T>
T field(const uint8_t* p, size_t at) {
    T v;
    std::memcpy(&v, p + at, sizeof v);  // host byte order: libpcap swaps the header when the file's differs
    return v;
}

struct PcapCloser {
    void operator()(pcap_t* p) const { ::pcap_close(p); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

const char* link_name(int link) {
    const char* name = ::pcap_datalink_val_to_name(link);
    return name ? name : "unknown";
}

class Reader {
public:
    explicit Reader(int link) { capture_.link_type = link; }

    void add(const pcap_pkthdr& h, const uint8_t* p) {
        const uint64_t frame = ++capture_.frames;
        const size_t header = capture_.link_type == link_usb_linux_mmap ? 64 : 48;
        if (h.caplen < header)
            throw CaptureError("frame " + std::to_string(frame) + ": " + std::to_string(h.caplen) +
                               " bytes, shorter than a usbmon event header");
        const char kind = static_cast<char>(p[off_kind]);
        const uint8_t type = p[off_type];
        if (kind != 'S' && kind != 'C' && kind != 'E')
            throw CaptureError("frame " + std::to_string(frame) + ": event kind " + std::to_string(kind) +
                               " is none of usbmon's (S, C, E)");
        const uint8_t device = p[off_dev];
        // Isochronous transfers are no board's; address 0 is a device not yet enumerated.
        if (type == 0 || type > 3 || device == 0) return;
        size_t data_at = header;
        const size_t available = h.caplen;
        if (header == 64 && type == 0) data_at += size_t{field<uint32_t>(p, off_ndesc)} * iso_descriptor_size;
        const size_t cap = std::min<size_t>(field<uint32_t>(p, off_len_cap), data_at < available ? available - data_at : 0);
        const uint8_t* data = p + std::min(data_at, available);
        const int64_t us = int64_t{h.ts.tv_sec} * 1000000 + h.ts.tv_usec;

        DeviceTraffic& dev = device_of(field<uint16_t>(p, off_bus), device);
        const auto key = std::make_tuple(dev.bus, dev.address, field<uint64_t>(p, off_id));
        const uint8_t ep = p[off_ep];
        if (kind == 'S') {
            Transfer t;
            t.type = type;
            t.endpoint = ep;
            t.submit_frame = frame;
            t.submit_us = us;
            const bool setup_present = p[off_flag_setup] == 0;
            if (type == 2 && setup_present) {
                std::array<uint8_t, 8> setup;
                std::memcpy(setup.data(), p + off_setup, 8);
                t.setup = setup;
                t.endpoint = setup[0] & 0x80;
            }
            if (!t.in_direction()) {
                t.out_length = field<uint32_t>(p, off_length);
                t.out.assign(data, data + std::min<size_t>(cap, t.out_length));
            }
            in_flight_[key] = dev.transfers.size();
            dev.transfers.push_back(std::move(t));
            return;
        }
        Transfer* t = nullptr;
        if (auto it = in_flight_.find(key); it != in_flight_.end()) {
            t = &dev.transfers[it->second];
            in_flight_.erase(it);
        } else if (type != 2 && (ep & 0x80)) {
            // Submitted before the capture began: its data still came from the device.
            Transfer late;
            late.type = type;
            late.endpoint = ep;
            dev.transfers.push_back(std::move(late));
            t = &dev.transfers.back();
        } else {
            return;  // a completion whose request the capture does not have: nothing to serve
        }
        t->completed = true;
        t->status = field<int32_t>(p, off_status);
        t->complete_frame = frame;
        t->complete_us = us;
        t->in_length = field<uint32_t>(p, off_length);
        if (t->in_direction() && kind == 'C') t->in.assign(data, data + std::min<size_t>(cap, t->in_length));
        if (kind == 'E') t->in_length = 0;
    }

    uint64_t frames() const { return capture_.frames; }

    Capture finish() {
        std::sort(capture_.devices.begin(), capture_.devices.end(), [](const auto& a, const auto& b) {
            return std::tie(a.bus, a.address) < std::tie(b.bus, b.address);
        });
        return std::move(capture_);
    }

private:
    DeviceTraffic& device_of(uint16_t bus, uint8_t address) {
        for (auto& d : capture_.devices)
            if (d.bus == bus && d.address == address) return d;
        capture_.devices.push_back({bus, address, {}});
        return capture_.devices.back();
    }

    Capture capture_;
    std::map<std::tuple<uint16_t, uint8_t, uint64_t>, size_t> in_flight_;  // URB id -> its transfer
};

Capture read_all(pcap_t* pcap) {
    const int link = ::pcap_datalink(pcap);
    if (link != link_usb_linux && link != link_usb_linux_mmap)
        throw CaptureError("link type " + std::to_string(link) + " (" + link_name(link) +
                           ") is not a Linux usbmon capture (220 or 189)");
    Reader reader(link);
    for (;;) {
        pcap_pkthdr* h = nullptr;
        const u_char* data = nullptr;
        const int r = ::pcap_next_ex(pcap, &h, &data);
        if (r == PCAP_ERROR_BREAK) break;  // end of the file
        if (r != 1) {
            const std::string why = ::pcap_geterr(pcap);
            throw CaptureError((why.find("truncated") != std::string::npos ? "truncated capture after frame "
                                                                           : "broken capture after frame ") +
                               std::to_string(reader.frames()) + ": " + why);
        }
        reader.add(*h, data);
    }
    return reader.finish();
}

// libpcap's words for a file it cannot open, made plain.
[[noreturn]] void refuse(const char* why) {
    const std::string what = why;
    if (what.find("truncated") != std::string::npos) throw CaptureError("truncated capture: " + what);
    throw CaptureError("not a pcap or pcapng capture: " + what);
}

}  // namespace

Capture read_capture(std::span<const uint8_t> bytes) {
    if (bytes.empty()) throw CaptureError("empty file: not a capture");
    std::unique_ptr<FILE, FileCloser> file(
        ::fmemopen(const_cast<uint8_t*>(bytes.data()), bytes.size(), "rb"));
    if (!file) throw CaptureError(std::string("cannot read the capture: ") + std::strerror(errno));
    char error[PCAP_ERRBUF_SIZE] = {};
    PcapHandle pcap(::pcap_fopen_offline(file.get(), error));
    if (!pcap) refuse(error);
    file.release();  // libpcap closes it with the handle
    return read_all(pcap.get());
}

Capture read_capture_file(const std::string& path) {
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rbe"));
    if (!file) throw CaptureError(std::string(std::strerror(errno)));
    if (std::fgetc(file.get()) == EOF) throw CaptureError("empty file: not a capture");
    std::rewind(file.get());
    char error[PCAP_ERRBUF_SIZE] = {};
    PcapHandle pcap(::pcap_fopen_offline(file.get(), error));
    if (!pcap) refuse(error);
    file.release();
    return read_all(pcap.get());
}

}  // namespace vboard::replay
