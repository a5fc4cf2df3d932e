// Registration of the ostrane-cli subcommands; each is defined in its own cmd_*.cpp file.
#pragma once

#include <CLI/CLI.hpp>

void add_list_command(CLI::App& app);
void add_send_command(CLI::App& app);
void add_stream_command(CLI::App& app);
