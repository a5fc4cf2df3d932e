// Pipes through failures and recoveries: flush, unsent data, stalls, unplugging, odd sizes, and a
// long loopback checked byte for byte.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "pipe_fixture.h"

namespace pipe_test {
namespace {

TEST_F(PipeTest, FlushDiscardsReceivedBuffersButNotTheOneBeingRead) {
    plug_and_open();
    const auto first = pattern(0, 1000);
    write_all(first);
    ASSERT_TRUE(eventually([&] { return read_queue() == 1000; }));
    FT_RESULT st = 1;
    ASSERT_EQ(read(100, 0, st).size(), 100u);
    write_all(pattern(1000, 2000));
    ASSERT_TRUE(eventually([&] { return read_queue() == 2900; }));

    ASSERT_EQ(FT_FlushPipe(handle, ep_in), 0u);
    // Only the rest of the buffer the reader started on survives the flush, and the count.
    EXPECT_EQ(read_queue(), 900u);
    const auto rest = read(5000, 200, st);
    EXPECT_EQ(st, 0u);
    EXPECT_EQ(rest, std::vector<std::uint8_t>(first.begin() + 100, first.end()));

    // The flush's own cancellations leave the pipe usable, in both directions.
    ASSERT_EQ(FT_FlushPipe(handle, ep_out), 0u);
    const auto again = pattern(7, 50000);
    write_all(again);
    EXPECT_EQ(read_back(again.size(), st), again);
    EXPECT_EQ(st, 0u);
    EXPECT_EQ(read_queue(), 0u) << "everything readable was read";
}

TEST_F(PipeTest, UnsentDataCanBeCountedAndRecoveredAndTheFlushRestarts) {
    FT_TRANSFER_CONF conf = fifo_mode_conf();
    conf.aPipe[0].bDisabled = 1;
    conf.aPipe[1].bUrbNum = 2;
    conf.aPipe[1].wBufNum = 6;
    conf.aPipe[1].dwBufSize = 65536;
    plug_and_open(conf);
    const std::uint32_t fill = fill_loopback();
    ASSERT_FALSE(HasFailure());

    // Two chunks go into the held transfers, four wait in the pipe.
    const auto held = pattern(fill, 6 * 65536);
    write_all(held);
    std::uint32_t n = 0;
    ASSERT_EQ(FT_GetUnsentBuffer(handle, fifo, nullptr, &n), 0u);
    EXPECT_EQ(n, 6u * 65536);
    // Even the count alone stops the pipe: a write now says so instead of queueing into nowhere.
    const std::uint8_t byte = 1;
    n = 99;
    EXPECT_EQ(FT_WritePipeEx(handle, fifo, &byte, 1, &n, 100),
              static_cast<FT_RESULT>(STATUS_TRANSFER_CANCELLED));
    EXPECT_EQ(n, 0u);

    // The stop cancelled the two held transfers; everything that never reached the board comes
    // back in order, as far as the caller's buffer reaches, and the rest is dropped.
    std::vector<std::uint8_t> out(3 * 65536 + 100, 0xEE);
    n = static_cast<std::uint32_t>(out.size());
    ASSERT_EQ(FT_GetUnsentBuffer(handle, fifo, out.data(), &n), 0u);
    EXPECT_EQ(n, out.size());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), held.begin()));
    EXPECT_EQ(write_queue(), 0u);

    // Stopped until a flush; then writes are taken again.
    log_capture log;
    FT_DumpStatus(handle, fifo, true);
    EXPECT_TRUE(log.wait_for("EP5 state:stopped failure:0 q_lib:0 q_app:6 q_urb:2 q_err:0\r\n")) << log.text();
    ASSERT_EQ(FT_FlushPipe(handle, ep_out), 0u);
    FT_DumpStatus(handle, fifo, true);
    EXPECT_TRUE(log.wait_for("EP5 state:streaming failure:0 q_lib:0 q_app:6 q_urb:2 q_err:0\r\n")) << log.text();
    EXPECT_EQ(FT_WritePipeEx(handle, fifo, &byte, 1, &n, 1000), 0u);
    EXPECT_EQ(n, 1u);
    // The board holds that byte: it comes back alone, and the length says so.
    std::uint8_t back[16] = {};
    n = sizeof back;
    ASSERT_EQ(FT_GetUnsentBuffer(handle, fifo, back, &n), 0u);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(back[0], byte);
    ASSERT_EQ(FT_FlushPipe(handle, ep_out), 0u);
    EXPECT_EQ(write_queue(), 0u);
}

TEST_F(PipeTest, CloseLetsQueuedDataReachTheBoardAndLogsWhatCouldNot) {
    // More than the loopback holds: the tail goes only as the IN side takes data back.
    plug_and_open();
    const std::uint32_t total = 6u << 20;
    write_all(pattern(0, total));
    ASSERT_EQ(FT_Close(handle), 0u);
    handle = nullptr;
    EXPECT_EQ(board().fifo().bytes_out, total) << "data taken by a write was dropped at close";

    // With the board holding every transfer nothing more can go; the close says how much.
    FT_TRANSFER_CONF conf = fifo_mode_conf();
    conf.aPipe[0].bDisabled = 1;
    open(conf);
    const std::uint32_t fill = fill_loopback();
    write_all(pattern(fill, 3 * 32768));
    log_capture log;
    ASSERT_EQ(FT_Close(handle), 0u);
    handle = nullptr;
    EXPECT_TRUE(log.contains("EP5 stopped with 98304 bytes not sent\r\n")) << log.text();
}

TEST_F(PipeTest, AnUnpluggedBoardTakesNoWritesEvenOnAnIdlePipe) {
    plug_and_open();
    bus().unplug(board_id);
    std::uint8_t b[4] = {};
    std::uint32_t n = 0;
    // The IN side notices at once; the OUT pipe has nothing in flight to notice it by itself.
    ASSERT_TRUE(eventually([&] {
        return FT_ReadPipeEx(handle, fifo, b, 4, &n, 10) == STATUS_DEVICE_GONE;
    }));
    n = 99;
    EXPECT_EQ(FT_WritePipeEx(handle, fifo, b, 4, &n, 100),
              static_cast<FT_RESULT>(STATUS_DEVICE_GONE));
    EXPECT_EQ(n, 0u);
    // Nor does a call that moves nothing pretend otherwise.
    EXPECT_EQ(FT_WritePipeEx(handle, fifo, b, 0, &n, 100),
              static_cast<FT_RESULT>(STATUS_DEVICE_GONE));
    EXPECT_EQ(FT_ReadPipe(handle, ep_in, b, 0, &n, nullptr),
              static_cast<FT_RESULT>(STATUS_DEVICE_GONE));
}

// Holds the library's event thread, and with it every completion: the log goes into a pipe that
// is full, and a malformed notification makes the event thread write an error line into it.
// Only errors are logged meanwhile, so other threads do not write there.
class EventThreadHold {
  public:
    EventThreadHold() {
        if (::pipe2(fds_, O_CLOEXEC) != 0)
            std::abort();
        fcntl(fds_[1], F_SETPIPE_SZ, 4096);
        fcntl(fds_[1], F_SETFL, O_NONBLOCK);
        const std::vector<char> fill(4096, '.');
        while (::write(fds_[1], fill.data(), fill.size()) > 0) {
        }
        fcntl(fds_[1], F_SETFL, 0);
    }
    ~EventThreadHold() {
        release();
        ::close(fds_[0]);
    }
    EventThreadHold(const EventThreadHold&) = delete;
    EventThreadHold& operator=(const EventThreadHold&) = delete;

    // True once a thread of the process waits in a write to the log.
    bool hold(vboard::Board& board) {
        FILE* log = fdopen(fds_[1], "w"); // the library owns and closes it
        setvbuf(log, nullptr, _IONBF, 0);
        FT_SetDebug(log, FT_LOG_LEVEL_ERROR);
        installed_ = true;
        board.send_notification({0xEF});
        return eventually([&] { return writers() != 0; });
    }
    void release() {
        if (!installed_)
            return;
        installed_ = false;
        // Reads until nobody writes any more, then hands the standard output back.
        fcntl(fds_[0], F_SETFL, O_NONBLOCK);
        char sink[4096];
        eventually([&] {
            while (::read(fds_[0], sink, sizeof sink) > 0) {
            }
            return writers() == 0;
        });
        FT_SetDebug(nullptr, FT_LOG_LEVEL_NONE);
    }

  private:
    // Threads in a write(2) on the log's descriptor, from /proc/self/task/*/syscall.
    int writers() const {
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, "1 0x%x ", fds_[1]);
        int n = 0;
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            std::ifstream in(task.path() / "syscall");
            std::string line;
            std::getline(in, line);
            n += line.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return n;
    }

    int fds_[2] = {-1, -1};
    bool installed_ = false;
};

TEST_F(PipeTest, AFlushWhoseTransfersDoNotComeBackFailsAndLeavesThePipeStopped) {
    plug_and_open();
    EventThreadHold hold;
    ASSERT_TRUE(hold.hold(board()));

    EXPECT_EQ(FT_FlushPipe(handle, ep_in), static_cast<FT_RESULT>(STATUS_IO_FAILED));
    FT_RESULT st = 0;
    EXPECT_TRUE(read(4, 100, st).empty());
    EXPECT_EQ(st, static_cast<FT_RESULT>(STATUS_TRANSFER_CANCELLED));

    // Once the transfers are back, a flush restarts the pipe.
    hold.release();
    EXPECT_TRUE(eventually([&] { return FT_FlushPipe(handle, ep_in) == 0; }));
    const auto data = pattern(0, 1000);
    write_all(data);
    EXPECT_EQ(read(1000, 5000, st), data);
    EXPECT_EQ(st, 0u);
}

TEST_F(PipeTest, AStalledInTransferFailsTheNextReadThatNeedsABuffer) {
    log_capture log;
    plug_and_open();
    write_all(pattern(0, 1000));
    ASSERT_TRUE(eventually([&] { return read_queue() == 1000; }));
    board().stall_bulk(1, ep_in);
    ASSERT_TRUE(log.wait_for("EP85 callback failure LIBUSB_TRANSFER_STALL\r\n")) << log.text();

    // The buffer filled before the stall is not delivered.
    FT_RESULT st = 0;
    EXPECT_TRUE(read(1000, 1000, st).empty());
    EXPECT_EQ(st, static_cast<FT_RESULT>(STATUS_IO_FAILED));
    // A flush does not hide a stall.
    ASSERT_EQ(FT_FlushPipe(handle, ep_in), 0u);
    EXPECT_TRUE(read(1000, 1000, st).empty());
    EXPECT_EQ(st, static_cast<FT_RESULT>(STATUS_IO_FAILED));
    // The OUT pipe of the FIFO is not affected.
    std::uint32_t n = 0;
    const std::uint8_t byte = 1;
    EXPECT_EQ(FT_WritePipeEx(handle, fifo, &byte, 1, &n, 1000), 0u);
}

TEST_F(PipeTest, AReaderBlockedOnAStalledPipeHearsOfItAtOnce) {
    plug_and_open();
    FT_RESULT st = 0;
    steady::time_point returned;
    std::thread reader([&] {
        read(1000, 30000, st);
        returned = steady::now();
    });
    std::this_thread::sleep_for(50ms);
    const auto stalled = steady::now();
    board().stall_bulk(1, ep_in);
    reader.join();
    EXPECT_EQ(st, static_cast<FT_RESULT>(STATUS_IO_FAILED));
    EXPECT_LT(returned - stalled, 10s);
}

TEST_F(PipeTest, TransfersBeyondTheKernelsMemoryFailThePipeNotTheBoard) {
    // usbfs holds at most 16 MiB of transfers in flight: the eighth of 2 MiB is refused.
    FT_TRANSFER_CONF conf = fifo_mode_conf();
    conf.aPipe[0].dwBufSize = 2u << 20;
    conf.aPipe[0].wBufNum = 8;
    log_capture log;
    plug_and_open(conf);
    FT_RESULT st = 0;
    EXPECT_TRUE(read(1000, 1000, st).empty());
    EXPECT_EQ(st, static_cast<FT_RESULT>(STATUS_IO_FAILED));
    EXPECT_TRUE(log.contains("Failed to submit URB transfer: LIBUSB_ERROR_NO_MEM\r\n")) << log.text();
    // The board is still there: the OUT pipe of the FIFO takes data.
    std::uint32_t n = 0;
    const std::uint8_t byte = 1;
    EXPECT_EQ(FT_WritePipeEx(handle, fifo, &byte, 1, &n, 1000), 0u);
}

TEST_F(PipeTest, MoreTransfersThanBuffersStillOpensAndStreams) {
    FT_TRANSFER_CONF conf = fifo_mode_conf();
    conf.aPipe[0].bUrbNum = 8;
    conf.aPipe[0].wBufNum = 2;
    conf.aPipe[0].dwBufSize = 4096;
    plug_and_open(conf); // returns although six IN transfers can never be taken
    log_capture log;
    FT_DumpStatus(handle, fifo, false);
    EXPECT_TRUE(log.wait_for("EP85 state:streaming failure:0 q_lib:0 q_app:0 q_urb:6 q_err:0\r\n")) << log.text();

    const auto data = pattern(0, 100000);
    std::thread writer([&] { write_all(data); });
    FT_RESULT st = 0;
    const auto got = read_back(data.size(), st);
    writer.join();
    EXPECT_EQ(st, 0u);
    EXPECT_EQ(got, data);
}

// Streams `total` bytes through the loopback, one thread writing and one reading, and checks each.
// With `varied`, reads and writes change size (not a multiple of a buffer) and time-out (0 to
// 3 ms), each with a buffer freed right after: data the completions move for a waiting call and
// data queued meet at every boundary, a time-out in the middle must count exactly what moved, and
// a completion still touching a call's buffer after it returned hits freed memory.
void loopback(void* handle, std::uint64_t total, bool varied = false) {
    constexpr std::uint32_t chunk = 1u << 20;
    constexpr std::uint32_t sizes[] = {chunk, 7, 32769, 100003, 3 * 65536 + 1};
    constexpr std::uint32_t timeouts[] = {10000, 0, 1, 3};
    ASSERT_EQ(FT_SetPipeTimeout(handle, ep_out, 10000), 0u);
    ASSERT_EQ(FT_SetPipeTimeout(handle, ep_in, 10000), 0u);
    std::atomic<FT_RESULT> write_status{0};
    std::thread writer([&] {
        std::uint64_t off = 0;
        for (unsigned i = 0; off < total; ++i) {
            const std::uint32_t len =
                varied ? static_cast<std::uint32_t>(std::min<std::uint64_t>(sizes[(i + 2) % 5], total - off))
                       : chunk;
            auto buf = std::make_unique<std::uint8_t[]>(len);
            fill_pattern(buf.get(), off, len);
            std::uint32_t n = 0;
            const FT_RESULT r = varied ? FT_WritePipeEx(handle, fifo, buf.get(), len, &n, timeouts[i % 4])
                                       : FT_WritePipe(handle, ep_out, buf.get(), len, &n, nullptr);
            off += n;
            if ((r != 0 && !(varied && r == STATUS_TIMED_OUT)) || (!varied && n != len)) {
                write_status = r != 0 ? r : 0xFFFF;
                return;
            }
        }
    });
    std::vector<std::uint8_t> want(chunk);
    std::uint64_t off = 0;
    std::uint64_t first_bad = UINT64_MAX;
    FT_RESULT st = 0;
    for (unsigned i = 0; off < total; ++i) {
        const std::uint32_t len =
            varied ? static_cast<std::uint32_t>(std::min<std::uint64_t>(sizes[i % 5], total - off))
                   : chunk;
        auto buf = std::make_unique<std::uint8_t[]>(len);
        std::uint32_t n = 0;
        st = varied ? FT_ReadPipeEx(handle, fifo, buf.get(), len, &n, timeouts[i % 4])
                    : FT_ReadPipe(handle, ep_in, buf.get(), len, &n, nullptr);
        if (n) {
            fill_pattern(want.data(), off, n);
            if (first_bad == UINT64_MAX && std::memcmp(buf.get(), want.data(), n) != 0)
                first_bad = off;
            off += n;
        }
        if (st == STATUS_TIMED_OUT && varied)
            continue;
        if (st != 0)
            break;
    }
    writer.join();
    EXPECT_EQ(write_status.load(), 0u);
    EXPECT_EQ(st, 0u);
    EXPECT_EQ(off, total);
    EXPECT_EQ(first_bad, UINT64_MAX) << "first differing chunk at byte " << first_bad;
    // All of it went out and came back: the queue counts, kept by the calls and the completions
    // alike, are back at 0.
    std::uint32_t queued = 1;
    EXPECT_TRUE(eventually([&] {
        return FT_GetWriteQueueStatus(handle, fifo, &queued) == 0 && queued == 0;
    })) << queued << " bytes still counted as unsent";
    EXPECT_EQ(FT_GetReadQueueStatus(handle, fifo, &queued), 0u);
    EXPECT_EQ(queued, 0u);
}

TEST_F(PipeTest, LoopbackOfAGibibyteArrivesIntact) {
    // Under the sanitizers the emulated bus is several times slower; a gibibyte would take minutes.
    if (sanitized)
        GTEST_SKIP() << "1 GiB runs in the normal build; the sanitizer builds run the 64 MiB case";
    plug_and_open();
    loopback(handle, 1ull << 30);
}

TEST_F(PipeTest, LoopbackOfSixtyFourMebibytesArrivesIntact) {
    plug_and_open();
    loopback(handle, 64ull << 20, true);
}

TEST_F(PipeTest, UnplugWhileStreamingEndsReadsAndWritesAndCloseIsQuick) {
    plug_and_open();
    std::atomic<std::uint64_t> received{0};
    std::atomic<FT_RESULT> write_status{0}, read_status{0};
    std::thread writer([&] {
        std::vector<std::uint8_t> buf(1u << 18);
        for (std::uint64_t off = 0;; off += buf.size()) {
            fill_pattern(buf.data(), off, buf.size());
            std::uint32_t n = 0;
            const FT_RESULT r = FT_WritePipeEx(handle, fifo, buf.data(),
                                               static_cast<std::uint32_t>(buf.size()), &n, 10000);
            if (r != 0) {
                write_status = r;
                return;
            }
        }
    });
    std::thread reader([&] {
        std::vector<std::uint8_t> buf(1u << 18);
        for (;;) {
            std::uint32_t n = 0;
            const FT_RESULT r = FT_ReadPipeEx(handle, fifo, buf.data(),
                                              static_cast<std::uint32_t>(buf.size()), &n, 10000);
            received += n;
            if (r != 0) {
                read_status = r;
                return;
            }
        }
    });
    ASSERT_TRUE(eventually([&] { return received.load() > (4u << 20); }));
    bus().unplug(board_id);
    writer.join();
    reader.join();
    EXPECT_EQ(write_status.load(), static_cast<FT_RESULT>(STATUS_DEVICE_GONE));
    EXPECT_EQ(read_status.load(), static_cast<FT_RESULT>(STATUS_DEVICE_GONE));

    std::uint8_t b[4] = {};
    std::uint32_t n = 0;
    EXPECT_EQ(FT_ReadPipeEx(handle, fifo, b, 4, &n, 100),
              static_cast<FT_RESULT>(STATUS_DEVICE_GONE));
    EXPECT_EQ(FT_WritePipeEx(handle, fifo, b, 4, &n, 100),
              static_cast<FT_RESULT>(STATUS_DEVICE_GONE));

    const auto start = steady::now();
    EXPECT_EQ(FT_Close(handle), 0u);
    handle = nullptr;
    EXPECT_LT(steady::now() - start, 2s);
}


// Several threads flushing one pipe while it streams once aborted the process (two flushes both
// restarting the pipe) and raced the reader on its rings.
TEST_F(PipeTest, ConcurrentFlushesWhileStreamingLeaveThePipeUsable) {
    // In the kernel this storm also sends unlinks ahead of their URBs, which the board must
    // survive.
    plug_and_open();
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (std::uint8_t ep : {ep_in, ep_in, ep_out, ep_out})
        threads.emplace_back([&, ep] {
            for (int i = 0; i < 20 && !stop.load(); ++i)
                EXPECT_EQ(FT_FlushPipe(handle, ep), 0u);
        });
    threads.emplace_back([&] {
        std::vector<std::uint8_t> buf(1u << 16, 0x5A);
        while (!stop.load()) {
            std::uint32_t n = 0;
            FT_WritePipeEx(handle, fifo, buf.data(), static_cast<std::uint32_t>(buf.size()), &n, 20);
        }
    });
    threads.emplace_back([&] {
        std::vector<std::uint8_t> buf(1u << 16);
        while (!stop.load()) {
            std::uint32_t n = 0;
            FT_ReadPipeEx(handle, fifo, buf.data(), static_cast<std::uint32_t>(buf.size()), &n, 20);
        }
    });
    for (std::size_t i = 0; i < 4; ++i)
        threads[i].join();
    stop = true;
    for (std::size_t i = 4; i < threads.size(); ++i)
        threads[i].join();

    // Once quiet, a flush of each side leaves a pipe that carries data exactly.
    ASSERT_TRUE(eventually([&] { return FT_FlushPipe(handle, ep_out) == 0; }));
    board().set_fifo_source(vboard::FifoSource::loopback); // drops what the streams left there
    ASSERT_EQ(FT_FlushPipe(handle, ep_in), 0u);
    FT_RESULT st = 1;
    while (!read(1u << 16, 0, st).empty()) // the reader's place survives a flush
        ;
    const auto data = pattern(3, 100000);
    write_all(data);
    EXPECT_EQ(read_back(data.size(), st), data);
}

// Boards share the library's one event thread: an unplug of one must end only its own calls,
// while the others go on streaming, byte for byte.
TEST_F(PipeTest, BoardsStreamTogetherAndAnUnplugEndsOnlyItsOwn) {
    constexpr int boards = 3;
    std::vector<int> ids;
    for (int i = 0; i < boards; ++i)
        ids.push_back(bus().plug().id);
    struct Stream {
        void* h = nullptr;
        std::atomic<std::uint64_t> received{0};
        std::atomic<FT_RESULT> read_status{0}, write_status{0};
        std::atomic<bool> wrong{false};
    };
    std::vector<Stream> streams(boards);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < boards; ++i) {
        Stream& s = streams[static_cast<std::size_t>(i)];
        FT_TRANSFER_CONF conf = fifo_mode_conf(); // taken by the next FT_Create
        ASSERT_EQ(FT_SetTransferParams(&conf, 0), 0u);
        ASSERT_EQ(FT_Create(reinterpret_cast<void*>(static_cast<std::uintptr_t>(i)), FT_OPEN_BY_INDEX, &s.h), 0u);
        threads.emplace_back([&] {
            std::vector<std::uint8_t> buf(1u << 18);
            for (std::uint64_t off = 0; !stop.load(); off += buf.size()) {
                fill_pattern(buf.data(), off, buf.size());
                std::uint32_t n = 0;
                if (const FT_RESULT r = FT_WritePipeEx(s.h, fifo, buf.data(), static_cast<std::uint32_t>(buf.size()), &n, 10000)) {
                    s.write_status = r;
                    return;
                }
            }
        });
        threads.emplace_back([&] {
            std::vector<std::uint8_t> buf(1u << 18), want(1u << 18);
            while (!stop.load()) {
                std::uint32_t n = 0;
                const FT_RESULT r = FT_ReadPipeEx(s.h, fifo, buf.data(), static_cast<std::uint32_t>(buf.size()), &n, 10000);
                fill_pattern(want.data(), s.received.load(), n);
                if (std::memcmp(buf.data(), want.data(), n) != 0)
                    s.wrong = true;
                s.received += n;
                if (r != 0) {
                    s.read_status = r;
                    return;
                }
            }
        });
    }
    for (auto& s : streams)
        ASSERT_TRUE(eventually([&] { return s.received.load() > (2u << 20); }));
    // Which handle is the unplugged board's: the one whose calls report it gone.
    bus().unplug(ids.back());
    ASSERT_TRUE(eventually([&] {
        return std::any_of(streams.begin(), streams.end(), [](const Stream& s) {
            return s.read_status.load() == STATUS_DEVICE_GONE && s.write_status.load() == STATUS_DEVICE_GONE;
        });
    }));
    std::vector<std::uint64_t> at_unplug;
    for (auto& s : streams)
        at_unplug.push_back(s.received.load());
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (streams[i].read_status.load() == STATUS_DEVICE_GONE)
            continue;
        EXPECT_TRUE(eventually([&] { return streams[i].received.load() > at_unplug[i] + (4u << 20); }))
            << "board " << i << " stopped streaming after another was unplugged";
    }
    stop = true;
    for (auto& t : threads)
        t.join();
    int gone = 0;
    for (auto& s : streams) {
        EXPECT_FALSE(s.wrong.load());
        if (s.read_status.load() == STATUS_DEVICE_GONE)
            ++gone;
        else
            EXPECT_EQ(s.read_status.load() | s.write_status.load(), 0u);
        EXPECT_EQ(FT_Close(s.h), 0u);
    }
    EXPECT_EQ(gone, 1);
}

} // namespace
} // namespace pipe_test
