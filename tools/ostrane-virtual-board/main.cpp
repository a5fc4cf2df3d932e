// ostrane-virtual-board: plugs virtual boards into an emulated USB bus (or into the running
// kernel through vhci_hcd) and runs a command against them, serving its USB requests until it
// exits. Exits with its status. With --listen it serves the boards on the network to the stock
// USB/IP client instead, until the command ends or a signal comes.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
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
#include "usbip/usbip_server.h"

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

// Where the boards are: plugged into a bus, or offered by the network listener.
class BoardHost {
public:
    virtual ~BoardHost() = default;
    virtual int plug(const BoardConfig& config) = 0;
    virtual void unplug(int id) = 0;
    virtual Board& board(int id) = 0;
};

class BusHost final : public BoardHost {
public:
    explicit BusHost(VirtualBus& bus) : bus_(bus) {}
    int plug(const BoardConfig& config) override { return bus_.plug(config).id; }
    void unplug(int id) override { bus_.unplug(id); }
    Board& board(int id) override { return bus_.board(id); }

private:
    VirtualBus& bus_;
};

// A board "plugged" here is listed for import; "unplugged", its import ends and it is listed no more.
class ListenerHost final : public BoardHost {
public:
    ListenerHost(UsbipServer& server, std::string serial_prefix) : server_(server), prefix_(std::move(serial_prefix)) {}
    int plug(const BoardConfig& given) override {
        BoardConfig config = given;
        if (config.serial.empty()) {
            char number[16];
            std::snprintf(number, sizeof number, "%04d", ++serials_);
            config.serial = prefix_ + number;
        }
        DeviceIdentity identity;
        identity.speed = config.speed;
        identity.serial = config.serial;
        identity.label = model_name(config.model);
        auto board = std::make_shared<Board>(std::move(config));
        const int id = server_.add(board, identity);
        std::lock_guard lock(mutex_);
        boards_[id] = board;
        return id;
    }
    void unplug(int id) override { server_.remove(id); }
    Board& board(int id) override {
        std::lock_guard lock(mutex_);
        auto it = boards_.find(id);
        if (it == boards_.end()) throw std::runtime_error("board " + std::to_string(id) + " is not a model");
        return *it->second;
    }

private:
    UsbipServer& server_;
    std::string prefix_;
    int serials_ = 0;
    std::mutex mutex_;
    std::map<int, std::shared_ptr<Board>> boards_;
};

// Runs the script's events at their times until they are done or the runner is stopped. Between
// await lines events run in time order; an await holds the rest until the board has seen what it
// names, and their times count from then.
class ScriptRunner {
public:
    ScriptRunner(BoardHost& bus, std::vector<int>& ids, std::vector<launcher::Event> events)
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
            ids_.push_back(bus_.plug(e.plug_config));
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
        } else if (e.action == "corrupt-fifo") {
            board_of(e).corrupt_fifo_byte(std::stoull(a[0], nullptr, 0));
        } else if (e.action == "drop-fifo") {
            board_of(e).drop_fifo_bytes(std::stoull(a[0], nullptr, 0), a.size() > 1 ? std::stoul(a[1], nullptr, 0) : 1024);
        } else if (e.action == "refuse-claim") {
            board_of(e).set_refuse_claim(a[0] == "on");
        } else if (e.action == "fail-strings") {
            board_of(e).set_fail_string_descriptors(a[0] == "on");
        }
    }

    BoardHost& bus_;
    std::vector<int>& ids_;
    std::vector<launcher::Event> events_;
    size_t next_ = 0;  // the next event to run
    std::mutex mutex_;
    std::condition_variable_any wake_;  // only a stop wakes it
    std::jthread thread_;
};

std::atomic<pid_t> child_pid{0};
int signal_pipe[2] = {-1, -1};  // written by a signal that finds no child to forward it to

void forward_signal(int sig) {
    const pid_t pid = child_pid.load();
    if (pid > 0) ::kill(pid, sig);
    else if (signal_pipe[1] >= 0) [[maybe_unused]] ssize_t r = ::write(signal_pipe[1], "s", 1);
}

void install_signal_forwarding() {
    struct sigaction sa {};
    sa.sa_handler = forward_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
}

// Runs the command with `envp` and returns its status as a shell would, the script running beside.
int run_command(const std::vector<std::string>& command, const std::vector<std::string>& env, ScriptRunner& script) {
    std::vector<char*> envp, args;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    for (const auto& a : command) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
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
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus) : 1;
}

// --listen: serves the boards to USB/IP clients until the command ends or, without one, until
// SIGINT or SIGTERM.
int serve_on_network(const std::string& listen, const std::vector<std::string>& allow, const BoardConfig& defaults,
                     int boards, const std::string& serial_prefix, FILE* trace, launcher::Replay* replay,
                     std::vector<launcher::Event> events, const std::vector<std::string>& command) {
    const auto where = parse_listen_address(listen);
    if (!where) return usage_error("--listen takes [ADDR:]PORT (an IPv6 address in brackets): " + listen);
    UsbipServer::Options options;
    options.address = where->first;
    options.port = where->second;
    options.trace = trace;
    for (const auto& a : allow) {
        const auto cidr = Cidr::parse(a);
        if (!cidr) return usage_error("--allow takes an address or ADDRESS/PREFIX: " + a);
        options.allow.push_back(*cidr);
    }
    std::unique_ptr<UsbipServer> server;
    try {
        server = std::make_unique<UsbipServer>(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", program, e.what());
        return 1;
    }
    ListenerHost host(*server, serial_prefix);
    std::vector<int> ids;
    if (replay) ids = replay->serve(*server, static_cast<size_t>(boards));
    else
        for (int i = 0; i < boards; ++i) ids.push_back(host.plug(defaults));
    std::fprintf(stderr, "%s: serving %zu board%s on %s port %u (bus IDs 1-1 to 1-%zu)\n", program, ids.size(),
                 ids.size() == 1 ? "" : "s", options.address.c_str(), server->port(), ids.size());
    ScriptRunner script(host, ids, std::move(events));
    int status = 0;
    if (!command.empty()) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        status = run_command(command, env, script);
    } else {
        script.apply_initial();
        script.start();
        char c;
        while (::read(signal_pipe[0], &c, 1) < 0 && errno == EINTR) {
        }
        script.stop();
    }
    if (replay) replay->detach();
    server.reset();
    return status;
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
            ->check(CLI::Range(0, 64));
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
    std::string listen;
    std::vector<std::string> allow;
    auto* listen_option = app.add_option(
        "--listen", listen,
        "Serve the boards to USB/IP clients on [ADDR:]PORT (loopback unless ADDR is named) instead of plugging them here");
    app.add_option("--allow", allow, "With --listen: accept only peers in CIDR (repeatable)")->needs(listen_option);
    app.footer("Usage: ostrane-virtual-board [OPTIONS] -- COMMAND [ARGS...]\n"
               "       ostrane-virtual-board --listen [ADDR:]PORT [OPTIONS] [-- COMMAND [ARGS...]]");
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
    if (command.empty() && listen.empty()) return usage_error("no command given (put it after --)");
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

    if (!listen.empty() && !pcap_file.empty())
        return usage_error("--pcap records a bus of this machine; with --listen, record on the client (usbmon)");
    if (listen.empty() && boards > VirtualBus::hub_ports)
        return usage_error("--boards: at most " + std::to_string(VirtualBus::hub_ports) + " on one bus");
    if (!listen.empty()) {
        if (::pipe2(signal_pipe, O_CLOEXEC) != 0) return 1;
        install_signal_forwarding();
        int status = serve_on_network(listen, allow, defaults, boards, serial_prefix, trace ? stderr : nullptr,
                                      replay.get(), std::move(events), command);
        if (replay) status = replay->finish(status);
        return status;
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

        install_signal_forwarding();
        BusHost host(bus);
        ScriptRunner script(host, ids, std::move(events));
        status = run_command(command, child_environment(bus.umockdev_dir(), bus.transport() == Transport::kernel), script);
        if (replay) replay->detach();
    }
    // The bus is gone: the boards have seen all they will.
    if (replay) status = replay->finish(status);
    return status;
}
