// `ostrane-cli list`: one line (or JSON object) per attached board, and one error line per board
// that is present but that this user may not open.
#include <fmt/format.h>

#include <cstdio>
#include <memory>

#include "commands.h"
#include "common.h"

namespace {

int run_list(bool as_json)
{
    const auto boards = cli::list_boards();
    if (as_json) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& b : boards) {
            list.push_back({{"index", b.index},
                            {"serial_number", b.serial()},
                            {"description", b.description()},
                            {"vid", fmt::format("{:04X}", b.info.id >> 16)},
                            {"pid", fmt::format("{:04X}", b.info.id & 0xFFFF)},
                            {"speed", cli::speed_name(b.info.flags)},
                            {"open", (b.info.flags & FT_FLAGS_OPENED) != 0}});
        }
        cli::print_json(list);
    } else if (boards.empty()) {
        fmt::print("no boards found\n");
    } else {
        fmt::print("{:<5} {:<16} {:<32} {:<9} {:<6} {}\n", "INDEX", "SERIAL", "DESCRIPTION",
                   "VID:PID", "SPEED", "OPEN");
        for (const auto& b : boards) {
            fmt::print("{:<5} {:<16} {:<32} {:04X}:{:04X} {:<6} {}\n", b.index, b.serial(),
                       b.description(), b.info.id >> 16, b.info.id & 0xFFFF,
                       cli::speed_name(b.info.flags),
                       (b.info.flags & FT_FLAGS_OPENED) != 0 ? "yes" : "no");
        }
    }
    std::fflush(stdout);
    // The library does not list a board it cannot open; sysfs still shows it.
    int rc = cli::exit_ok;
    for (const auto& n : cli::ostrane_usb_nodes()) {
        if (n.accessible)
            continue;
        fmt::print(stderr,
                   "ostrane-cli: {} {} at {}: permission denied on {}: install the udev rule {} as "
                   "{} and replug the board\n",
                   n.product, n.serial, n.sys_name, n.dev_path, cli::udev_rule_source,
                   cli::udev_rule_installed);
        rc = cli::exit_permission;
    }
    return rc;
}

} // namespace

void add_list_command(CLI::App& app)
{
    auto* cmd = app.add_subcommand("list", "List the attached boards");
    auto as_json = std::make_shared<bool>(false);
    cmd->add_flag("--json", *as_json, "Print the list as JSON");
    cli::on_run(cmd, [as_json] { return run_list(*as_json); });
}
