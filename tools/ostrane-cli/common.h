// What the ostrane-cli subcommands share: exit codes, one-line failures, number parsing, board
// selection and opening, and the look-up of boards in sysfs that the library cannot open.
#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ostrane/ft60x.h"

namespace cli {

// Exit status per failure class; listed in --help and in the manual page.
enum exit_code : int {
    exit_ok = 0,
    exit_usage = 1,
    exit_not_found = 2,
    exit_permission = 3,
    exit_device = 4,
    exit_data = 5,
    exit_interrupted = 6,
};

extern const char* const exit_code_help;
extern const char* const udev_rule_source;
extern const char* const udev_rule_installed;

// A failure that ends the program with `code` after printing "ostrane-cli: <message>".
struct failure : std::runtime_error {
    failure(int c, const std::string& message) : std::runtime_error(message), code(c) {}
    int code;
};

[[noreturn]] void fail(int code, const std::string& message);

// "STATUS_IO_FAILED" for 4, and so on.
std::string status_name(FT_RESULT status);
int exit_code_of(FT_RESULT status);
// Fails with the exit code of `status`: "<what>: <status name> (status N): <what to do>".
[[noreturn]] void fail_status(const std::string& what, FT_RESULT status);

// Decimal, or hexadecimal with a 0x prefix; anything else, or a value above `max`, is a usage
// error naming `what`.
std::uint64_t parse_number(const std::string& text, std::uint64_t max, const char* what);

// Option checks whose failures say in words what is expected: a whole number (decimal or 0x hex,
// handed on in decimal) from `min` to `max`, described as `what` ("a board index"); a number of
// seconds above 0.
CLI::Validator whole_number(std::uint64_t min, std::uint64_t max, const std::string& what);
CLI::Validator positive_seconds();

std::string bits(unsigned value, int width);

// One attached board as the library lists it.
struct listed_board {
    unsigned index;
    FT_DEVICE_INFO info;
    std::string serial() const;
    std::string description() const;
};
std::vector<listed_board> list_boards();
const char* speed_name(std::uint32_t flags);

// An Ostrane USB device as sysfs shows it, whether or not this user may open it.
struct usb_node {
    std::string sys_name; // port path, "1-1.4"
    std::string dev_path; // "/dev/bus/usb/001/003"
    std::uint16_t vid = 0, pid = 0;
    unsigned busnum = 0, devnum = 0;
    std::string product, serial;
    bool accessible = true;
};
std::vector<usb_node> ostrane_usb_nodes();
// The sysfs entry of an opened board, if sysfs shows it.
std::optional<usb_node> usb_node_of(const FT_DEVICE_INFO& info);
// Whether the device is still where sysfs showed it (same port, same serial number).
bool still_attached(const usb_node& node);

// --board N or --serial S, common to every subcommand that talks to one board.
struct board_selector {
    int index = -1;
    std::string serial;
    void add_to(CLI::App* cmd);
    std::string describe() const;
};

// Held across a transfer configuration and the open that takes it: the next open of the process
// takes the configuration, whichever thread set it (burn-in opens boards from several threads).
std::mutex& open_lock();
// After a failed request on an open handle: whether its board has left (it no longer answers).
bool handle_unplugged(void* handle);

// An opened FT60x handle, closed on destruction.
class board {
public:
    // FIFO mode opens the streaming pipes instead of claiming the control interface.
    board(const board_selector& which, bool fifo_mode = false);
    ~board();
    board(const board&) = delete;
    board& operator=(const board&) = delete;

    void* handle() const { return handle_; }
    const listed_board& listing() const { return listing_; }
    std::string name() const; // "board 0 (VB0001)"
    // After a failed request: whether the board has left (it no longer answers at all).
    bool unplugged() const;
    // Fails with exit 6 when the board has left, saying so; returns otherwise.
    void fail_if_unplugged(const std::string& what) const;

private:
    void* handle_ = nullptr;
    listed_board listing_{};
};

// Fails (exit 2 or 3) for a board that could not be found: says whether the user lacks the
// permission to open a present board, and then names the udev rule to install.
[[noreturn]] void fail_not_found(const board_selector& which, const std::string& what);

// Registers a subcommand body: runs `body`, turning its non-zero result into the exit status.
template <typename F>
void on_run(CLI::App* cmd, F body)
{
    cmd->callback([body] {
        const int rc = body();
        if (rc != 0)
            throw CLI::RuntimeError(rc);
    });
}

void print_json(const nlohmann::json& j);
// One JSON document on one line, for event streams (JSON Lines).
void print_json_line(const nlohmann::json& j);

// Local wall-clock time with microseconds, "2026-12-07 11:22:33.123456".
std::string wall_time_text(std::chrono::system_clock::time_point t);

// After `catch_interrupts`, Ctrl-C or SIGTERM sets a flag that `interrupted` reads.
void catch_interrupts();
bool interrupted();

} // namespace cli
