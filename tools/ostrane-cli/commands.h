// Registration of the ostrane-cli subcommands; each is defined in its own cmd_*.cpp file.
#pragma once

#include <CLI/CLI.hpp>

void add_list_command(CLI::App& app);
void add_info_command(CLI::App& app);
void add_gpio_command(CLI::App& app);
void add_config_command(CLI::App& app);
void add_memory_commands(CLI::App& app); // memory read|write and crc
void add_monitor_command(CLI::App& app);
void add_watch_command(CLI::App& app);
void add_reset_command(CLI::App& app);
void add_send_command(CLI::App& app);
void add_stream_command(CLI::App& app);
void add_burn_in_command(CLI::App& app);
