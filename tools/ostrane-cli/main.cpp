// ostrane-cli: lists Ostrane boards and talks to them through libOstraneCommsUSB.
#include <CLI/CLI.hpp>

#include "commands.h"

int main(int argc, char** argv)
{
    CLI::App app{"Lists Ostrane camera interface boards and talks to them", "ostrane-cli"};
    app.require_subcommand(1);
    add_list_command(app);
    add_send_command(app);
    add_stream_command(app);
    CLI11_PARSE(app, argc, argv);
    return 0;
}
