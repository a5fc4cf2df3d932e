// The board model on its own, without any transport: the USB-level contract a second transport
// (a USB gadget in a VM) would rely on.
#include <atomic>
#include <cstring>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "model/board.h"

namespace vboard {
namespace {

SetupPacket setup(uint8_t type, uint8_t req, uint16_t value, uint16_t index, uint16_t length) {
    return SetupPacket{type, req, value, index, length};
}

bool wait_for(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(BoardModel, SetupPacketParsesLittleEndianFields) {
    const uint8_t raw[8] = {0x40, 0x05, 0x15, 0x00, 0x0D, 0x01, 0x01, 0x00};
    const SetupPacket s = SetupPacket::parse(raw);
    EXPECT_EQ(s.bmRequestType, 0x40);
    EXPECT_EQ(s.bRequest, 5);
    EXPECT_EQ(s.wValue, 0x15);
    EXPECT_EQ(s.wIndex, 0x010D);
    EXPECT_EQ(s.wLength, 1);
    EXPECT_FALSE(s.is_in());
}

TEST(BoardModel, FifoTransfersAnswerPendingStallOrData) {
    Board b(BoardConfig{});
    uint8_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(b.bulk_out(0x05, buf, 8).status, UsbStatus::pending) << "not in FIFO mode";
    EXPECT_EQ(b.control(setup(0x40, 4, 1, 0, 0), nullptr, nullptr).status, UsbStatus::ok);
    EXPECT_EQ(b.bulk_in(0x85, buf, 8).status, UsbStatus::pending) << "nothing looped back yet";
    const auto out = b.bulk_out(0x05, buf, 8);
    EXPECT_EQ(out.status, UsbStatus::ok);
    EXPECT_EQ(out.length, 8u);
    uint8_t in[16] = {};
    const auto r = b.bulk_in(0x85, in, 16);
    EXPECT_EQ(r.status, UsbStatus::ok);
    EXPECT_EQ(r.length, 8u);
    EXPECT_EQ(in[7], 8);
    EXPECT_EQ(b.bulk_in(0x44, in, 16).status, UsbStatus::stall) << "no such endpoint";
    EXPECT_EQ(b.interrupt_in(0x86, in, 16).status, UsbStatus::pending);
    b.usb_reset();
    b.bulk_out(0x05, buf, 8);
    b.usb_reset();
    EXPECT_EQ(b.fifo().loopback_level, 0u);
}

TEST(BoardModel, DataReadyCallbackComesFromTheTimerForCameraAnswers) {
    Board b(BoardConfig{});
    std::atomic<int> calls{0};
    b.set_data_ready_callback([&] { calls.fetch_add(1); });
    // Interrupts on, then one byte to the echo camera.
    uint8_t v = 0x0E;
    ASSERT_EQ(b.control(setup(0x40, 5, 0x16, 0x010D, 1), &v, nullptr).status, UsbStatus::ok);
    v = 0x10;
    ASSERT_EQ(b.control(setup(0x40, 5, 0x15, 0x010D, 1), &v, nullptr).status, UsbStatus::ok);
    EXPECT_EQ(calls.load(), 0) << "USB-level calls never call back";
    v = 'x';
    ASSERT_EQ(b.control(setup(0x40, 5, 0x10, 0x010D, 1), &v, nullptr).status, UsbStatus::ok);
    ASSERT_TRUE(wait_for([&] { return calls.load() >= 1; }));
    uint8_t msg[4] = {};
    const auto r = b.interrupt_in(0x86, msg, 4);
    ASSERT_EQ(r.status, UsbStatus::ok);
    EXPECT_EQ(msg[0], 0xEF);
    EXPECT_EQ(msg[3], 0xDE);
    EXPECT_EQ(b.bridge().rx_fifo, std::vector<uint8_t>{'x'});
}

TEST(BoardModel, DelayAndStallFaultsAreReportedNotActed) {
    Board b(BoardConfig{});
    b.delay_control(1, std::chrono::milliseconds(1200));
    uint8_t level = 0xFF;
    const auto r = b.control(setup(0xC0, 5, 0x12, 0x010D, 1), nullptr, &level);
    EXPECT_EQ(r.status, UsbStatus::ok);
    EXPECT_EQ(r.delay.count(), 1200) << "the transport holds the answer back";
    EXPECT_EQ(level, 0);
    b.stall_control(1);
    EXPECT_EQ(b.control(setup(0xC0, 5, 0x12, 0x010D, 1), nullptr, &level).status, UsbStatus::stall);
    uint8_t dev[18] = {};
    const auto d = b.control(setup(0x80, 6, 0x0100, 0, 18), nullptr, dev);
    EXPECT_EQ(d.length, 18u);
    EXPECT_EQ(dev[1], 1);
    EXPECT_EQ(b.request_log().size(), 3u);
}

TEST(BoardModel, ChatterStopsWhenTheCameraChanges) {
    Board b(BoardConfig{});
    b.set_camera(CameraBehaviour::chatty(std::chrono::milliseconds(2)));
    ASSERT_TRUE(wait_for([&] { return b.bridge().rx_level >= 8; }));
    b.set_camera(CameraBehaviour::silent());
    // A tick runs under the board's lock and checks the camera generation there: none lands after
    // set_camera returned. An absence can only be watched for a while.
    const auto settled = b.bridge().rx_level;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(b.bridge().rx_level, settled);
}

// Hostile mode: the stream's bytes pick each answer; a used-up stream answers normally.
TEST(BoardModel, ReplySourceDecidesStallShortGarbageDelayAndNak) {
    struct Case {
        std::vector<uint8_t> stream;
        UsbStatus status;
        size_t length;                   // of an 18-byte device descriptor read
        std::chrono::milliseconds delay;
        uint8_t first;                   // first byte answered
    };
    const std::vector<Case> cases = {
        {{0x08}, UsbStatus::stall, 0, {}, 18},  // (the buffer is not sent back)
        {{0x09, 5, 0}, UsbStatus::ok, 5, {}, 18},
        {{0x0B, 0x80, 0x42, 0x43}, UsbStatus::ok, 18, {}, 0x42},  // lies with a complete answer
        {{0x0C, 2, 0x99, 0x98}, UsbStatus::ok, 2, {}, 0x99},
        {{0x0D, 3}, UsbStatus::ok, 18, std::chrono::milliseconds(60), 18},
        {{0x0D, 0xFF}, UsbStatus::ok, 18, std::chrono::milliseconds(1200), 18},
        {{}, UsbStatus::ok, 18, {}, 18},
    };
    for (const Case& c : cases) {
        Board b(BoardConfig{});
        auto source = std::make_shared<ReplySource>(c.stream);
        b.set_reply_source(source);
        uint8_t dev[18] = {};
        const auto r = b.control(setup(0x80, 6, 0x0100, 0, 18), nullptr, dev);
        EXPECT_EQ(r.status, c.status) << c.stream.size();
        EXPECT_EQ(r.length, c.length);
        EXPECT_EQ(r.delay, c.delay);
        EXPECT_EQ(dev[0], c.first);
        EXPECT_TRUE(source->exhausted());
        // Used up: normal answers from here on.
        EXPECT_EQ(b.control(setup(0x80, 6, 0x0100, 0, 18), nullptr, dev).length, 18u);
    }
    Board b(BoardConfig{});
    b.set_reply_source(std::make_shared<ReplySource>(std::vector<uint8_t>{0x0E, 0x0B, 0x80, 1, 2, 3, 4, 5}));
    uint8_t buf[4] = {};
    EXPECT_EQ(b.interrupt_in(Board::ep_notify, buf, 4).status, UsbStatus::pending) << "nak";
    const auto garbage = b.interrupt_in(Board::ep_notify, buf, 4);
    EXPECT_EQ(garbage.status, UsbStatus::ok) << "a message nobody raised";
    EXPECT_EQ(garbage.length, 4u);
    EXPECT_EQ(buf[0], 1);
}

// The video function as uvcvideo drives it: probe/commit negotiation (34-byte replies, a frame
// size and interval the board has, a non-zero payload size), stop and restart.
TEST(VideoModel, ProbeCommitNegotiation) {
    Board b(BoardConfig{});
    auto probe = [&](uint8_t request, uint8_t selector, std::vector<uint8_t> data) {
        data.resize(34);
        const bool in = request & 0x80;
        const auto r = b.control(setup(in ? 0xA1 : 0x21, request, selector << 8, 1, 34), in ? nullptr : data.data(),
                                 in ? data.data() : nullptr);
        EXPECT_EQ(r.status, UsbStatus::ok) << int(request);
        EXPECT_EQ(r.length, 34u);
        return uvc::Probe::parse(data.data());
    };
    struct Case {
        uint8_t frame;
        uint32_t interval;
        uint8_t want_frame;
        uint32_t want_interval, want_size;
    } cases[] = {
        {1, 333333, 1, 333333, 320 * 240 * 2},  {2, 666666, 2, 666666, 640 * 480 * 2},
        {3, 400000, 3, 333333, 1280 * 720 * 2}, {3, 600000, 3, 666666, 1280 * 720 * 2},
        {9, 333333, 1, 333333, 320 * 240 * 2},  // no such frame: the default
    };
    for (const auto& k : cases) {
        uvc::Probe asked;
        asked.bFrameIndex = k.frame;
        asked.dwFrameInterval = k.interval;
        const auto a = asked.bytes();
        probe(0x01, 1, {a.begin(), a.end()});
        const uvc::Probe got = probe(0x81, 1, {});
        EXPECT_EQ(got.bFormatIndex, 1);
        EXPECT_EQ(got.bFrameIndex, k.want_frame);
        EXPECT_EQ(got.dwFrameInterval, k.want_interval);
        EXPECT_EQ(got.dwMaxVideoFrameSize, k.want_size);
        EXPECT_EQ(got.dwMaxPayloadTransferSize, uvc::max_payload);
    }
    EXPECT_EQ(probe(0x87, 1, {}).bFrameIndex, 1);
    EXPECT_EQ(probe(0x83, 1, {}).bFrameIndex, 3);
    EXPECT_FALSE(b.video_stream(0).streaming);
    const auto cur = probe(0x81, 1, {});
    const auto c = cur.bytes();
    probe(0x01, 2, {c.begin(), c.end()});
    EXPECT_TRUE(b.video_stream(0).streaming) << "commit starts the stream";
    EXPECT_EQ(b.control(setup(0x02, 0x01, 0, 0x81, 0), nullptr, nullptr).status, UsbStatus::ok);
    EXPECT_FALSE(b.video_stream(0).streaming) << "CLEAR_FEATURE(ENDPOINT_HALT) stops it";
    // Unsupported: a control the streaming interface lacks, then the error code says why.
    uint8_t code = 0xEE;
    EXPECT_EQ(b.control(setup(0xA1, 0x81, 0x0300, 1, 34), nullptr, std::vector<uint8_t>(34).data()).status,
              UsbStatus::stall);
    EXPECT_EQ(b.control(setup(0xA1, 0x81, 0x0200, 0, 1), nullptr, &code).length, 1u);
    EXPECT_EQ(code, 0x06) << "invalid control";
    EXPECT_EQ(b.control(setup(0x21, 0x01, 0x0100, 1, 26), std::vector<uint8_t>(26).data(), nullptr).status,
              UsbStatus::stall) << "a UVC 1.0-sized probe";
}

// Payload framing read back the way uvcvideo reads bulk video: a payload ends at a short transfer
// or at dwMaxPayloadTransferSize; FID toggles per frame, EOF marks its last payload; frame k
// carries k and the bars. Transfer sizes: uvcvideo's at super and at high speed (payloads span
// two transfers), and one that the last payload fills exactly (a zero-length transfer ends it).
TEST(VideoModel, PayloadFramingAndFrameNumbers) {
    struct Case {
        Speed speed;
        uint8_t frame;
        size_t transfer;
    } cases[] = {{Speed::super, 1, 32768}, {Speed::high, 2, 16384}, {Speed::super, 1, 22538}};
    for (const auto& k : cases) {
        Board b(BoardConfig{.video_interfaces = 2, .speed = k.speed});
        ASSERT_EQ(b.endpoint_type(0x82), 3);
        uvc::Probe p;
        p.bFrameIndex = k.frame;
        auto bytes = p.bytes();
        ASSERT_EQ(b.control(setup(0x21, 0x01, 0x0200, 2, 34), bytes.data(), nullptr).status, UsbStatus::ok);
        const size_t size = k.frame == 1 ? 320 * 240 * 2 : 640 * 480 * 2;
        std::vector<uint8_t> buf(k.transfer), frame;
        size_t payload = 0, zero_length = 0;
        uint8_t header = 0;
        for (uint64_t n = 0; n < 3;) {
            TransferResult r;
            ASSERT_TRUE(wait_for([&] { return (r = b.bulk_in(0x82, buf.data(), buf.size())).status != UsbStatus::pending; }));
            ASSERT_EQ(r.status, UsbStatus::ok);
            zero_length += r.length == 0;
            if (payload == 0 && r.length > 0) {
                ASSERT_EQ(buf[0], 2);
                header = buf[1];
                frame.insert(frame.end(), buf.begin() + 2, buf.begin() + r.length);
            } else {
                frame.insert(frame.end(), buf.begin(), buf.begin() + r.length);
            }
            payload += r.length;
            if (r.length == buf.size() && payload < uvc::max_payload) continue;
            payload = 0;
            EXPECT_EQ(header & 0x01, n % 2) << "FID of frame " << n;
            if (!(header & 0x02)) continue;
            ASSERT_EQ(frame.size(), size) << "frame " << n;
            uint64_t number;
            std::memcpy(&number, frame.data(), 8);
            EXPECT_EQ(number, n);
            // Pixel pair 38/39 (Y U Y V), 40 pixels to a bar at width 320, bars moving left one
            // pixel a frame: white white, white yellow, yellow yellow; at width 640 still white.
            const std::vector<uint8_t> pairs[3] = {{180, 128, 180, 128}, {180, 128, 162, 128}, {162, 44, 162, 142}};
            EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 76, frame.begin() + 80), pairs[k.frame == 1 ? n : 0]);
            frame.clear();
            ++n;
        }
        EXPECT_EQ(zero_length > 0, k.transfer == 22538);
        EXPECT_EQ(b.video_stream(1).frames_sent, 3u);
        EXPECT_EQ(b.video_stream(0).frames_sent, 0u);
        b.stall_endpoint(0x82, 1);
        EXPECT_EQ(b.bulk_in(0x82, buf.data(), buf.size()).status, UsbStatus::stall) << "the video stall";
    }
}

}  // namespace
}  // namespace vboard
