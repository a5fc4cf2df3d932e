// Teardown at exit, checked in a child process that exits normally.
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace {

struct child_result {
    int status = -1;
    std::string output;
};

child_result run_child(const std::string& mode, const char* program = UNLOAD_CHILD)
{
    child_result r;
    const std::string command = std::string(program) + " " + mode;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr)
        return r;
    char chunk[4096];
    std::size_t n = 0;
    while ((n = fread(chunk, 1, sizeof chunk, p)) > 0)
        r.output.append(chunk, n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

void expect_in_order(const std::string& text, std::initializer_list<const char*> lines)
{
    std::size_t at = 0;
    for (const char* line : lines) {
        const std::size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << text;
        at = found + 1;
    }
}

TEST(Unload, TeardownLogsInOrderAtExit)
{
    const child_result r = run_child("list");
    ASSERT_EQ(r.status, 0) << r.output;
    expect_in_order(r.output, {"Start event thread\r\n", "main returns\r\n", "Session Deinit\r\n",
                               "stop event thread\r\n", "reset device list\r\n"});
}

TEST(Unload, HandlesLeftOpenAreClosedBeforeTheEventThreadStops)
{
    const child_result r = run_child("open");
    ASSERT_EQ(r.status, 0) << r.output;
    expect_in_order(r.output, {"Try to open device FT_DEVICE_602 0x12090001 ", "main returns\r\n",
                               "Session Deinit\r\n", "stop event thread\r\n",
                               "reset device list\r\n"});
}

TEST(Unload, BoardChannelsLeftOpenAreClosedByTheSessionOnly)
{
    const child_result r = run_child("channel");
    ASSERT_EQ(r.status, 0) << r.output;
    expect_in_order(r.output, {"main returns\r\n", "Session Deinit\r\n", "stop event thread\r\n",
                               "reset device list\r\n"});
    // Nothing tries to close a channel's handle after the session has gone.
    EXPECT_EQ(r.output.find("invalid device handle"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Cannot find handle"), std::string::npos) << r.output;
}

// Teardown at exit while calls, threads or processes are still about: it neither frees what a
// running call uses nor waits for ever for threads it did not start or that are not there.
TEST(Unload, ExitWhileAnotherThreadIsInsideAnEntryPoint)
{
    const child_result r = run_child("exit-in-open");
    ASSERT_EQ(r.status, 0) << r.output;
    expect_in_order(r.output, {"main returns\r\n", "Session Deinit\r\n", "stop event thread\r\n"});
}

TEST(Unload, ForkedChildExitsAndMayUseTheLibraryAfresh)
{
    const child_result r = run_child("fork");
    ASSERT_EQ(r.status, 0) << r.output;
}

// The library's code stays until the hot-plug notice it started has returned into it.
TEST(Unload, UnloadWaitsForARunningHotplugNotice)
{
    const child_result r = run_child("", UNLOAD_DL_CHILD);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("unloaded after the notice\r\n"), std::string::npos) << r.output;
}

TEST(Unload, SettingTheLogAloneStartsNoSession)
{
    const child_result r = run_child("debug-only");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "");
}

} // namespace
