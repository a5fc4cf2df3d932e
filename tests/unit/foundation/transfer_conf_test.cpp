// The transfer configuration table: storing records, refusals, defaults and the kernel cap.
#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <atomic>
#include <cstring>
#include <list>
#include <thread>
#include <vector>

#include "capture.h"
#include "ft60x/transfer_conf.h"
#include "ostrane/ft60x.h"

namespace {

constexpr const char* kernel_4 = "4.19.0-25-amd64";
constexpr const char* kernel_3_2 = "3.2.0-4-amd64";
constexpr const char* kernel_2_6 = "2.6.32-754.el6.x86_64";

FT_TRANSFER_CONF record() {
    FT_TRANSFER_CONF conf{};
    conf.wStructSize = sizeof(FT_TRANSFER_CONF);
    return conf;
}

void expect_defaults(const FT_PIPE_TRANSFER_CONF& pipe, std::uint32_t buf_size) {
    EXPECT_EQ(pipe.bUrbNum, 8);
    EXPECT_EQ(pipe.wBufNum, 256);
    EXPECT_EQ(pipe.dwBufSize, buf_size);
    EXPECT_EQ(pipe.dwExtra, 0x40000000u);
    EXPECT_EQ(pipe.bDisabled, 0);
    EXPECT_EQ(pipe.bNoLock, 0);
}

class TransferConf : public ::testing::Test {
  protected:
    void SetUp() override { take_xfr_confs(nullptr); } // start from no table
    void TearDown() override {
        take_xfr_confs(nullptr);
        FT_SetDebug(nullptr, FT_LOG_LEVEL_NONE);
        if (!log_.closed)
            std::fclose(log_.file);
    }

    // Size of one pipe's buffers after the defaults for `release`.
    static std::uint32_t buf_size_after_defaults(std::uint32_t size, const char* release) {
        FT_PIPE_TRANSFER_CONF pipe{};
        pipe.dwBufSize = size;
        apply_pipe_defaults(pipe, release);
        return pipe.dwBufSize;
    }

    capture::RecordingStream log_;
};

TEST(KernelRelease, OnlyReleasesBefore3_4CapTheBufferSize) {
    EXPECT_TRUE(kernel_caps_buf_size("2.6.32"));
    EXPECT_TRUE(kernel_caps_buf_size("3.2.0-4-amd64"));
    EXPECT_TRUE(kernel_caps_buf_size("3.3.8"));
    EXPECT_TRUE(kernel_caps_buf_size("1.0"));
    EXPECT_FALSE(kernel_caps_buf_size("3.4.0"));
    EXPECT_FALSE(kernel_caps_buf_size("3.10.0-1160.el7.x86_64"));
    EXPECT_FALSE(kernel_caps_buf_size("4.19.0-25-amd64"));
    EXPECT_FALSE(kernel_caps_buf_size("6.1.0-13-cloud-amd64"));
    // Unreadable or unparsable releases cap nothing.
    EXPECT_FALSE(kernel_caps_buf_size(nullptr));
    EXPECT_FALSE(kernel_caps_buf_size(""));
    EXPECT_FALSE(kernel_caps_buf_size("3"));
    EXPECT_FALSE(kernel_caps_buf_size("linux-2.6"));
}

TEST_F(TransferConf, NoConfigurationGivesDefaultsEverywhere) {
    const auto confs = take_xfr_confs(kernel_4);
    ASSERT_TRUE(confs);
    for (unsigned i = 0; i < xfr_conf_count; ++i) {
        EXPECT_EQ(confs[i].wStructSize, i == 0 ? sizeof(FT_TRANSFER_CONF) : 0u);
        expect_defaults(confs[i].aPipe[FT_PIPE_DIR_IN], 32768);
        expect_defaults(confs[i].aPipe[FT_PIPE_DIR_OUT], 32768);
        EXPECT_EQ(confs[i].bFifoMode, 0);
        EXPECT_EQ(confs[i].bStopOnShortBuf, 0);
    }
    const auto old = take_xfr_confs(kernel_3_2);
    expect_defaults(old[3].aPipe[FT_PIPE_DIR_OUT], 16384);
}

TEST_F(TransferConf, OneFifoConfiguredLeavesTheOthersAtDefaults) {
    FT_TRANSFER_CONF conf = record();
    conf.aPipe[FT_PIPE_DIR_IN] = {1, 1, 2, 0, 2, 0, 1024, 7};
    conf.aPipe[FT_PIPE_DIR_OUT] = {0, 0, 1, 0, 1, 0, 0, 0};
    conf.bStopOnShortBuf = 1;
    conf.bFifoMode = 2;
    conf.bReserved = 9;
    ASSERT_EQ(FT_SetTransferParams(&conf, 1), STATUS_SUCCESS);
    const auto confs = take_xfr_confs(kernel_4);
    for (unsigned i : {0u, 2u, 3u}) {
        expect_defaults(confs[i].aPipe[FT_PIPE_DIR_IN], 32768);
        expect_defaults(confs[i].aPipe[FT_PIPE_DIR_OUT], 32768);
    }
    // The smallest counts kept are 2; everything else of the record stays as given.
    const FT_PIPE_TRANSFER_CONF& in = confs[1].aPipe[FT_PIPE_DIR_IN];
    EXPECT_EQ(in.bDisabled, 1);
    EXPECT_EQ(in.bNoLock, 1);
    EXPECT_EQ(in.bUrbNum, 2);
    EXPECT_EQ(in.wBufNum, 2);
    EXPECT_EQ(in.dwBufSize, 1024u);
    EXPECT_EQ(in.dwExtra, 7u);
    expect_defaults(confs[1].aPipe[FT_PIPE_DIR_OUT], 32768);
    EXPECT_EQ(confs[1].bStopOnShortBuf, 1);
    EXPECT_EQ(confs[1].bFifoMode, 2);
    EXPECT_EQ(confs[1].bReserved, 9);
}

TEST_F(TransferConf, BufferSizeDefaultsAndKernelCap) {
    EXPECT_EQ(buf_size_after_defaults(100, kernel_4), 32768u);
    EXPECT_EQ(buf_size_after_defaults(100, kernel_3_2), 16384u);
    EXPECT_EQ(buf_size_after_defaults(511, kernel_4), 32768u);
    EXPECT_EQ(buf_size_after_defaults(0, nullptr), 32768u);
    EXPECT_EQ(buf_size_after_defaults(65536, kernel_4), 65536u);
    EXPECT_EQ(buf_size_after_defaults(65536, kernel_2_6), 16384u);
    EXPECT_EQ(buf_size_after_defaults(16385, "3.3.0"), 16384u);
    for (const char* release : {kernel_4, kernel_3_2, kernel_2_6}) {
        EXPECT_EQ(buf_size_after_defaults(512, release), 512u);
        EXPECT_EQ(buf_size_after_defaults(1024, release), 1024u);
        EXPECT_EQ(buf_size_after_defaults(16384, release), 16384u);
    }
}

TEST_F(TransferConf, FifoFourIsStoredAsFifoZero) {
    FT_TRANSFER_CONF conf = record();
    conf.aPipe[FT_PIPE_DIR_IN].bUrbNum = 5;
    ASSERT_EQ(FT_SetTransferParams(&conf, 4), STATUS_SUCCESS);
    const auto confs = take_xfr_confs(kernel_4);
    EXPECT_EQ(confs[0].aPipe[FT_PIPE_DIR_IN].bUrbNum, 5);
}

TEST_F(TransferConf, RefusalsReturnInvalidParameterAndChangeNothing) {
    FT_TRANSFER_CONF kept = record();
    kept.aPipe[FT_PIPE_DIR_IN].wBufNum = 33;
    ASSERT_EQ(FT_SetTransferParams(&kept, 0), STATUS_SUCCESS);

    FT_SetDebug(log_.file, FT_LOG_LEVEL_ERROR);
    FT_TRANSFER_CONF bad = record();
    bad.aPipe[FT_PIPE_DIR_IN].wBufNum = 44;
    EXPECT_EQ(FT_SetTransferParams(&bad, 5), STATUS_BAD_PARAMETER);
    EXPECT_EQ(log_.contents(), "FIFO id 5 is out of range, expected 0 to 4\r\n");
    for (std::uint16_t size : {0, 41}) {
        bad.wStructSize = size;
        EXPECT_EQ(FT_SetTransferParams(&bad, 0), STATUS_BAD_PARAMETER);
    }
    EXPECT_EQ(FT_SetTransferParams(nullptr, 0), STATUS_BAD_PARAMETER);
    EXPECT_EQ(log_.contents(), "FIFO id 5 is out of range, expected 0 to 4\r\n"
                               "wStructSize:0 is not correct, expected:40\r\n"
                               "wStructSize:41 is not correct, expected:40\r\n");

    const auto confs = take_xfr_confs(kernel_4);
    EXPECT_EQ(confs[0].aPipe[FT_PIPE_DIR_IN].wBufNum, 33);
}

TEST_F(TransferConf, ARefusedFirstCallStillCreatesTheTable) {
    EXPECT_EQ(FT_SetTransferParams(nullptr, 2), STATUS_BAD_PARAMETER);
    const auto confs = take_xfr_confs(kernel_4);
    // The zeroed table was there: record 0 was not written by the defaults step.
    EXPECT_EQ(confs[0].wStructSize, 0);
    expect_defaults(confs[0].aPipe[FT_PIPE_DIR_IN], 32768);
}

TEST_F(TransferConf, ASecondRecordReplacesTheFirstEntirely) {
    FT_TRANSFER_CONF first = record();
    first.aPipe[FT_PIPE_DIR_IN].bUrbNum = 5;
    first.aPipe[FT_PIPE_DIR_IN].wBufNum = 9;
    FT_TRANSFER_CONF second = record();
    second.aPipe[FT_PIPE_DIR_IN].bUrbNum = 3;
    ASSERT_EQ(FT_SetTransferParams(&first, 2), STATUS_SUCCESS);
    ASSERT_EQ(FT_SetTransferParams(&second, 2), STATUS_SUCCESS);
    const auto confs = take_xfr_confs(kernel_4);
    EXPECT_EQ(confs[2].aPipe[FT_PIPE_DIR_IN].bUrbNum, 3);
    EXPECT_EQ(confs[2].aPipe[FT_PIPE_DIR_IN].wBufNum, 256);
}

TEST_F(TransferConf, TheTableIsConsumedByOneOpen) {
    FT_TRANSFER_CONF conf = record();
    conf.aPipe[FT_PIPE_DIR_OUT].wBufNum = 12;
    ASSERT_EQ(FT_SetTransferParams(&conf, 3), STATUS_SUCCESS);
    EXPECT_EQ(get_xfr_confs()[3].aPipe[FT_PIPE_DIR_OUT].wBufNum, 12);
    EXPECT_EQ(get_xfr_confs()[3].aPipe[FT_PIPE_DIR_OUT].wBufNum, 256);
}

TEST_F(TransferConf, RunningKernelDecidesTheDefaultBufferSize) {
    struct utsname name {};
    ASSERT_EQ(uname(&name), 0);
    const auto running = get_xfr_confs();
    const auto given = take_xfr_confs(name.release);
    EXPECT_EQ(running[0].aPipe[0].dwBufSize, given[0].aPipe[0].dwBufSize);
}

TEST_F(TransferConf, ThreadsSettingAndOpeningAtOnceEachGetAWholeTable) {
    // Several host threads configuring and opening devices at once: every open takes a complete
    // table of its own, and the table is never freed twice.
    constexpr int threads = 4;
    constexpr int rounds = 2000;
    std::atomic<int> bad{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            while (!go.load())
                std::this_thread::yield();
            FT_TRANSFER_CONF conf = record();
            conf.aPipe[FT_PIPE_DIR_IN].wBufNum = static_cast<std::uint16_t>(100 + t);
            for (int i = 0; i < rounds; ++i) {
                if (t % 2 == 0 && FT_SetTransferParams(&conf, 1) != STATUS_SUCCESS)
                    ++bad;
                const auto confs = take_xfr_confs(kernel_4);
                if (!confs || confs[0].aPipe[FT_PIPE_DIR_OUT].bUrbNum != 8)
                    ++bad;
                // A record is either one thread's whole setting or the default.
                else if (const std::uint16_t n = confs[1].aPipe[FT_PIPE_DIR_IN].wBufNum;
                         n != 256 && (n < 100 || n >= 100 + threads))
                    ++bad;
            }
        });
    }
    go = true;
    for (auto& th : pool)
        th.join();
    EXPECT_EQ(bad.load(), 0);
}

} // namespace
