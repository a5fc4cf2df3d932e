// The ostrane-cli command line: its subcommands, and how every outcome becomes one exit status.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cstdio>
#include <exception>
#include <string>

#include "app.h"
#include "commands.h"
#include "common.h"

int run_cli(int argc, char** argv)
{
    CLI::App app{"Lists Ostrane camera interface boards and talks to them", "ostrane-cli"};
    app.require_subcommand(1);
    app.footer(cli::exit_code_help);
    add_list_command(app);
    add_info_command(app);
    add_gpio_command(app);
    add_config_command(app);
    add_memory_commands(app);
    add_monitor_command(app);
    add_watch_command(app);
    add_reset_command(app);
    add_send_command(app);
    add_stream_command(app);
    add_burn_in_command(app);
    // Every error of the tool, usage errors included, is one line on stderr.
    try {
        app.parse(argc, argv);
    } catch (const CLI::RuntimeError& e) {
        return e.get_exit_code(); // a subcommand's own non-zero result, already reported
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return app.exit(e); // --help
        std::string text = e.what();
        // A word where a subcommand belongs is left over, and a subcommand is missing.
        const auto left = app.remaining(true);
        if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr && !left.empty() &&
            left.front().rfind('-', 0) != 0)
            text = fmt::format("unknown subcommand \"{}\"", left.front());
        std::fprintf(stderr, "ostrane-cli: %s (see --help)\n", text.c_str());
        return cli::exit_usage;
    } catch (const cli::failure& f) {
        std::fflush(stdout);
        std::fprintf(stderr, "ostrane-cli: %s\n", f.what());
        return f.code;
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "ostrane-cli: %s\n", e.what());
        return cli::exit_device;
    }
    return cli::exit_ok;
}
