// Blocking writes and reads on the FIFO-mode pipes of a virtual board: how writes are cut into
// transfers, time-outs, partial reads, short buffers, and the checks of the entry points.
#include <regex>

#include "pipe_fixture.h"
#include "support/threads.h"

namespace pipe_test {
namespace {

// The lengths of the bulk OUT transfers on 0x05 that the board's trace shows, in order.
std::vector<std::size_t> out_submissions(const std::string& trace) {
    std::vector<std::size_t> lengths;
    static const std::regex line(R"(submit bulk 0x05 (\d+))");
    for (auto it = std::sregex_iterator(trace.begin(), trace.end(), line);
         it != std::sregex_iterator(); ++it)
        lengths.push_back(std::stoul((*it)[1]));
    return lengths;
}

TEST_F(PipeTest, DefaultConfigurationKeepsEveryTransferSubmitted) {
    log_capture log;
    plug_and_open();
    EXPECT_TRUE(log.contains("Create EP85 URB count:8 BUF count:256 BUF size:32768\r\n"));
    EXPECT_TRUE(log.contains("Create EP5 URB count:8 BUF count:256 BUF size:32768\r\n"));

    // Nothing was written, so every IN transfer waits at the board with its buffer.
    FT_DumpStatus(handle, fifo, false);
    EXPECT_TRUE(log.wait_for("EP85 state:streaming failure:0 q_lib:248 q_app:0 q_urb:0 q_err:0\r\n")) << log.text();
    // An OUT pipe at rest: every buffer free for the writer, every transfer idle.
    FT_DumpStatus(handle, fifo, true);
    EXPECT_TRUE(log.wait_for("EP5 state:streaming failure:0 q_lib:0 q_app:256 q_urb:8 q_err:0\r\n")) << log.text();

    // FIFO 0 exists in the FIFO-mode table but its pipes were never created; 9 does not exist.
    const std::string before = log.text();
    FT_DumpStatus(handle, 0, false);
    FT_DumpStatus(handle, 9, true);
    FT_DumpStatus(nullptr, fifo, true);
    EXPECT_EQ(log.text(), before);
}

TEST_F(PipeTest, WritesAreCutIntoBuffersAndQueuedBeforeTheyAreSent) {
    // The trace must be attached before the bus exists; it stays open for the process.
    static text_file* trace = new text_file;
    bus(trace->file());
    FT_TRANSFER_CONF conf = fifo_mode_conf();
    conf.aPipe[1].dwBufSize = 32768;
    plug_and_open(conf);

    std::uint32_t n = 12345;
    const std::uint8_t dummy = 0;
    EXPECT_EQ(FT_WritePipeEx(handle, fifo, &dummy, 0, &n, 1000), 0u);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(FT_WritePipe(handle, ep_out, nullptr, 0, &n, nullptr), 0u);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(write_queue(), 0u);

    const auto data = pattern(0, 100000);
    ASSERT_EQ(FT_WritePipe(handle, ep_out, data.data(), 100000, &n, nullptr), 0u);
    EXPECT_EQ(n, 100000u);
    ASSERT_TRUE(eventually([&] { return board().fifo().bytes_out == 100000; }));
    EXPECT_EQ(out_submissions(trace->text()),
              (std::vector<std::size_t>{32768, 32768, 32768, 1696}));
    ASSERT_TRUE(eventually([&] { return write_queue() == 0; }));

    // What came back through the loopback is what was written.
    ASSERT_TRUE(eventually([&] { return read_queue() == 100000; }));
    FT_RESULT st = 0;
    EXPECT_EQ(read(100000, 1000, st), data);
    EXPECT_EQ(st, 0u);
}

TEST_F(PipeTest, WriteTimesOutWhenEveryBufferIsInFlight) {
    // No IN pipe drains the loopback, so once it is full the board holds every OUT transfer.
    FT_TRANSFER_CONF conf = fifo_mode_conf();
    conf.aPipe[0].bDisabled = 1;
    conf.aPipe[1].bUrbNum = 2;
    conf.aPipe[1].wBufNum = 4;
    conf.aPipe[1].dwBufSize = 65536;
    plug_and_open(conf);

    const std::uint32_t fill = fill_loopback();
    ASSERT_FALSE(HasFailure());

    // Four buffers take four of the five chunks; the fifth finds none before the deadline.
    const auto more = pattern(fill, 5 * 65536);
    std::uint32_t n = 0;
    EXPECT_EQ(FT_WritePipeEx(handle, fifo, more.data(), 5 * 65536, &n, 300), 0u);
    EXPECT_EQ(n, 4u * 65536);
    EXPECT_EQ(write_queue(), 4u * 65536);

    const std::uint8_t byte = 1;
    EXPECT_EQ(FT_WritePipeEx(handle, fifo, &byte, 1, &n, 200),
              static_cast<FT_RESULT>(STATUS_TIMED_OUT));
    EXPECT_EQ(n, 0u);
    ASSERT_EQ(FT_SetPipeTimeout(handle, ep_out, 100), 0u);
    EXPECT_EQ(FT_WritePipe(handle, ep_out, &byte, 1, &n, nullptr),
              static_cast<FT_RESULT>(STATUS_TIMED_OUT));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(write_queue(), 4u * 65536);

    // Waiting behind another call counts against a call's own time-out: this write returns at
    // its own while the first still waits for a buffer.
    std::atomic<bool> first_done{false};
    std::atomic<long> first_tid{0};
    std::thread first([&] {
        first_tid = test_support::this_thread_id();
        std::uint32_t moved = 0;
        FT_WritePipeEx(handle, fifo, more.data(), 65536, &moved, 60000);
        first_done = true;
    });
    ASSERT_TRUE(eventually([&] { return first_tid != 0 && test_support::stays_asleep(first_tid); }));
    EXPECT_EQ(FT_WritePipeEx(handle, fifo, &byte, 1, &n, 200),
              static_cast<FT_RESULT>(STATUS_TIMED_OUT));
    EXPECT_FALSE(first_done.load()) << "the first write ended: nothing was waited for";
    ASSERT_EQ(FT_FlushPipe(handle, ep_out), 0u); // ends the first write
    first.join();
}

TEST_F(PipeTest, ReadsServeWhatArrivedAndKeepTheirPlaceInABuffer) {
    plug_and_open();
    FT_RESULT st = 0;
    EXPECT_TRUE(read(100, 0, st).empty());
    EXPECT_EQ(st, static_cast<FT_RESULT>(STATUS_TIMED_OUT));
    ASSERT_EQ(FT_SetPipeTimeout(handle, ep_in, 0), 0u);
    std::uint8_t b[16];
    std::uint32_t n = 7;
    EXPECT_EQ(FT_ReadPipe(handle, ep_in, b, sizeof b, &n, nullptr),
              static_cast<FT_RESULT>(STATUS_TIMED_OUT));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(FT_ReadPipe(handle, ep_in, b, 0, &n, nullptr), 0u);

    // One OUT transfer of 1000 bytes comes back as one short IN transfer: one buffer.
    const auto data = pattern(0, 1000);
    write_all(data);
    ASSERT_TRUE(eventually([&] { return read_queue() == 1000; }));
    const auto head = read(100, 0, st);
    EXPECT_EQ(st, 0u);
    EXPECT_EQ(head, std::vector<std::uint8_t>(data.begin(), data.begin() + 100));
    EXPECT_EQ(read_queue(), 900u);
    const auto rest = read(900, 0, st);
    EXPECT_EQ(st, 0u);
    EXPECT_EQ(rest, std::vector<std::uint8_t>(data.begin() + 100, data.end()));
    EXPECT_EQ(read_queue(), 0u);
    EXPECT_TRUE(read(1, 0, st).empty());
    EXPECT_EQ(st, static_cast<FT_RESULT>(STATUS_TIMED_OUT));
}

TEST_F(PipeTest, StopOnShortBufferEndsAReadAtAShortTransfer) {
    FT_TRANSFER_CONF conf = fifo_mode_conf();
    conf.bStopOnShortBuf = 1;
    plug_and_open(conf);

    std::vector<std::uint8_t> got;
    FT_RESULT st = 1;
    steady::time_point returned;
    std::thread reader([&] {
        got = read(65536, 30000, st);
        returned = steady::now();
    });
    std::this_thread::sleep_for(50ms); // let the read block first; the check does not rely on it
    const auto data = pattern(0, 1000);
    const auto written = steady::now();
    write_all(data);
    reader.join();
    EXPECT_EQ(st, 0u);
    EXPECT_EQ(got, data);
    // Far from its 30 s deadline: the short buffer ended the read.
    EXPECT_LT(returned - written, 10s);
}

TEST_F(PipeTest, WithoutStopOnShortBufferAReadWaitsForItsDeadline) {
    plug_and_open();
    const auto data = pattern(0, 1000);
    write_all(data);
    ASSERT_TRUE(eventually([&] { return read_queue() == 1000; }));
    FT_RESULT st = 1;
    const auto start = steady::now();
    const auto got = read(65536, 300, st);
    EXPECT_GE(steady::now() - start, 300ms);
    EXPECT_EQ(st, 0u);
    EXPECT_EQ(got, data);
}

TEST_F(PipeTest, PipeIdsNameFifoChannelsAndChecksComeInOrder) {
    plug_and_open();
    std::uint8_t b[16] = {};
    std::uint32_t n = 0;
    int overlapped = 0;

    // The call decides the direction: bit 7 of the pipe id is ignored by reads and writes.
    const auto data = pattern(0, 16);
    ASSERT_EQ(FT_WritePipe(handle, ep_in, data.data(), 16, &n, nullptr), 0u);
    ASSERT_TRUE(eventually([&] { return read_queue() == 16; }));
    ASSERT_EQ(FT_ReadPipe(handle, ep_out, b, 16, &n, nullptr), 0u);
    EXPECT_EQ(std::vector<std::uint8_t>(b, b + 16), data);

    // 0x02 and 0x82 name FIFO 1, which exists in the FIFO-mode table but was never created.
    EXPECT_EQ(FT_ReadPipe(handle, 0x02, b, 1, &n, nullptr),
              static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));
    EXPECT_EQ(FT_WritePipe(handle, 0x82, b, 1, &n, nullptr),
              static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));
    EXPECT_EQ(FT_FlushPipe(handle, 0x02), 0u);
    EXPECT_EQ(FT_SetPipeTimeout(handle, 0x82, 10), 0u);
    EXPECT_EQ(FT_GetReadQueueStatus(handle, 1, &n), 0u);
    EXPECT_EQ(n, 0u);
    // 0x00 and 0x80 name no FIFO at all, nor do indices past the table.
    for (std::uint8_t id : {0x00, 0x80}) {
        EXPECT_EQ(FT_ReadPipe(handle, id, b, 1, &n, nullptr),
                  static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));
        EXPECT_EQ(FT_WritePipe(handle, id, b, 1, &n, nullptr),
                  static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));
        EXPECT_EQ(FT_FlushPipe(handle, id), static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));
        EXPECT_EQ(FT_SetPipeTimeout(handle, id, 10), static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));
    }
    EXPECT_EQ(FT_ReadPipeEx(handle, 5, b, 1, &n, 0), static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));
    EXPECT_EQ(FT_WritePipeEx(handle, 5, b, 1, &n, 0), static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));
    EXPECT_EQ(FT_GetReadQueueStatus(handle, 5, &n), static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));
    EXPECT_EQ(FT_GetWriteQueueStatus(handle, 5, &n), static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));
    EXPECT_EQ(FT_GetUnsentBuffer(handle, 5, b, &n), static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));

    // Overlapped requests are refused, but only after the pipe was found.
    EXPECT_EQ(FT_ReadPipe(handle, ep_in, b, 1, &n, &overlapped),
              static_cast<FT_RESULT>(STATUS_UNSUPPORTED));
    EXPECT_EQ(FT_WritePipe(handle, ep_out, b, 1, &n, &overlapped),
              static_cast<FT_RESULT>(STATUS_UNSUPPORTED));
    EXPECT_EQ(FT_ReadPipe(handle, 0x00, b, 1, &n, &overlapped),
              static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));
    EXPECT_EQ(FT_WritePipe(handle, 0x80, b, 1, &n, &overlapped),
              static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));

    // Null pointers.
    EXPECT_EQ(FT_ReadPipe(handle, ep_in, nullptr, 1, &n, nullptr),
              static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));
    EXPECT_EQ(FT_ReadPipe(handle, ep_in, b, 1, nullptr, nullptr),
              static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));
    EXPECT_EQ(FT_WritePipeEx(handle, fifo, nullptr, 1, &n, 0),
              static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));
    EXPECT_EQ(FT_WritePipeEx(handle, fifo, b, 1, nullptr, 0),
              static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));
    EXPECT_EQ(FT_GetReadQueueStatus(handle, fifo, nullptr),
              static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));
    EXPECT_EQ(FT_GetWriteQueueStatus(handle, fifo, nullptr),
              static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));
    EXPECT_EQ(FT_GetUnsentBuffer(handle, fifo, b, nullptr),
              static_cast<FT_RESULT>(STATUS_IO_FAILED));
}

TEST_F(PipeTest, AnInOnlyFifoHasNoUnsentData) {
    FT_TRANSFER_CONF conf = fifo_mode_conf();
    conf.aPipe[1].bDisabled = 1;
    plug_and_open(conf);
    std::uint32_t n = 0;
    std::uint8_t b[4] = {};
    EXPECT_EQ(FT_GetUnsentBuffer(handle, fifo, nullptr, &n),
              static_cast<FT_RESULT>(STATUS_IO_FAILED));
    EXPECT_EQ(FT_GetUnsentBuffer(handle, fifo, b, &n), static_cast<FT_RESULT>(STATUS_IO_FAILED));
    EXPECT_EQ(FT_WritePipe(handle, ep_out, b, 4, &n, nullptr),
              static_cast<FT_RESULT>(STATUS_BAD_PARAMETER));
    // Its IN pipe streams as usual.
    EXPECT_EQ(FT_GetReadQueueStatus(handle, fifo, &n), 0u);
}

TEST_F(PipeTest, Ft602OpenedWithoutFifoModeHasNoPipes) {
    plug();
    FT_TRANSFER_CONF conf{};
    conf.wStructSize = sizeof conf;
    open(conf);
    std::uint8_t b[4] = {};
    std::uint32_t n = 0;
    int overlapped = 0;
    const FT_RESULT bad = STATUS_BAD_PARAMETER;
    for (std::uint8_t id : {ep_in, ep_out, std::uint8_t{0x81}, std::uint8_t{0x01}}) {
        EXPECT_EQ(FT_ReadPipe(handle, id, b, 4, &n, nullptr), bad);
        EXPECT_EQ(FT_ReadPipe(handle, id, b, 4, &n, &overlapped), bad);
        EXPECT_EQ(FT_WritePipe(handle, id, b, 4, &n, nullptr), bad);
        EXPECT_EQ(FT_FlushPipe(handle, id), bad);
        EXPECT_EQ(FT_SetPipeTimeout(handle, id, 5), bad);
    }
    for (std::uint8_t f : {0, 4}) {
        EXPECT_EQ(FT_ReadPipeEx(handle, f, b, 4, &n, 0), bad);
        EXPECT_EQ(FT_WritePipeEx(handle, f, b, 4, &n, 0), bad);
        EXPECT_EQ(FT_GetReadQueueStatus(handle, f, &n), bad);
        EXPECT_EQ(FT_GetWriteQueueStatus(handle, f, &n), bad);
        EXPECT_EQ(FT_GetUnsentBuffer(handle, f, b, &n), bad);
    }
    EXPECT_EQ(board().chip_mode(), 0u);
}

TEST_F(PipeTest, ClosedOrUnknownHandlesAreRefused) {
    plug_and_open();
    void* closed = handle;
    ASSERT_EQ(FT_Close(handle), 0u);
    handle = nullptr;
    std::uint8_t b[4] = {};
    std::uint32_t n = 0;
    int not_a_handle = 0;
    const FT_RESULT bad = STATUS_BAD_HANDLE;
    for (void* h : {closed, static_cast<void*>(&not_a_handle), static_cast<void*>(nullptr)}) {
        EXPECT_EQ(FT_ReadPipe(h, ep_in, b, 4, &n, nullptr), bad);
        EXPECT_EQ(FT_ReadPipeEx(h, fifo, b, 4, &n, 0), bad);
        EXPECT_EQ(FT_WritePipe(h, ep_out, b, 4, &n, nullptr), bad);
        EXPECT_EQ(FT_WritePipeEx(h, fifo, b, 4, &n, 0), bad);
        EXPECT_EQ(FT_FlushPipe(h, ep_in), bad);
        EXPECT_EQ(FT_SetPipeTimeout(h, ep_in, 5), bad);
        EXPECT_EQ(FT_GetReadQueueStatus(h, fifo, &n), bad);
        EXPECT_EQ(FT_GetWriteQueueStatus(h, fifo, &n), bad);
        EXPECT_EQ(FT_GetUnsentBuffer(h, fifo, b, &n), bad);
        FT_DumpStatus(h, fifo, true);
    }
}

} // namespace
} // namespace pipe_test
