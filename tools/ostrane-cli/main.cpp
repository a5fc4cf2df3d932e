// ostrane-cli: lists Ostrane boards and talks to them through libOstraneCommsUSB.
#include <CLI/CLI.hpp>

#include <string>

#include "commands.h"

int main(int argc, char** argv)
{
    CLI::App app{"Lists Ostrane camera interface boards and talks to them", "ostrane-cli"};
    app.require_subcommand(1);
    // Usage errors, like every other error of the tool, are one line.
    app.failure_message([](const CLI::App*, const CLI::Error& e) {
        return std::string("ostrane-cli: ") + e.what() + " (see --help)\n";
    });
    add_list_command(app);
    add_send_command(app);
    add_stream_command(app);
    CLI11_PARSE(app, argc, argv);
    return 0;
}
