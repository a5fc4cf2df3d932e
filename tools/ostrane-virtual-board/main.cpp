// ostrane-virtual-board: plugs virtual boards into an emulated USB bus (or into the running
// kernel through vhci_hcd) and runs a command against them, serving its USB requests until it
// exits. Exits with its status.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "replay.h"
#include "script.h"
#include "umockdev/virtual_bus.h"

extern char** environ;

namespace {

using namespace vboard;

constexpr const char* program = "ostrane-virtual-board";

int usage_error(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    return 2;
}

std::vector<std::string> child_environment(const std::string& umockdev_dir, bool kernel) {
    std::vector<std::string> env;
    if (kernel) {
        // The boards are in the kernel: the child needs no emulation, only its own environment.
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        return env;
    }
    std::string preload = "libumockdev-preload.so.0";
    bool have_asan_options = false;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("LD_PRELOAD=", 0) == 0) {
            const std::string rest = v.substr(11);
            if (!rest.empty()) preload += ":" + rest;
            continue;
        }
        if (v.rfind("UMOCKDEV_DIR=", 0) == 0) continue;
        if (v.rfind("ASAN_OPTIONS=", 0) == 0) {
            have_asan_options = true;
            if (v.find("verify_asan_link_order") == std::string::npos) v += ":verify_asan_link_order=0";
        }
        env.push_back(std::move(v));
    }
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back("UMOCKDEV_DIR=" + umockdev_dir);
    // An ASan-built child would refuse to start with the preload library ahead of its runtime.
    if (!have_asan_options) env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    return env;
}

std::vector<uint8_t> parse_bytes(const std::vector<std::string>& args) {
    std::vector<uint8_t> bytes;
    for (const auto& a : args) bytes.push_back(static_cast<uint8_t>(std::stoul(a, nullptr, 16)));
    return bytes;
}

// Runs the script's events at their times until they are done or the runner is stopped. Between
// await lines events run in time order; an await holds the rest until the board has seen what it
// names, and their times count from then.
class ScriptRunner {
public:
    ScriptRunner(VirtualBus& bus, std::vector<int>& ids, std::vector<launcher::Event> events)
        : bus_(bus), ids_(ids), events_(std::move(events)) {
        sort_section(0);
    }
    ~ScriptRunner() { stop(); }

    // Applies the events due at 0 ms before any await, before the child starts: a program that is
    // quick to its first request still meets them.
    void apply_initial() {
        while (next_ < events_.size() && events_[next_].action != "await" && events_[next_].at.count() == 0)
            apply_reporting(events_[next_++]);
    }
    void start() {
        if (next_ < events_.size()) thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
    }
    void stop() {
        if (thread_.joinable()) {
            thread_.request_stop();
            thread_.join();
        }
    }

private:
    void sort_section(size_t from) {
        auto end = std::find_if(events_.begin() + static_cast<long>(from), events_.end(),
                                [](const auto& e) { return e.action == "await"; });
        std::stable_sort(events_.begin() + static_cast<long>(from), end,
                         [](const auto& a, const auto& b) { return a.at < b.at; });
    }

    // False when stopped first.
    bool sleep_until(std::stop_token stop, std::chrono::steady_clock::time_point when) {
        std::unique_lock lock(mutex_);
        return !wake_.wait_until(lock, stop, when, [] { return false; }) && !stop.stop_requested();
    }

    void run(std::stop_token stop) {
        auto base = std::chrono::steady_clock::now();
        while (next_ < events_.size()) {
            const auto& e = events_[next_++];
            if (!sleep_until(stop, base + e.at)) return;
            if (e.action != "await") {
                apply_reporting(e);
                continue;
            }
            const auto timeout = std::chrono::milliseconds(e.args.size() > 1 ? std::stol(e.args[1]) : 60000);
            const HostActivity what = e.args[0] == "request"     ? HostActivity::vendor_request
                                      : e.args[0] == "interrupt" ? HostActivity::interrupt_in
                                                                 : HostActivity::fifo_transfer;
            bool seen = false;
            try {
                seen = board_of(e).wait_for_host(what, std::chrono::steady_clock::now() + timeout, stop);
            } catch (const std::exception& err) {
                std::fprintf(stderr, "%s: script line %d: %s\n", program, e.line, err.what());
                return;
            }
            if (stop.stop_requested()) return;
            if (!seen) {
                std::fprintf(stderr, "%s: script line %d: board %d saw no %s within %ld ms; the rest of the script is not run\n",
                             program, e.line, e.board, e.args[0].c_str(), static_cast<long>(timeout.count()));
                return;
            }
            base = std::chrono::steady_clock::now();
            sort_section(next_);
        }
    }

    void apply_reporting(const launcher::Event& e) {
        try {
            apply(e);
        } catch (const std::exception& err) {
            std::fprintf(stderr, "%s: script line %d: %s\n", program, e.line, err.what());
        }
    }

    Board& board_of(const launcher::Event& e) {
        if (e.board < 1 || static_cast<size_t>(e.board) > ids_.size())
            throw std::runtime_error("no board " + std::to_string(e.board));
        return bus_.board(ids_[e.board - 1]);
    }

    void apply(const launcher::Event& e) {
        const auto& a = e.args;
        if (e.action == "plug") {
            ids_.push_back(bus_.plug(e.plug_config).id);
        } else if (e.action == "unplug") {
            board_of(e);
            bus_.unplug(ids_[e.board - 1]);
        } else if (e.action == "stall-control") {
            std::optional<uint8_t> req;
            if (a.size() > 1) req = static_cast<uint8_t>(std::stoul(a[1], nullptr, 0));
            board_of(e).stall_control(std::stoi(a[0], nullptr, 0), req);
        } else if (e.action == "nak-i2c") {
            board_of(e).nak_i2c(std::stoi(a[0], nullptr, 0));
        } else if (e.action == "delay-control") {
            const auto ms = std::chrono::milliseconds(a.size() > 1 ? std::stoi(a[1], nullptr, 0) : 1500);
            board_of(e).delay_control(std::stoi(a[0], nullptr, 0), ms);
        } else if (e.action == "notify") {
            if (a.empty()) board_of(e).send_notification();
            else board_of(e).send_notification(parse_bytes(a));
        } else if (e.action == "stall-bulk") {
            std::optional<uint8_t> ep;
            if (a.size() > 1) ep = static_cast<uint8_t>(std::stoul(a[1], nullptr, 0));
            board_of(e).stall_bulk(std::stoi(a[0], nullptr, 0), ep);
        } else if (e.action == "camera") {
            CameraBehaviour b;
            if (a[0] == "silent") b = CameraBehaviour::silent();
            else if (a[0] == "slow") b = CameraBehaviour::slow();
            else if (a[0] == "chatty") b = CameraBehaviour::chatty();
            if (a.size() > 1) {
                const int ms = std::stoi(a[1], nullptr, 0);
                if (a[0] == "chatty") b.chatter_interval = std::chrono::milliseconds(ms);
                else b.delay = std::chrono::milliseconds(ms);
            }
            board_of(e).set_camera(b);
        } else if (e.action == "short-control") {
            std::optional<uint8_t> req;
            if (a.size() > 2) req = static_cast<uint8_t>(std::stoul(a[2], nullptr, 0));
            board_of(e).short_control_replies(std::stoi(a[0], nullptr, 0), std::stoul(a[1], nullptr, 0), req);
        } else if (e.action == "lie-register") {
            std::optional<uint8_t> value;
            if (a[1] != "off") value = static_cast<uint8_t>(std::stoul(a[1], nullptr, 0));
            board_of(e).lie_register(static_cast<uint8_t>(std::stoul(a[0], nullptr, 0)), value);
        } else if (e.action == "stall-endpoint") {
            board_of(e).stall_endpoint(static_cast<uint8_t>(std::stoul(a[0], nullptr, 0)), std::stoi(a[1], nullptr, 0));
        } else if (e.action == "refuse-claim") {
            board_of(e).set_refuse_claim(a[0] == "on");
        } else if (e.action == "fail-strings") {
            board_of(e).set_fail_string_descriptors(a[0] == "on");
        }
    }

    VirtualBus& bus_;
    std::vector<int>& ids_;
    std::vector<launcher::Event> events_;
    size_t next_ = 0;  // the next event to run
    std::mutex mutex_;
    std::condition_variable_any wake_;  // only a stop wakes it
    std::jthread thread_;
};

std::atomic<pid_t> child_pid{0};

void forward_signal(int sig) {
    const pid_t pid = child_pid.load();
    if (pid > 0) ::kill(pid, sig);
}

}  // namespace

int main(int argc, char** argv) {
    // Everything after "--" is the command; CLI11 sees only the launcher's own options.
    std::vector<std::string> own, command;
    bool in_command = false;
    for (int i = 1; i < argc; ++i) {
        if (!in_command && std::strcmp(argv[i], "--") == 0) {
            in_command = true;
            continue;
        }
        (in_command ? command : own).push_back(argv[i]);
    }

    CLI::App app{"Runs COMMAND against virtual Ostrane boards on an emulated USB bus, or in the running kernel.",
                 program};
    int boards = 1;
    std::string model = "sdi", serial_prefix = "VB", speed = "super", fifo = "loopback", script_file;
    int video = 1;
    bool trace = false;
    std::string pcap_file;
    size_t pcap_snaplen = 1u << 20;
    std::string transport = "umockdev";  // or OSTRANE_VBOARD_TRANSPORT, as for the test fixtures
    launcher::Replay::Options replay_options;
    auto* boards_option =
        app.add_option("--boards", boards, "Boards plugged at start (with --replay: the capture's first N)")
            ->check(CLI::Range(0, VirtualBus::hub_ports));
    app.add_option("--model", model, "sdi, camera or bridge")->check(CLI::IsMember({"sdi", "camera", "bridge"}));
    app.add_option("--serial", serial_prefix, "Serial number prefix (PREFIX0001, PREFIX0002, ...)");
    app.add_option("--video-interfaces", video, "Video streams per board (UVC; 0: no video function)")->check(CLI::Range(0, 2));
    app.add_option("--speed", speed, "super or high")->check(CLI::IsMember({"super", "high"}));
    app.add_option("--fifo", fifo, "FIFO mode data: loopback or pattern")->check(CLI::IsMember({"loopback", "pattern"}));
    app.add_option("--script", script_file, "Timed events, one per line");
    app.add_flag("--trace", trace, "Print every USB request to stderr");
    app.add_option("--pcap", pcap_file, "Record every transfer to FILE (usbmon pcap, for Wireshark/tshark)");
    app.add_option("--pcap-snaplen", pcap_snaplen, "Data bytes kept per recorded transfer")
        ->check(CLI::Range(size_t{0}, size_t{1} << 24));
    app.add_option("--transport", transport,
                   "umockdev (emulated, the default) or kernel (vhci_hcd, needs root)")
        ->envname("OSTRANE_VBOARD_TRANSPORT")
        ->check(CLI::IsMember({"umockdev", "kernel"}));
    auto* replay_option = app.add_option("--replay", replay_options.capture,
                                         "Serve the boards recorded in CAPTURE (usbmon pcap or pcapng) instead of the model");
    app.add_option("--descriptors", replay_options.descriptors,
                   "With --replay: the board's sysfs descriptors file, for a capture begun after the plug")
        ->needs(replay_option);
    app.add_flag("--strict", replay_options.strict, "With --replay: what the capture holds that never came fails the run")
        ->needs(replay_option);
    app.add_flag("--realtime", replay_options.realtime, "With --replay: keep the recorded gaps before each answer")
        ->needs(replay_option);
    app.footer("Usage: ostrane-virtual-board [OPTIONS] -- COMMAND [ARGS...]");
    try {
        std::vector<std::string> reversed(own.rbegin(), own.rend());
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        std::printf("%s", app.help().c_str());
        return 0;
    } catch (const CLI::ParseError& e) {
        std::string what = e.what();
        std::replace(what.begin(), what.end(), '\n', ' ');
        return usage_error(what);
    }
    if (command.empty()) return usage_error("no command given (put it after --)");
    // The bus (and the command) read the transport from the environment too: make it the one chosen.
    ::setenv("OSTRANE_VBOARD_TRANSPORT", transport.c_str(), 1);

    BoardConfig defaults;
    defaults.model = *parse_model(model);
    defaults.video_interfaces = video;
    defaults.speed = speed == "super" ? Speed::super : Speed::high;
    defaults.fifo = fifo == "loopback" ? FifoSource::loopback : FifoSource::pattern;

    std::vector<launcher::Event> events;
    if (!script_file.empty()) {
        std::ifstream in(script_file);
        if (!in) return usage_error("cannot read script " + script_file + ": " + std::strerror(errno));
        try {
            events = launcher::parse_script(in, defaults);
        } catch (const std::runtime_error& e) {
            return usage_error(e.what());
        }
    }

    std::unique_ptr<launcher::Replay> replay;
    if (!replay_options.capture.empty()) {
        try {
            replay = std::make_unique<launcher::Replay>(replay_options);
        } catch (const std::exception& e) {
            return usage_error(e.what());
        }
        if (boards_option->count() == 0) boards = static_cast<int>(replay->boards());
    }

    VirtualBus::Options options;
    options.serial_prefix = serial_prefix;
    options.trace = trace ? stderr : nullptr;
    options.capture_file = pcap_file;
    options.capture_snaplen = pcap_snaplen;
    options.transport = transport == "kernel" ? Transport::kernel : Transport::umockdev;
    int status = 0;
    {
        std::unique_ptr<VirtualBus> bus_owner;
        try {
            bus_owner = std::make_unique<VirtualBus>(options);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", program, e.what());
            return 1;
        }
        VirtualBus& bus = *bus_owner;
        std::vector<int> ids;
        try {
            if (replay) ids = replay->plug(bus, static_cast<size_t>(boards));
            else
                for (int i = 0; i < boards; ++i) ids.push_back(bus.plug(defaults).id);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", program, e.what());
            return 1;
        }

        const auto env = child_environment(bus.umockdev_dir(), bus.transport() == Transport::kernel);
        std::vector<char*> envp, args;
        for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        for (const auto& a : command) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);

        struct sigaction sa {};
        sa.sa_handler = forward_signal;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGINT, &sa, nullptr);
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigaction(SIGHUP, &sa, nullptr);

        ScriptRunner script(bus, ids, std::move(events));
        script.apply_initial();
        pid_t pid = 0;
        const int spawn_error = ::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), envp.data());
        if (spawn_error != 0) {
            std::fprintf(stderr, "%s: cannot run %s: %s\n", program, args[0], std::strerror(spawn_error));
            return 127;
        }
        child_pid.store(pid);
        script.start();
        int wstatus = 0;
        while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
        }
        child_pid.store(0);
        script.stop();
        if (replay) replay->detach();
        status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus) : 1;
    }
    // The bus is gone: the boards have seen all they will.
    if (replay) status = replay->finish(status);
    return status;
}
