#include "umockdev/pcap_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace vboard {
namespace {

// The file is written in host byte order, as libpcap does; readers tell it from the magic number.
struct FileHeader {
    uint32_t magic = 0xa1b2c3d4;  // microsecond time stamps
    uint16_t version_major = 2;
    uint16_t version_minor = 4;
    int32_t thiszone = 0;
    uint32_t sigfigs = 0;
    uint32_t snaplen = 0;
    uint32_t network = PcapWriter::link_type;
};
static_assert(sizeof(FileHeader) == 24);

struct RecordHeader {
    uint32_t ts_sec;
    uint32_t ts_usec;
    uint32_t incl_len;
    uint32_t orig_len;
};
static_assert(sizeof(RecordHeader) == 16);

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

}  // namespace

PcapWriter::PcapWriter(const std::string& path, size_t snaplen) : snaplen_(snaplen) {
    file_ = std::fopen(path.c_str(), "wbe");
    if (!file_) throw std::runtime_error("cannot create capture " + path + ": " + std::strerror(errno));
    FileHeader header;
    header.snaplen = static_cast<uint32_t>(std::min<size_t>(header_size + snaplen_, UINT32_MAX));
    if (std::fwrite(&header, sizeof header, 1, file_) != 1 || std::fflush(file_) != 0) {
        const int error = errno;
        std::fclose(file_);
        throw std::runtime_error("cannot write capture " + path + ": " + std::strerror(error));
    }
}

PcapWriter::~PcapWriter() {
    if (file_) std::fclose(file_);
}

void PcapWriter::write(const Event& e) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const size_t kept = e.data ? std::min(e.data_length, snaplen_) : 0;

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
    const size_t kept = data ? std::min({data_length, size_t{p.len_cap}, snaplen_}) : 0;
    p.len_cap = static_cast<uint32_t>(kept);
    append(&p, data, kept, static_cast<uint32_t>(p.ts_sec), static_cast<uint32_t>(p.ts_usec));
}

void PcapWriter::append(const void* header, const uint8_t* data, size_t kept, uint32_t sec, uint32_t usec) {
    RecordHeader r{};
    r.ts_sec = sec;
    r.ts_usec = usec;
    r.incl_len = static_cast<uint32_t>(header_size + kept);
    r.orig_len = r.incl_len;

    std::lock_guard lock(mutex_);
    std::fwrite(&r, sizeof r, 1, file_);
    std::fwrite(header, header_size, 1, file_);
    if (kept) std::fwrite(data, 1, kept, file_);
    // A launcher killed mid-run still leaves a capture that ends on a whole packet.
    std::fflush(file_);
    ++packets_;
}

uint64_t PcapWriter::packets() const {
    std::lock_guard lock(mutex_);
    return packets_;
}

}  // namespace vboard
