// The ostrane-virtual-board launcher serving other programs.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

struct Outcome {
    int status = -1;
    std::string output;  // stdout and stderr together
};

Outcome run(const std::string& args) {
    Outcome r;
    // Appended, not concatenated: GCC 12 warns wrongly (array-bounds) on the concatenation.
    std::string command = OSTRANE_VIRTUAL_BOARD;
    command += ' ';
    command += args;
    command += " 2>&1";
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    const int w = ::pclose(p);
    r.status = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
    return r;
}

bool have_lsusb() { return std::system("command -v lsusb >/dev/null 2>&1") == 0; }

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string temp_file(const std::string& contents) {
    char name[] = "/tmp/vboard-script-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0) ::close(fd);
    std::ofstream(name) << contents;
    return name;
}

TEST(Launcher, LsusbDecodesTwoBoardsWithVideoWithoutWarnings) {
    if (!have_lsusb()) GTEST_SKIP() << "lsusb not installed";
    // lsusb decodes the video class and names what it finds malformed there.
    const Outcome r = run("--boards 2 --video-interfaces 2 -- lsusb -v");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(count(r.output, "ID 1209:0001"), 2u) << r.output;
    EXPECT_EQ(count(r.output, "bcdUVC               1.10"), 2u);
    EXPECT_EQ(count(r.output, "(INPUT_HEADER)"), 4u);
    EXPECT_EQ(count(r.output, "(FRAME_UNCOMPRESSED)"), 12u);
    EXPECT_EQ(count(r.output, "iProduct                2 Q.V. Ostrane SDI Adapter"), 2u);
    EXPECT_EQ(count(r.output, "iSerial                 3 VB000"), 2u);
    for (const char* bad : {"arning", "Couldn't", "can't", "rror", "nvalid", "too short"})
        EXPECT_EQ(r.output.find(bad), std::string::npos) << "'" << bad << "' in:\n" << r.output;
}

TEST(Launcher, OptionsShapeTheBoards) {
    if (!have_lsusb()) GTEST_SKIP() << "lsusb not installed";
    const Outcome r = run("--model camera --serial CAM --video-interfaces 0 --speed high -- lsusb -v -d 1209:0002");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("iSerial                 3 CAM0001"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("bNumInterfaces          1"), std::string::npos);
    EXPECT_NE(r.output.find("bcdUSB               2.10"), std::string::npos);
    EXPECT_EQ(r.output.find("rror"), std::string::npos) << r.output;
}

// The launcher, like the fixtures, serves the boards on the transport the test run names.
bool on_kernel() {
    const char* transport = std::getenv("OSTRANE_VBOARD_TRANSPORT");
    return transport != nullptr && std::string(transport) == "kernel";
}

TEST(Launcher, ExitsWithTheChildsStatus) {
    EXPECT_EQ(run("-- sh -c 'exit 7'").status, 7);
    EXPECT_EQ(run("--boards 0 -- true").status, 0);
    // The child runs under emulation, or with none on the real kernel.
    const Outcome r = run("-- sh -c 'echo \"[$UMOCKDEV_DIR] $LD_PRELOAD\"'");
    EXPECT_EQ(r.status, 0);
    if (on_kernel()) {
        EXPECT_EQ(r.output.find("libumockdev-preload"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("[]"), std::string::npos) << r.output;
    } else {
        EXPECT_NE(r.output.find("libumockdev-preload.so.0"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("[]"), std::string::npos) << r.output;
    }
}

TEST(Launcher, WrongOptionsAndScriptLinesAreOneLineErrorsWithStatus2) {
    for (const char* args : {"--boards x -- true", "--model nope -- true", "--boards 9 -- true", "--bogus -- true",
                             "--boards 1"}) {
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(count(r.output, "\n"), 1u) << args << ": " << r.output;
        EXPECT_EQ(r.output.rfind("ostrane-virtual-board: ", 0), 0u) << r.output;
    }
    const std::string script = temp_file("# comment\n100 notify 1 EF BE\n200 frobnicate 1\n");
    const Outcome r = run("--script " + script + " -- true");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("script line 3"), std::string::npos) << r.output;
    EXPECT_EQ(count(r.output, "\n"), 1u) << r.output;
    for (const char* line : {"100 stall-control 1 many\n", "100 lie-register 1 0x20 5\n",
                             "100 short-control 1 1\n", "100 stall-endpoint 1 0x86 -1\n",
                             "0 await 1 nothing\n", "0 await 1 fifo 0\n"}) {
        const std::string bad_arg = temp_file(line);
        EXPECT_EQ(run("--script " + bad_arg + " -- true").status, 2) << line;
        std::remove(bad_arg.c_str());
    }
    std::remove(script.c_str());
}

TEST(Launcher, ScriptPlugsAndUnplugsWhileTheChildRuns) {
    if (!have_lsusb()) GTEST_SKIP() << "lsusb not installed";
    const std::string script = temp_file("50 plug model=bridge serial=LATE\n300 unplug 1\n");
    // The child waits (bounded) for the bridge to arrive and then for the first board to leave.
    const Outcome r = run("--script " + script +
                      " -- sh -c 'i=0; until lsusb -d 1209:0003 >/dev/null; do i=$((i+1)); [ $i -gt 200 ] && exit 3; "
                      "sleep 0.05; done; until ! lsusb -d 1209:0001 >/dev/null; do i=$((i+1)); [ $i -gt 400 ] && exit 4; "
                      "sleep 0.05; done; exit 0'");
    EXPECT_EQ(r.status, 0) << r.output;
    std::remove(script.c_str());
}

TEST(Launcher, ScriptFaultsReachAProgramThatIsNotLinkedWithTheBus) {
    const std::string probe = VBOARD_SCRIPT_PROBE;
    const std::string stall = temp_file("100 stall-control 1 2 2\n");
    Outcome r = run("--script " + stall + " -- " + probe + " stall");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("stalls 2 then ok"), std::string::npos) << r.output;
    const std::string notify = temp_file("100 notify 1 EF BE\n");
    r = run("--script " + notify + " -- " + probe + " notify");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("notification EF BE\n"), std::string::npos) << r.output;
    const std::string claim = temp_file("100 refuse-claim 1 on\n");
    r = run("--script " + claim + " -- " + probe + " claim");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("claim LIBUSB_ERROR_BUSY"), std::string::npos) << r.output;
    const std::string endpoint = temp_file("100 stall-endpoint 1 0x00 3\n");
    r = run("--script " + endpoint + " -- " + probe + " stall");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("stalls 3 then ok"), std::string::npos) << r.output;
    // A 1-byte read cut to nothing ends the probe's loop without a stall.
    const std::string cut = temp_file("100 short-control 1 1 0 2\n");
    r = run("--script " + cut + " -- " + probe + " stall");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("stalls 0 then LIBUSB_SUCCESS"), std::string::npos) << r.output;
    // An await that is never met drops the rest of the script and says so.
    const std::string never = temp_file("0 await 1 fifo 300\n0 notify 1\n");
    r = run("--script " + never + " -- sleep 1");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("board 1 saw no fifo within 300 ms"), std::string::npos) << r.output;
    for (const auto& f : {stall, notify, claim, endpoint, cut, never}) std::remove(f.c_str());
}

TEST(Launcher, TransfersOfAKilledProgramDoNotSwallowTheNextOnesNotification) {
    const std::string probe = VBOARD_SCRIPT_PROBE;
    const std::string script = temp_file("2000 notify 1\n");
    // The first probe is killed with its notification transfer posted; the second must get the
    // notification sent later (it waits up to 60 s for it).
    const Outcome r = run("--script " + script + " -- sh -c '" + probe + " notify & p=$!; sleep 0.3; kill $p; wait $p; " +
                          probe + " notify'");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("notification EF BE AD DE"), std::string::npos) << r.output;
    std::remove(script.c_str());
}

TEST(Launcher, TracePrintsRequests) {
    if (!have_lsusb()) GTEST_SKIP() << "lsusb not installed";
    const Outcome r = run("--trace -- lsusb -v -d 1209:0001");
    EXPECT_EQ(r.status, 0);
    // Labelled with the emulated hub port, or with the USB/IP server of the board on the kernel.
    const std::string label = on_kernel() ? "[vboard usbip VB0001]" : "[vboard 1-1.4]";
    EXPECT_NE(r.output.find(label + " control 80 06 0F00 0000 5 get-descriptor < 05 0F"), std::string::npos) << r.output;
}

}  // namespace
