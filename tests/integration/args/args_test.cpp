// Arguments and board replies at the entry points, one table-driven case per family: what is
// refused, with which status, and that nothing was sent, opened or written past a buffer.
#include <sys/resource.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <vector>

#include "../session/support.h"
#include "ostrane/CommsDirectIO.h"
#include "ostrane/OstraneCommsUSB.h"
#include "support/sanitizers.h"

using namespace session_test;

namespace {

struct row {
    const char* what;
    std::function<std::uint32_t()> call;
    std::uint32_t expected;
};

void check(const std::vector<row>& rows) {
    for (const row& r : rows)
        EXPECT_EQ(r.call(), r.expected) << r.what;
}

std::uint64_t setup(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                    std::uint16_t index, std::uint16_t length) {
    return type | (std::uint64_t{request} << 8) | (std::uint64_t{value} << 16) |
           (std::uint64_t{index} << 32) | (std::uint64_t{length} << 48);
}

FT_RESULT open_fifo_mode(void** handle, FT_PIPE_TRANSFER_CONF pipe = {}) {
    FT_TRANSFER_CONF conf{};
    conf.wStructSize = sizeof conf;
    conf.bFifoMode = 1;
    conf.aPipe[FT_PIPE_DIR_IN] = conf.aPipe[FT_PIPE_DIR_OUT] = pipe;
    EXPECT_EQ(FT_SetTransferParams(&conf, 0), STATUS_SUCCESS);
    return FT_Create(nullptr, FT_OPEN_BY_INDEX, handle);
}

const auto above_32_bits = reinterpret_cast<void*>(std::uintptr_t{1} << 32);

TEST(Args, OpenAndListByIndexAndBoardChannel) {
    plug("IDX0");
    void* handle = reinterpret_cast<void*>(0x1);
    char text[32] = {};
    int channel = 5;
    check({
        {"open beyond 32 bits", [&] { return FT_Create(above_32_bits, FT_OPEN_BY_INDEX, &handle); },
         STATUS_NO_DEVICE},
        {"list beyond 32 bits",
         [&] { return FT_ListDevices(above_32_bits, text, FT_LIST_BY_INDEX); }, STATUS_NO_DEVICE},
        {"channel index 256", [&] { return OstraneCommsUSBOpenByIndex(&channel, 256); },
         CommsOpenFailed},
        {"channel of no device", [&] { return OstraneCommsUSBOpenByIndex(&channel, 1); },
         CommsOpenFailed},
    });
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(text[0], 0) << "nothing was copied";
    EXPECT_EQ(channel, OSTRANE_COMMS_INVALID_HANDLE) << "a failed open hands out no channel";
    std::uint32_t flags = 0;
    FT_GetDeviceInfoDetail(0, &flags, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(flags & FT_FLAGS_OPENED, 0u);

    Tessory::Ostrane::CCommsDirectIO direct;
    ASSERT_EQ(direct.Open(0), Tessory::Ostrane::DirectIOOk);
    const std::vector<std::uint8_t> many(257, 0x55);
    EXPECT_EQ(direct.Tx(many.data(), many.size()), Tessory::Ostrane::DirectIOAccessFailed)
        << "257 bytes are not sent as 1";
}

TEST(Args, ControlTransferMovesWhatFitsAndCountsWhatMoved) {
    const auto plugged = plug("CTRL");
    void* h = nullptr;
    ASSERT_EQ(FT_Create(nullptr, FT_OPEN_BY_INDEX, &h), STATUS_SUCCESS);
    std::vector<std::uint8_t> buf(4096, 0xA5);
    std::uint32_t moved = 77;
    const auto xfer = [&](std::uint64_t s, std::uint8_t* b, std::uint32_t len) {
        moved = 77;
        return FT_ControlTransfer(h, s, b, len, &moved);
    };
    const std::uint64_t read_config = setup(0xC0, 1, 0, 0, 4096); // the image is 4064 bytes
    check({
        {"null buffer", [&] { return xfer(setup(0xC0, 5, 0x12, 0x010D, 1), nullptr, 1); },
         STATUS_BAD_PARAMETER},
        {"wLength past the buffer", [&] { return xfer(read_config, buf.data(), 4); },
         STATUS_BAD_PARAMETER},
    });
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(buf[4], 0xA5) << "nothing written past the caller's buffer";
    EXPECT_EQ(xfer(read_config, buf.data(), 4096), STATUS_IO_FAILED) << "short reply";
    EXPECT_EQ(moved, 4064u);
    bus().board(plugged.id).stall_control(1);
    EXPECT_EQ(xfer(setup(0xC0, 5, 0x12, 0x010D, 1), buf.data(), 1), STATUS_IO_FAILED);
    EXPECT_EQ(moved, 0u) << "a stalled request moved nothing";
    EXPECT_EQ(xfer(setup(0xC0, 5, 0x12, 0x010D, 1), buf.data(), 64), STATUS_SUCCESS);
    EXPECT_EQ(moved, 1u);
    EXPECT_EQ(FT_Close(h), STATUS_SUCCESS);
}

TEST(Args, DeviceControlRecordsAndBuffers) {
    const auto plugged = plug("DEVC");
    void* h = nullptr;
    ASSERT_EQ(FT_Create(nullptr, FT_OPEN_BY_INDEX, &h), STATUS_SUCCESS);
    vboard::Board& board = bus().board(plugged.id);
    board.clear_request_log();
    std::uint8_t record[8] = {0xFF, 0xFF}, header_only[8] = {2, 0};
    std::vector<std::uint8_t> big(0x10000);
    std::uint32_t count = 0;
    check({
        {"length field 0xFFFF", [&] { return FT_SetChipConfiguration(h, record); },
         STATUS_BAD_PARAMETER},
        {"length field 2", [&] { return FT_SetChipConfiguration(h, header_only); },
         STATUS_BAD_PARAMETER},
        {"64 KiB descriptor buffer",
         [&] { return FT_GetDescriptor(h, 1, 0, big.data(), 0x10000, &count); }, STATUS_SUCCESS},
    });
    EXPECT_EQ(count, 18u) << "a buffer of 64 KiB asks for what a request can move, not for 0";
    for (const auto& r : board.request_log())
        EXPECT_NE(r.setup.bmRequestType, 0x40) << "nothing was written to the chip";
    EXPECT_EQ(FT_Close(h), STATUS_SUCCESS);
}

TEST(Args, TransferParamsRefuseBuffersBeyondWhatIsAllocated) {
    FT_TRANSFER_CONF conf{};
    conf.wStructSize = sizeof conf;
    const auto with = [&](std::uint32_t size, std::uint16_t count, std::uint8_t disabled) {
        conf.aPipe[FT_PIPE_DIR_OUT] = {disabled, 0, 0, 0, count, 0, size, 0};
        return FT_SetTransferParams(&conf, 1);
    };
    check({
        {"4 GiB buffer", [&] { return with(0xFFFFFFFF, 0, 0); }, STATUS_TOO_LARGE},
        {"65535 buffers of 1 MiB", [&] { return with(1 << 20, 0xFFFF, 0); }, STATUS_TOO_LARGE},
        {"256 default buffers of 32 MiB", [&] { return with(32 << 20, 0, 0); }, STATUS_TOO_LARGE},
        {"a disabled pipe allocates nothing", [&] { return with(0xFFFFFFFF, 0, 1); },
         STATUS_SUCCESS},
        {"16 buffers of 1 MiB", [&] { return with(1 << 20, 16, 0); }, STATUS_SUCCESS},
    });
}

TEST(Args, FailedAllocationAtOpenIsAStatusAndLeavesNothingOpen) {
#if defined(OSTRANE_TEST_ASAN) || defined(OSTRANE_TEST_TSAN)
    GTEST_SKIP() << "an address-space limit and a sanitizer's shadow memory do not mix";
#endif
    plug("ALLOC");
    FT_CreateDeviceInfoList(nullptr); // the session and its threads exist before the limit
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &old), 0);
    // 96 MiB beyond what is mapped now: the 2 GiB of buffers of one pipe cannot be had.
    std::ifstream status("/proc/self/status");
    std::string key;
    rlim_t mapped_kib = 0;
    while (status >> key && key != "VmSize:")
        status.ignore(1 << 10, '\n');
    ASSERT_TRUE(status >> mapped_kib);
    rlimit tight = old;
    tight.rlim_cur = (mapped_kib << 10) + (rlim_t{96} << 20);
    void* handle = reinterpret_cast<void*>(0x1);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    const FT_RESULT result = open_fifo_mode(&handle, {0, 0, 2, 0, 0, 0, 8u << 20, 0});
    setrlimit(RLIMIT_AS, &old);
    EXPECT_EQ(result, STATUS_IO_FAILED);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(open_fifo_mode(&handle), STATUS_SUCCESS) << "the failed open left the board free";
    EXPECT_EQ(FT_Close(handle), STATUS_SUCCESS);
}

TEST(Args, SecondOpenWithoutItsInterfaceIsRefused) {
    plug("TWICE");
    void* first = nullptr;
    void* second = reinterpret_cast<void*>(0x1);
    ASSERT_EQ(open_fifo_mode(&first), STATUS_SUCCESS);
    EXPECT_EQ(open_fifo_mode(&second), STATUS_OPEN_FAILED);
    EXPECT_EQ(second, nullptr);
    const std::uint8_t out[4] = {1, 2, 3, 4};
    std::uint8_t in[4] = {};
    std::uint32_t n = 0;
    EXPECT_EQ(FT_WritePipeEx(first, 4, out, 4, &n, 1000), STATUS_SUCCESS);
    EXPECT_EQ(FT_ReadPipeEx(first, 4, in, 4, &n, 5000), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(in, out, 4), 0) << "the first handle still owns the stream";
    EXPECT_EQ(FT_Close(first), STATUS_SUCCESS);
}

} // namespace
