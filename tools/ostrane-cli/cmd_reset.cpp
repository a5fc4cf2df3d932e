// `ostrane-cli reset`: a USB port reset of one board.
#include <fmt/format.h>

#include <memory>

#include "commands.h"
#include "common.h"

namespace {

int run_reset(const cli::board_selector& which, bool as_json)
{
    cli::board b(which);
    if (const FT_RESULT rc = FT_ResetDevicePort(b.handle()); rc != STATUS_SUCCESS)
        cli::fail_status("reset " + b.name(), rc);
    if (as_json)
        cli::print_json({{"index", b.listing().index}, {"serial_number", b.listing().serial()},
                         {"reset", true}});
    else
        fmt::print("{}: port reset done\n", b.name());
    return 0;
}

} // namespace

void add_reset_command(CLI::App& app)
{
    auto* cmd = app.add_subcommand("reset", "Reset a board's USB port");
    auto which = std::make_shared<cli::board_selector>();
    auto as_json = std::make_shared<bool>(false);
    which->add_to(cmd);
    cmd->add_flag("--json", *as_json, "Print JSON");
    cli::on_run(cmd, [which, as_json] { return run_reset(*which, *as_json); });
}
