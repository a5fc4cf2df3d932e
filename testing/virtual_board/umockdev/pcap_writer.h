// Writes USB traffic as a Linux usbmon capture through libpcap: a pcap file of link type 220 (USB
// with the padded 64-byte Linux header), the format of a live capture on usbmonN, so Wireshark and
// tshark open it like traffic recorded on real hardware.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

typedef struct pcap pcap_t;
typedef struct pcap_dumper pcap_dumper_t;

namespace vboard {

class PcapWriter {
public:
    // One usbmon event. `type` is the usbfs/usbmon transfer type (0 iso, 1 interrupt, 2 control,
    // 3 bulk); `endpoint` carries the direction bit (0x80 = IN, also on endpoint 0).
    struct Event {
        char kind = 'S';                 // 'S' submission, 'C' completion, 'E' submission error
        uint64_t id = 0;                 // pairs a submission with its completion
        uint8_t type = 0;
        uint8_t endpoint = 0;
        uint8_t device = 0;
        uint16_t bus = 0;
        const uint8_t* setup = nullptr;  // 8 bytes, control submissions only
        int32_t status = 0;              // -EINPROGRESS on a submission, the URB status otherwise
        uint32_t length = 0;             // requested (submission) or actual (completion) length
        const uint8_t* data = nullptr;   // the data stage that travels with this event, if any
        size_t data_length = 0;
    };

    // Creates (truncates) `path`. At most `snaplen` data bytes of each bulk or interrupt event are
    // kept; control data is kept whole, so that the enumeration and every answer replay. The header
    // still says how long the transfer was. Throws std::runtime_error when the file cannot be made.
    explicit PcapWriter(const std::string& path, size_t snaplen = default_snaplen);
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    void write(const Event& event);
    // One event as the kernel's usbmon hands it out: its 64-byte header (time stamp included) and
    // the data it captured, cut here to the snap length.
    void write_raw(const uint8_t* header, const uint8_t* data, size_t data_length);
    uint64_t packets() const;

    static constexpr size_t default_snaplen = 1u << 20;  // bigger than any transfer the library sends
    static constexpr uint32_t link_type = 220;            // LINKTYPE_USB_LINUX_MMAPPED
    static constexpr size_t header_size = 64;
    static constexpr size_t control_data_max = 0xFFFF;  // wLength's range

private:
    void append(const void* header, const uint8_t* data, size_t kept, uint32_t sec, uint32_t usec);

    mutable std::mutex mutex_;
    pcap_t* pcap_ = nullptr;          // the link type and snap length the dumper writes
    pcap_dumper_t* dumper_ = nullptr;
    std::vector<uint8_t> packet_;     // one record's bytes, reused
    size_t snaplen_;
    uint64_t packets_ = 0;
};

}  // namespace vboard
