// Exit codes, failure lines, board selection and the sysfs look-up shared by the subcommands.
#include "common.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace cli {

const char* const exit_code_help =
    "Exit status:\n"
    "  0  success\n"
    "  1  usage error (unknown option, bad number, invalid file)\n"
    "  2  board not found\n"
    "  3  permission denied: a board is present but this user may not open it\n"
    "  4  device or I/O failure (the status is named)\n"
    "  5  data check failed (stream pattern, configuration read-back)\n"
    "  6  interrupted or unplugged where that is a failure\n"
    "A board that is present but not accessible needs the udev rule packaging/60-ostrane.rules\n"
    "installed as /lib/udev/rules.d/60-ostrane.rules (see ostrane-cli(1)).\n";
const char* const udev_rule_source = "packaging/60-ostrane.rules";
const char* const udev_rule_installed = "/lib/udev/rules.d/60-ostrane.rules";

void fail(int code, const std::string& message)
{
    throw failure(code, message);
}

std::string status_name(FT_RESULT status)
{
    switch (status) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_BAD_HANDLE: return "STATUS_BAD_HANDLE";
    case STATUS_NO_DEVICE: return "STATUS_NO_DEVICE";
    case STATUS_OPEN_FAILED: return "STATUS_OPEN_FAILED";
    case STATUS_IO_FAILED: return "STATUS_IO_FAILED";
    case STATUS_TOO_LARGE: return "STATUS_TOO_LARGE";
    case STATUS_BAD_PARAMETER: return "STATUS_BAD_PARAMETER";
    case STATUS_UNSUPPORTED: return "STATUS_UNSUPPORTED";
    case STATUS_TIMED_OUT: return "STATUS_TIMED_OUT";
    case STATUS_TRANSFER_CANCELLED: return "STATUS_TRANSFER_CANCELLED";
    case STATUS_DEVICE_GONE: return "STATUS_DEVICE_GONE";
    case STATUS_SESSION_FAILED: return "STATUS_SESSION_FAILED";
    default: return "unknown status";
    }
}

namespace {

const char* advice_for(FT_RESULT status)
{
    switch (status) {
    case STATUS_BAD_HANDLE: return "the board was closed under the command; run it again";
    case STATUS_NO_DEVICE: return "check the cable and `ostrane-cli list`";
    case STATUS_OPEN_FAILED:
        return "another program may be using the board; close it and try again";
    case STATUS_IO_FAILED:
        return "the board did not carry out the request; check the cable or run `ostrane-cli "
               "reset`";
    case STATUS_TOO_LARGE: return "use a smaller request";
    case STATUS_BAD_PARAMETER: return "check the arguments";
    case STATUS_UNSUPPORTED: return "the board refused the request; check the arguments";
    case STATUS_TIMED_OUT: return "the board did not answer in time; check that it is powered";
    case STATUS_TRANSFER_CANCELLED: return "run the command again";
    case STATUS_DEVICE_GONE: return "the board was unplugged; plug it in and run the command again";
    case STATUS_SESSION_FAILED: return "USB could not be initialised; check that libusb works here";
    default: return "run the command again with the board replugged";
    }
}

} // namespace

int exit_code_of(FT_RESULT status)
{
    switch (status) {
    case STATUS_SUCCESS: return exit_ok;
    case STATUS_NO_DEVICE: return exit_not_found;
    case STATUS_DEVICE_GONE: return exit_interrupted;
    default: return exit_device;
    }
}

void fail_status(const std::string& what, FT_RESULT status)
{
    fail(exit_code_of(status),
         fmt::format("{}: {} (status {}): {}", what, status_name(status), status, advice_for(status)));
}

namespace {

std::optional<std::uint64_t> to_number(const std::string& text)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.size() > 16 || digits.find_first_not_of(allowed) != std::string::npos)
        return std::nullopt;
    // 20 decimal digits would not fit; 16 always do.
    return std::stoull(digits, nullptr, hex ? 16 : 10);
}

} // namespace

std::uint64_t parse_number(const std::string& text, std::uint64_t max, const char* what)
{
    const auto value = to_number(text);
    if (!value)
        fail(exit_usage, fmt::format("{} \"{}\" is not a number (decimal or 0x hex)", what, text));
    if (*value > max)
        fail(exit_usage, fmt::format("{} {} is larger than {}", what, text, max));
    return *value;
}

CLI::Validator whole_number(std::uint64_t min, std::uint64_t max, const std::string& what)
{
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            const auto value = to_number(text);
            if (!value || *value < min || *value > max)
                return fmt::format("\"{}\" is not {}: give a whole number from {} to {}", text,
                                   what, min, max);
            text = std::to_string(*value);
            return {};
        },
        fmt::format("{} to {}", min, max));
}

CLI::Validator positive_seconds()
{
    // Large enough for any run, small enough for every clock the commands use.
    constexpr double most = 1e8;
    return CLI::Validator(
        [most](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !(value > 0 && value <= most))
                return fmt::format("\"{}\" is not a number of seconds above 0 (at most {:.0f})",
                                   text, most);
            return {};
        },
        "seconds above 0");
}

std::string bits(unsigned value, int width)
{
    std::string s = "0b";
    for (int b = width - 1; b >= 0; --b)
        s += ((value >> b) & 1u) != 0 ? '1' : '0';
    return s;
}

std::string listed_board::serial() const
{
    return std::string(info.serial_number, strnlen(info.serial_number, sizeof info.serial_number));
}

std::string listed_board::description() const
{
    return std::string(info.description, strnlen(info.description, sizeof info.description));
}

std::vector<listed_board> list_boards()
{
    std::uint32_t count = 0;
    if (const FT_RESULT rc = FT_CreateDeviceInfoList(&count); rc != STATUS_SUCCESS)
        fail_status("cannot list the boards", rc);
    std::vector<FT_DEVICE_INFO> infos(count);
    if (count != 0) {
        std::uint32_t copied = 0;
        if (const FT_RESULT rc = FT_GetDeviceInfoList(infos.data(), &copied); rc != STATUS_SUCCESS)
            fail_status("cannot read the board list", rc);
        // The list may have shrunk between the two calls.
        infos.resize(std::min(copied, count));
    }
    std::vector<listed_board> boards;
    for (unsigned i = 0; i < infos.size(); ++i)
        boards.push_back({i, infos[i]});
    return boards;
}

const char* speed_name(std::uint32_t flags)
{
    if ((flags & FT_FLAGS_SUPERSPEED) != 0)
        return "super";
    if ((flags & FT_FLAGS_HISPEED) != 0)
        return "high";
    return "full";
}

namespace {

std::string read_attribute(const std::filesystem::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// The IDs that packaging/60-ostrane.rules covers: the boards and the bare chip.
bool is_ostrane_id(std::uint16_t vid, std::uint16_t pid)
{
    return (vid == 0x1209 && pid >= 0x0001 && pid <= 0x0003) ||
           (vid == 0x0403 && (pid & 0xFFF0) == 0x6010);
}

} // namespace

std::vector<usb_node> ostrane_usb_nodes()
{
    std::vector<usb_node> nodes;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/bus/usb/devices", ec)) {
        const auto dir = entry.path();
        const std::string vid = read_attribute(dir / "idVendor");
        const std::string pid = read_attribute(dir / "idProduct");
        if (vid.empty() || pid.empty())
            continue;
        usb_node n;
        try {
            n.vid = static_cast<std::uint16_t>(std::stoul(vid, nullptr, 16));
            n.pid = static_cast<std::uint16_t>(std::stoul(pid, nullptr, 16));
            n.busnum = static_cast<unsigned>(std::stoul(read_attribute(dir / "busnum")));
            n.devnum = static_cast<unsigned>(std::stoul(read_attribute(dir / "devnum")));
        } catch (const std::exception&) {
            continue;
        }
        if (!is_ostrane_id(n.vid, n.pid))
            continue;
        n.sys_name = dir.filename().string();
        n.dev_path = fmt::format("/dev/bus/usb/{:03}/{:03}", n.busnum, n.devnum);
        n.product = read_attribute(dir / "product");
        n.serial = read_attribute(dir / "serial");
        n.accessible = access(n.dev_path.c_str(), R_OK | W_OK) == 0 || errno != EACCES;
        nodes.push_back(std::move(n));
    }
    std::sort(nodes.begin(), nodes.end(),
              [](const usb_node& a, const usb_node& b) { return a.sys_name < b.sys_name; });
    return nodes;
}

std::optional<usb_node> usb_node_of(const FT_DEVICE_INFO& info)
{
    const std::string serial(info.serial_number, strnlen(info.serial_number, sizeof info.serial_number));
    for (auto& n : ostrane_usb_nodes())
        if (n.vid == info.id >> 16 && n.pid == (info.id & 0xFFFF) && n.serial == serial)
            return n;
    return std::nullopt;
}

bool still_attached(const usb_node& node)
{
    const std::filesystem::path dir = std::filesystem::path("/sys/bus/usb/devices") / node.sys_name;
    return read_attribute(dir / "serial") == node.serial &&
           read_attribute(dir / "devnum") == std::to_string(node.devnum);
}

void board_selector::add_to(CLI::App* cmd)
{
    auto* by_index = cmd->add_option("--board", index, "Board index (see `list`); default 0")
                         ->transform(whole_number(0, 255, "a board index"));
    auto* by_serial = cmd->add_option("--serial", serial, "Board serial number")
                          ->check(CLI::Validator(
                              [](const std::string& text) -> std::string {
                                  return text.empty() ? "an empty serial number names no board"
                                                      : "";
                              },
                              "", "not empty"));
    by_index->excludes(by_serial);
}

std::string board_selector::describe() const
{
    if (!serial.empty())
        return fmt::format("board with serial {}", serial);
    return fmt::format("board {}", index < 0 ? 0 : index);
}

void fail_not_found(const board_selector& which, const std::string& what)
{
    for (const usb_node& n : ostrane_usb_nodes()) {
        if (n.accessible || (!which.serial.empty() && !n.serial.empty() && n.serial != which.serial))
            continue;
        fail(exit_permission,
             fmt::format("{}: permission denied on {} ({:04X}:{:04X} {} {}, port {}): install the "
                         "udev rule {} as {} and replug the board (or join the plugdev group)",
                         what, n.dev_path, n.vid, n.pid, n.product, n.serial, n.sys_name,
                         udev_rule_source, udev_rule_installed));
    }
    const std::size_t count = list_boards().size();
    fail(exit_not_found, fmt::format("{}: {} not found ({} board{} attached): check the cable and "
                                     "`ostrane-cli list`",
                                     what, which.describe(), count, count == 1 ? "" : "s"));
}

board::board(const board_selector& which, bool fifo_mode)
{
    const std::string what = "open " + which.describe();
    const auto boards = list_boards();
    const listed_board* found = nullptr;
    for (const auto& b : boards) {
        if (which.serial.empty() ? b.index == static_cast<unsigned>(std::max(which.index, 0))
                                 : b.serial() == which.serial) {
            found = &b;
            break;
        }
    }
    if (found == nullptr)
        fail_not_found(which, what);
    listing_ = *found;
    std::lock_guard<std::mutex> guard(open_lock());
    if (fifo_mode) {
        FT_TRANSFER_CONF conf{};
        conf.wStructSize = sizeof(FT_TRANSFER_CONF);
        conf.bFifoMode = 1;
        if (const FT_RESULT rc = FT_SetTransferParams(&conf, 0); rc != STATUS_SUCCESS)
            fail_status("set the FIFO-mode transfer configuration", rc);
    }
    // Opening by serial number keeps the choice right if the list changed since it was read.
    std::string serial = listing_.serial();
    const FT_RESULT rc =
        serial.empty()
            ? FT_Create(reinterpret_cast<void*>(static_cast<std::uintptr_t>(listing_.index)),
                        FT_OPEN_BY_INDEX, &handle_)
            : FT_Create(serial.data(), FT_OPEN_BY_SERIAL_NUMBER, &handle_);
    if (rc == STATUS_NO_DEVICE)
        fail_not_found(which, what);
    if (rc != STATUS_SUCCESS || handle_ == nullptr)
        fail_status(what, rc == STATUS_SUCCESS ? FT_RESULT{STATUS_OPEN_FAILED} : rc);
}

std::mutex& open_lock()
{
    static std::mutex lock;
    return lock;
}

bool handle_unplugged(void* handle)
{
    // A board that is there answers a standard request (its device descriptor); the board list
    // and sysfs show an unplug only some time after the requests fail.
    std::uint8_t descriptor[18];
    std::uint32_t got = 0;
    return FT_GetDescriptor(handle, 1, 0, descriptor, sizeof descriptor, &got) != STATUS_SUCCESS;
}

bool board::unplugged() const
{
    return handle_unplugged(handle_);
}

void board::fail_if_unplugged(const std::string& what) const
{
    if (unplugged())
        fail(exit_interrupted, fmt::format("{}: the board was unplugged (STATUS_DEVICE_GONE): plug "
                                           "it in and run the command again",
                                           what));
}

board::~board()
{
    if (handle_ != nullptr)
        FT_Close(handle_);
}

std::string board::name() const
{
    return fmt::format("board {} ({})", listing_.index, listing_.serial());
}

void print_json(const nlohmann::json& j)
{
    std::fputs((j.dump(2) + "\n").c_str(), stdout);
    std::fflush(stdout);
}

void print_json_line(const nlohmann::json& j)
{
    std::fputs((j.dump() + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string wall_time_text(std::chrono::system_clock::time_point t)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                            t.time_since_epoch()).count() % 1000000;
    return fmt::format("{}.{:06}", text, micros);
}

namespace {
std::atomic<bool> interrupt_seen{false};
extern "C" void on_interrupt(int)
{
    interrupt_seen.store(true);
}
} // namespace

void catch_interrupts()
{
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool interrupted()
{
    return interrupt_seen.load();
}

} // namespace cli
