#include "model/uvc.h"

#include <algorithm>
#include <cstring>

namespace vboard::uvc {
namespace {

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
void set16(std::vector<uint8_t>& v, size_t at, size_t x) {
    v[at] = static_cast<uint8_t>(x);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
}
uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

constexpr uint8_t cs_interface = 0x24;
constexpr uint8_t input_terminal(int stream) { return static_cast<uint8_t>(1 + 2 * stream); }
constexpr uint8_t output_terminal(int stream) { return static_cast<uint8_t>(2 + 2 * stream); }
constexpr uint8_t yuy2_guid[16] = {'Y', 'U', 'Y', '2', 0x00, 0x00, 0x10, 0x00,
                                   0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr uint32_t clock_frequency = 48000000;

// Request codes and control selectors of the video class.
constexpr uint8_t set_cur = 0x01, get_cur = 0x81, get_min = 0x82, get_max = 0x83, get_len = 0x85,
                  get_info = 0x86, get_def = 0x87;
constexpr uint8_t vs_probe = 0x01, vs_commit = 0x02, vc_request_error_code = 0x02;
// Request error codes.
constexpr uint8_t err_none = 0x00, err_invalid_unit = 0x05, err_invalid_control = 0x06, err_invalid_request = 0x07;

uint32_t frame_bytes(uint8_t frame_index) {
    const FrameSize f = frame_sizes[frame_index - 1];
    return static_cast<uint32_t>(f.width) * f.height * 2;
}

// 75 % colour bars, left to right, as Y, U, V.
constexpr uint8_t bars[8][3] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                                {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};

}  // namespace

void append_descriptors(std::vector<uint8_t>& c, int streams, bool super) {
    const auto n = static_cast<uint8_t>(streams);
    c.insert(c.end(), {8, 0x0B, 0, static_cast<uint8_t>(1 + n), 0x0E, 0x03, 0x00, 0});
    c.insert(c.end(), {9, 0x04, 0, 0, 0, 0x0E, 0x01, 0x00, 0});
    // Header, then a camera and an output terminal per stream (a unit belongs to one chain only).
    const size_t header = c.size();
    c.insert(c.end(), {static_cast<uint8_t>(12 + n), cs_interface, 0x01});
    put16(c, 0x0110);
    put16(c, 0);  // wTotalLength, below
    put32(c, clock_frequency);
    c.push_back(n);
    for (int i = 0; i < streams; ++i) c.push_back(static_cast<uint8_t>(1 + i));
    for (int i = 0; i < streams; ++i) {
        c.insert(c.end(), {15, cs_interface, 0x02, input_terminal(i)});
        put16(c, 0x0201);  // camera sensor
        c.insert(c.end(), {0, 0, 0, 0, 0, 0, 0, 0, 0});  // no association, string, optics, controls
        c.insert(c.end(), {9, cs_interface, 0x03, output_terminal(i)});
        put16(c, 0x0101);  // streaming
        c.insert(c.end(), {0, input_terminal(i), 0});
    }
    set16(c, header + 5, c.size() - header);

    for (int i = 0; i < streams; ++i) {
        c.insert(c.end(), {9, 0x04, static_cast<uint8_t>(1 + i), 0, 1, 0x0E, 0x02, 0x00, 0});
        const size_t vs = c.size();
        c.insert(c.end(), {14, cs_interface, 0x01, 1});
        put16(c, 0);  // wTotalLength, below
        c.insert(c.end(), {stream_endpoint(i), 0, output_terminal(i), 0, 0, 0, 1, 0});
        c.insert(c.end(), {27, cs_interface, 0x04, 1, static_cast<uint8_t>(frame_sizes.size())});
        c.insert(c.end(), std::begin(yuy2_guid), std::end(yuy2_guid));
        c.insert(c.end(), {16, 1, 0, 0, 0, 0});
        for (size_t f = 0; f < frame_sizes.size(); ++f) {
            const uint32_t bytes = frame_bytes(static_cast<uint8_t>(f + 1));
            c.insert(c.end(), {static_cast<uint8_t>(26 + 4 * frame_intervals.size()), cs_interface, 0x05,
                               static_cast<uint8_t>(f + 1), 0});
            put16(c, frame_sizes[f].width);
            put16(c, frame_sizes[f].height);
            put32(c, bytes * 8 * 15);  // bits per second at the slowest rate
            put32(c, bytes * 8 * 30);
            put32(c, bytes);
            put32(c, frame_intervals[0]);
            c.push_back(static_cast<uint8_t>(frame_intervals.size()));
            for (uint32_t interval : frame_intervals) put32(c, interval);
        }
        c.insert(c.end(), {6, cs_interface, 0x0D, 1, 1, 4});  // BT.709 primaries and transfer, SMPTE 170M
        set16(c, vs + 4, c.size() - vs);
        c.insert(c.end(), {7, 0x05, stream_endpoint(i), 0x02});
        put16(c, super ? 1024 : 512);
        c.push_back(0);
        if (super) c.insert(c.end(), {6, 0x30, 15, 0, 0, 0});
    }
}

void fill_frame(std::vector<uint8_t>& frame, uint64_t k, uint16_t width, uint16_t height) {
    const size_t row = static_cast<size_t>(width) * 2;
    frame.resize(row * height);
    // Every row is the same: pixel x shows bar (x + k) mod width * 8 / width; a pixel pair shares
    // the U and V of its left pixel.
    const uint64_t shift = k % width;
    auto bar = [&](size_t x) { return bars[(x + shift) % width * 8 / width]; };
    for (size_t x = 0; x < width; x += 2) {
        const uint8_t* left = bar(x);
        frame[2 * x] = left[0];
        frame[2 * x + 1] = left[1];
        frame[2 * x + 2] = bar(x + 1)[0];
        frame[2 * x + 3] = left[2];
    }
    for (size_t y = 1; y < height; ++y) std::memcpy(&frame[y * row], &frame[0], row);
    for (int i = 0; i < 8; ++i) frame[static_cast<size_t>(i)] = static_cast<uint8_t>(k >> (8 * i));
}

Probe Probe::parse(const uint8_t* b) {
    Probe p;
    p.bmHint = get16(b);
    p.bFormatIndex = b[2];
    p.bFrameIndex = b[3];
    p.dwFrameInterval = get32(b + 4);
    p.dwMaxVideoFrameSize = get32(b + 18);
    p.dwMaxPayloadTransferSize = get32(b + 22);
    return p;
}

std::array<uint8_t, probe_length> Probe::bytes() const {
    std::vector<uint8_t> v;
    put16(v, bmHint);
    v.push_back(bFormatIndex);
    v.push_back(bFrameIndex);
    put32(v, dwFrameInterval);
    v.resize(18, 0);  // key frame rate, P frame rate, quality, window size, delay: not used
    put32(v, dwMaxVideoFrameSize);
    put32(v, dwMaxPayloadTransferSize);
    put32(v, clock_frequency);
    v.resize(probe_length, 0);  // framing info and versions: none for an uncompressed format
    std::array<uint8_t, probe_length> a{};
    std::copy(v.begin(), v.end(), a.begin());
    return a;
}

VideoFunction::VideoFunction(int streams, bool super)
    : streams_(std::clamp(streams, 0, max_streams)), super_(super) {
    for (auto& st : state_) st.probe = st.s.committed = negotiate(Probe{});
}

int VideoFunction::stream_of_endpoint(uint8_t ep) const {
    for (int i = 0; i < streams_; ++i)
        if (ep == stream_endpoint(i)) return i;
    return -1;
}

int VideoFunction::stream_of_interface(uint16_t number) const {
    return number >= 1 && number <= streams_ ? number - 1 : -1;
}

// What the device makes of the host's proposal: the one format, a frame size it has (else the
// default) and the nearest frame interval it offers.
Probe VideoFunction::negotiate(Probe asked) const {
    Probe p;
    p.bmHint = asked.bmHint;
    p.bFormatIndex = 1;
    p.bFrameIndex = asked.bFrameIndex >= 1 && asked.bFrameIndex <= frame_sizes.size() ? asked.bFrameIndex : 1;
    p.dwFrameInterval = frame_intervals[0];
    for (uint32_t interval : frame_intervals) {
        const auto distance = [&](uint32_t i) { return i > asked.dwFrameInterval ? i - asked.dwFrameInterval : asked.dwFrameInterval - i; };
        if (asked.dwFrameInterval != 0 && distance(interval) < distance(p.dwFrameInterval)) p.dwFrameInterval = interval;
    }
    p.dwMaxVideoFrameSize = frame_bytes(p.bFrameIndex);
    p.dwMaxPayloadTransferSize = max_payload;
    (void)super_;
    return p;
}

Answer VideoFunction::fail(uint8_t code) {
    error_code_ = code;
    return {Outcome::stall, 0, {}};
}

Answer VideoFunction::class_request(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                                    uint16_t wLength, const uint8_t* out, uint8_t* in, Clock::time_point now) {
    if ((bmRequestType & 0x1F) != 1) return fail(err_invalid_request);  // endpoint-recipient: none
    const uint8_t interface = wIndex & 0xFF, entity = static_cast<uint8_t>(wIndex >> 8);
    const uint8_t selector = static_cast<uint8_t>(wValue >> 8);
    if (bool(bmRequestType & 0x80) != bool(bRequest & 0x80)) return fail(err_invalid_request);
    if (interface == 0) return control_request(bRequest, entity, selector, wLength, in);
    const int stream = stream_of_interface(interface);
    if (stream < 0 || entity != 0) return fail(err_invalid_unit);
    return streaming_request(stream, bRequest, selector, wLength, out, in, now);
}

// VideoControl: only the interface's request error code control exists; the terminals have none.
Answer VideoFunction::control_request(uint8_t bRequest, uint8_t entity, uint8_t selector, uint16_t wLength,
                                      uint8_t* in) {
    if (entity != 0) {
        const bool known = entity >= 1 && entity <= output_terminal(streams_ - 1);
        return fail(known ? err_invalid_control : err_invalid_unit);
    }
    if (selector != vc_request_error_code) return fail(err_invalid_control);
    if ((bRequest != get_cur && bRequest != get_info) || wLength < 1) return fail(err_invalid_request);
    in[0] = bRequest == get_cur ? error_code_ : 0x01;  // GET supported, nothing else
    error_code_ = err_none;
    return {Outcome::data, 1, {}};
}

Answer VideoFunction::streaming_request(int stream, uint8_t bRequest, uint8_t selector, uint16_t wLength,
                                        const uint8_t* out, uint8_t* in, Clock::time_point now) {
    if (selector != vs_probe && selector != vs_commit) return fail(err_invalid_control);
    Stream& st = state_[stream];
    auto reply = [&](const uint8_t* bytes, size_t n) -> Answer {
        if (wLength != n) return fail(err_invalid_request);
        std::memcpy(in, bytes, n);
        error_code_ = err_none;
        return {Outcome::data, n, {}};
    };
    switch (bRequest) {
    case set_cur: {
        if (wLength != probe_length) return fail(err_invalid_request);
        const Probe p = negotiate(Probe::parse(out));
        if (selector == vs_probe) {
            st.probe = p;
        } else {
            // Commit starts the stream (bulk: no alternate setting to select), frame 0 now.
            st.s = StreamState{true, p, 0, 0, false};
            st.probe = p;
            st.started = now;
            st.frame.clear();
            st.frame_pos = st.payload_pos = 0;
            st.payload.clear();
            st.zlp_due = false;
        }
        error_code_ = err_none;
        return {Outcome::data, probe_length, {}};
    }
    case get_cur: {
        const auto b = (selector == vs_probe ? st.probe : st.s.committed).bytes();
        return reply(b.data(), b.size());
    }
    case get_len: {
        const uint8_t len[2] = {probe_length, 0};
        return reply(len, 2);
    }
    case get_info: {
        const uint8_t info = 0x03;  // GET and SET
        return reply(&info, 1);
    }
    case get_min:
    case get_max:
    case get_def: {
        if (selector != vs_probe) return fail(err_invalid_request);
        Probe p;
        p.bFrameIndex = bRequest == get_max ? static_cast<uint8_t>(frame_sizes.size()) : 1;
        p.dwFrameInterval = bRequest == get_max ? frame_intervals.back() : frame_intervals.front();
        const auto b = negotiate(p).bytes();
        return reply(b.data(), b.size());
    }
    default: return fail(err_invalid_request);
    }
}

void VideoFunction::stop(int stream) {
    if (stream < 0 || stream >= streams_) return;
    state_[stream].s.streaming = false;
}

void VideoFunction::payload_done(Stream& st) {
    st.payload_pos = 0;
    st.payload.clear();
    if (!st.eof) return;
    ++st.s.frame;
    ++st.s.frames_sent;
    st.s.fid = !st.s.fid;
    st.frame_pos = 0;
    st.frame.clear();
}

// One payload (header + frame data) is at most max_payload bytes and may span transfers; it ends
// with a short transfer, at max_payload, or with a zero-length transfer when it filled a transfer
// exactly below max_payload. Frame k is not begun before k committed intervals after the commit;
// a host that reads slower gets frames late, never with one missing.
Answer VideoFunction::bulk_in(int stream, uint8_t* buffer, size_t length, Clock::time_point now) {
    Stream& st = state_[stream];
    if (!st.s.streaming) return {Outcome::pending, 0, {}};
    if (st.zlp_due) {
        st.zlp_due = false;
        payload_done(st);
        return {Outcome::data, 0, {}};
    }
    if (st.payload.empty()) {
        const Probe& p = st.s.committed;
        if (st.frame.empty()) {
            const auto due = st.started + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::nanoseconds(uint64_t{p.dwFrameInterval} * 100 * st.s.frame));
            if (now < due) return {Outcome::pending, 0, due};
            const FrameSize f = frame_sizes[p.bFrameIndex - 1];
            fill_frame(st.frame, st.s.frame, f.width, f.height);
        }
        const size_t data = std::min(st.frame.size() - st.frame_pos, size_t{p.dwMaxPayloadTransferSize} - header_length);
        st.eof = st.frame_pos + data == st.frame.size();
        st.payload.resize(header_length + data);
        st.payload[0] = header_length;
        st.payload[1] = static_cast<uint8_t>(header_eoh | (st.s.fid ? header_fid : 0) | (st.eof ? header_eof : 0));
        std::memcpy(&st.payload[header_length], &st.frame[st.frame_pos], data);
        st.frame_pos += data;
        st.payload_pos = 0;
    }
    const size_t n = std::min(length, st.payload.size() - st.payload_pos);
    std::memcpy(buffer, &st.payload[st.payload_pos], n);
    st.payload_pos += n;
    if (st.payload_pos == st.payload.size()) {
        if (n == length && st.payload.size() < st.s.committed.dwMaxPayloadTransferSize) st.zlp_due = true;
        else payload_done(st);
    }
    return {Outcome::data, n, {}};
}

}  // namespace vboard::uvc
