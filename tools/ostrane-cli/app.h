// The whole ostrane-cli program behind `main`, so that tests can run it in their own process.
#pragma once

// Parses the arguments, runs the subcommand and returns the exit status.
int run_cli(int argc, char** argv);
