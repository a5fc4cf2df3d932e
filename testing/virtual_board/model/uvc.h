// The board's USB video function (UVC 1.1): its descriptors, the video-class requests of the
// control and streaming interfaces, and the frames each stream produces over its bulk IN endpoint.
// Transport-free like the rest of the model; the board calls it with its own lock held.
//
// Layout: interface 0 is VideoControl, interface 1 + i streams i (bulk IN 0x81 + i), the vendor
// interface follows. Frames are uncompressed YUY2 (320x240, 640x480, 1280x720 at 30 or 15 fps);
// frame k of a stream (k from 0 at each commit) carries k in its first 8 bytes (little-endian) and
// moving colour bars elsewhere (uvc::fill_frame, docs/02-without-hardware.md).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vboard::uvc {

using Clock = std::chrono::steady_clock;

struct FrameSize {
    uint16_t width;
    uint16_t height;
};
// bFrameIndex i + 1 of the one format; the first is the default.
inline constexpr std::array<FrameSize, 3> frame_sizes{{{320, 240}, {640, 480}, {1280, 720}}};
// Frame intervals in 100 ns: 30 fps (the default) and 15 fps.
inline constexpr std::array<uint32_t, 2> frame_intervals{333333, 666666};
inline constexpr size_t probe_length = 34;          // UVC 1.1 probe/commit control
inline constexpr uint32_t max_payload = 32 * 1024;  // dwMaxPayloadTransferSize
inline constexpr size_t header_length = 2;          // payload header: length, bmHeaderInfo
inline constexpr uint8_t header_fid = 0x01, header_eof = 0x02, header_eoh = 0x80;
inline constexpr int max_streams = 2;

constexpr uint8_t stream_endpoint(int stream) { return static_cast<uint8_t>(0x81 + stream); }

// Appends the interface association, the VideoControl interface and one VideoStreaming interface
// per stream (interfaces 0 to `streams`) to a configuration descriptor.
void append_descriptors(std::vector<uint8_t>& configuration, int streams, bool super);

// Frame `k` of size width x height in YUY2 (width * height * 2 bytes) into `frame`.
void fill_frame(std::vector<uint8_t>& frame, uint64_t k, uint16_t width, uint16_t height);

// One field-by-field view of the probe/commit control.
struct Probe {
    uint16_t bmHint = 0;
    uint8_t bFormatIndex = 1;
    uint8_t bFrameIndex = 1;
    uint32_t dwFrameInterval = frame_intervals[0];
    uint32_t dwMaxVideoFrameSize = 0;
    uint32_t dwMaxPayloadTransferSize = 0;

    static Probe parse(const uint8_t* bytes);       // 34 bytes
    std::array<uint8_t, probe_length> bytes() const;
};

struct StreamState {
    bool streaming = false;
    Probe committed;
    uint64_t frame = 0;          // number of the frame being sent (or next due)
    uint64_t frames_sent = 0;    // whole frames since the last commit
    bool fid = false;
};

enum class Outcome { data, stall, pending };
struct Answer {
    Outcome outcome = Outcome::data;
    size_t length = 0;
    std::optional<Clock::time_point> wake_at;  // pending until then
};

class VideoFunction {
public:
    VideoFunction(int streams, bool super);

    int streams() const { return streams_; }
    // The stream served by `ep`, or -1.
    int stream_of_endpoint(uint8_t ep) const;
    // A class request to interface (wIndex low byte) 0 to `streams`: data stage in/out, or a stall.
    Answer class_request(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                         uint16_t wLength, const uint8_t* out, uint8_t* in, Clock::time_point now);
    bool is_class_interface(uint16_t wIndex) const { return (wIndex & 0xFF) <= streams_; }
    // CLEAR_FEATURE(ENDPOINT_HALT) on a stream's endpoint, or SET_INTERFACE on its interface: stop.
    void stop(int stream);
    int stream_of_interface(uint16_t number) const;
    // A bulk IN transfer of `length` bytes on stream `stream`.
    Answer bulk_in(int stream, uint8_t* buffer, size_t length, Clock::time_point now);
    const StreamState& state(int stream) const { return state_[stream].s; }

private:
    struct Stream {
        StreamState s;
        Probe probe;
        Clock::time_point started{};
        std::vector<uint8_t> frame;     // frame s.frame, once begun
        size_t frame_pos = 0;           // frame bytes already in payloads
        std::vector<uint8_t> payload;   // the payload being sent (header included)
        size_t payload_pos = 0;
        bool eof = false;               // the current payload ends the frame
        bool zlp_due = false;           // the payload ended on a full transfer: a zero-length one ends it
    };
    Probe negotiate(Probe asked) const;
    Answer streaming_request(int stream, uint8_t bRequest, uint8_t selector, uint16_t wLength, const uint8_t* out,
                             uint8_t* in, Clock::time_point now);
    Answer control_request(uint8_t bRequest, uint8_t entity, uint8_t selector, uint16_t wLength, uint8_t* in);
    Answer fail(uint8_t code);
    void payload_done(Stream& st);

    int streams_;
    bool super_;
    uint8_t error_code_ = 0;  // request error code control
    std::array<Stream, max_streams> state_{};
};

}  // namespace vboard::uvc
