#include "umockdev/pcap_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <vector>

#include <pcap/pcap.h>

namespace vboard {
namespace {

// The kernel's struct usbmon_packet (binary interface of usbmon, "mmapped" variant).
struct UsbmonPacket {
    uint64_t id;
    uint8_t type;
    uint8_t xfer_type;
    uint8_t epnum;
    uint8_t devnum;
    uint16_t busnum;
    char flag_setup;
    char flag_data;
    int64_t ts_sec;
    int32_t ts_usec;
    int32_t status;
    uint32_t length;
    uint32_t len_cap;
    uint8_t setup[8];
    int32_t interval;
    int32_t start_frame;
    uint32_t xfer_flags;
    uint32_t ndesc;
};
static_assert(sizeof(UsbmonPacket) == PcapWriter::header_size);

constexpr uint32_t urb_dir_in = 0x0200;  // the kernel's URB_DIR_IN transfer flag
constexpr uint8_t control_type = 2;

}  // namespace

PcapWriter::PcapWriter(const std::string& path, size_t snaplen) : snaplen_(snaplen) {
    const int file_snaplen =
        static_cast<int>(std::min<size_t>(header_size + std::max(snaplen_, control_data_max), INT32_MAX));
    pcap_ = ::pcap_open_dead(link_type, file_snaplen);
    if (!pcap_) throw std::runtime_error("cannot create capture " + path + ": out of memory");
    // Opened here rather than by libpcap, so that the error names the cause as errno has it.
    FILE* file = std::fopen(path.c_str(), "wbe");
    if (!file) {
        const int error = errno;
        ::pcap_close(pcap_);
        throw std::runtime_error("cannot create capture " + path + ": " + std::strerror(error));
    }
    dumper_ = ::pcap_dump_fopen(pcap_, file);  // owns the file from here on
    if (!dumper_ || ::pcap_dump_flush(dumper_) != 0) {
        const std::string why = ::pcap_geterr(pcap_);
        if (dumper_) ::pcap_dump_close(dumper_);
        else std::fclose(file);
        ::pcap_close(pcap_);
        throw std::runtime_error("cannot write capture " + path + ": " + why);
    }
}

PcapWriter::~PcapWriter() {
    ::pcap_dump_close(dumper_);
    ::pcap_close(pcap_);
}

void PcapWriter::write(const Event& e) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const size_t kept = e.data ? std::min(e.data_length, e.type == control_type ? control_data_max : snaplen_) : 0;

    UsbmonPacket p{};
    p.id = e.id;
    p.type = static_cast<uint8_t>(e.kind);
    p.xfer_type = e.type;
    p.epnum = e.endpoint;
    p.devnum = e.device;
    p.busnum = e.bus;
    // usbmon's flags: 0 when the setup packet / data is present; '-' no setup, '<' data to come
    // back from the device, '>' data already sent to it.
    p.flag_setup = e.setup ? 0 : '-';
    p.flag_data = e.data ? 0 : (e.endpoint & 0x80) ? '<' : '>';
    p.ts_sec = now.tv_sec;
    p.ts_usec = static_cast<int32_t>(now.tv_nsec / 1000);
    p.status = e.status;
    p.length = e.length;
    p.len_cap = static_cast<uint32_t>(kept);
    if (e.setup) std::memcpy(p.setup, e.setup, sizeof p.setup);
    p.xfer_flags = (e.endpoint & 0x80) ? urb_dir_in : 0;

    append(&p, e.data, kept, static_cast<uint32_t>(now.tv_sec), static_cast<uint32_t>(p.ts_usec));
}

void PcapWriter::write_raw(const uint8_t* header, const uint8_t* data, size_t data_length) {
    UsbmonPacket p;
    std::memcpy(&p, header, sizeof p);
    const size_t limit = p.xfer_type == control_type ? control_data_max : snaplen_;
    const size_t kept = data ? std::min({data_length, size_t{p.len_cap}, limit}) : 0;
    p.len_cap = static_cast<uint32_t>(kept);
    append(&p, data, kept, static_cast<uint32_t>(p.ts_sec), static_cast<uint32_t>(p.ts_usec));
}

void PcapWriter::append(const void* header, const uint8_t* data, size_t kept, uint32_t sec, uint32_t usec) {
    pcap_pkthdr record{};
    record.ts.tv_sec = sec;
    record.ts.tv_usec = usec;
    record.caplen = static_cast<uint32_t>(header_size + kept);
    record.len = record.caplen;

    std::lock_guard lock(mutex_);
    packet_.resize(header_size + kept);
    std::memcpy(packet_.data(), header, header_size);
    if (kept) std::memcpy(packet_.data() + header_size, data, kept);
    ::pcap_dump(reinterpret_cast<u_char*>(dumper_), &record, packet_.data());
    // A launcher killed mid-run still leaves a capture that ends on a whole packet.
    ::pcap_dump_flush(dumper_);
    ++packets_;
}

uint64_t PcapWriter::packets() const {
    std::lock_guard lock(mutex_);
    return packets_;
}

}  // namespace vboard
