// `watch` and `monitor` while boards come and go: their lines, their end and their exit status.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app.h"
#include "umockdev/virtual_bus.h"

namespace {

// Runs the program with standard output and error sent to files that the test can read while it
// runs.
class captured_run {
public:
    captured_run() : out_(temp()), err_(temp()) {}
    ~captured_run() {
        std::remove(out_.c_str());
        std::remove(err_.c_str());
    }

    int run(std::vector<std::string> args) {
        args.insert(args.begin(), "ostrane-cli");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::fflush(stdout);
        std::fflush(stderr);
        const int saved_out = dup(1), saved_err = dup(2);
        std::FILE* out = std::fopen(out_.c_str(), "w");
        std::FILE* err = std::fopen(err_.c_str(), "w");
        dup2(fileno(out), 1);
        dup2(fileno(err), 2);
        const int status = run_cli(static_cast<int>(args.size()), argv.data());
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(saved_out, 1);
        dup2(saved_err, 2);
        close(saved_out);
        close(saved_err);
        std::fclose(out);
        std::fclose(err);
        return status;
    }

    std::string out() const { return slurp(out_); }
    std::string err() const { return slurp(err_); }

    // Waits (at most 20 s) until standard output holds `text`.
    bool wait_for_output(const std::string& text) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < end) {
            if (out().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

private:
    static std::string temp() {
        char name[] = "/tmp/cli_live_XXXXXX";
        close(mkstemp(name));
        return name;
    }
    static std::string slurp(const std::string& path) {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string out_, err_;
};

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

} // namespace

TEST(CliLive, WatchShowsPresentBoardsThenArrivalsAndDepartures) {
    vboard::VirtualBus bus;
    const auto first = bus.plug();
    captured_run cli;
    bool saw_present = false, saw_arrival = false;
    std::thread plugger([&] {
        saw_present = cli.wait_for_output("\"event\":\"present\"");
        bus.plug({.model = vboard::Model::camera, .serial = "CAM7"});
        saw_arrival = cli.wait_for_output("\"event\":\"arrived\"");
        bus.unplug(first.id);
    });
    const int status = cli.run({"watch", "--json", "--count", "2", "--seconds", "60"});
    plugger.join();
    const std::string out = cli.out();
    EXPECT_EQ(status, 0) << out << cli.err();
    ASSERT_TRUE(saw_present && saw_arrival) << out;
    EXPECT_NE(out.find("\"event\":\"present\",\"pid\":\"0001\",\"serial_number\":\"VB0001\""),
              std::string::npos) << out;
    EXPECT_NE(out.find("\"event\":\"arrived\",\"pid\":\"0002\",\"serial_number\":\"CAM7\""),
              std::string::npos) << out;
    EXPECT_NE(out.find("\"event\":\"departed\",\"pid\":\"0001\",\"serial_number\":\"VB0001\""),
              std::string::npos) << out;
    EXPECT_NE(out.find("{\"changes\":2,"), std::string::npos) << out;
    EXPECT_NE(out.find("\"end\":\"count\""), std::string::npos) << out;
}

TEST(CliLive, MonitorCountsNotificationsAndEndsWithStatusSixOnUnplug) {
    vboard::VirtualBus bus;
    const auto plugged = bus.plug();
    vboard::Board& board = bus.board(plugged.id);
    captured_run cli;
    bool saw_start = false, saw_two = false;
    std::thread driver([&] {
        saw_start = cli.wait_for_output("monitoring board 0 (VB0001)");
        board.send_notification();
        board.send_notification({0xEF, 0xBE}); // not a notification: not counted
        board.send_notification();
        saw_two = cli.wait_for_output("notification 2 (type 2)");
        bus.unplug(plugged.id);
    });
    const int status = cli.run({"monitor", "--seconds", "60"});
    driver.join();
    const std::string out = cli.out(), err = cli.err();
    ASSERT_TRUE(saw_start && saw_two) << out << err;
    EXPECT_EQ(status, 6) << out << err;
    EXPECT_EQ(count(out, " notification "), 2u) << out;
    EXPECT_NE(out.find("2 notification(s) in "), std::string::npos) << out;
    EXPECT_NE(out.find("(unplugged)"), std::string::npos) << out;
    EXPECT_EQ(err, "ostrane-cli: monitor board 0 (VB0001): the board was unplugged "
                   "(STATUS_DEVICE_GONE): plug it in and start the monitor again\n");
}
