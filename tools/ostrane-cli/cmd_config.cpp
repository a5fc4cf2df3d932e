// `ostrane-cli config get|set`: the chip configuration to and from a JSON file. `set` validates
// the file against the board's configuration, shows what would change, writes only with --yes and
// reads the configuration back to confirm.
#include <fmt/format.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "chip_config.h"
#include "commands.h"
#include "common.h"

namespace {

struct config_options {
    cli::board_selector which;
    bool as_json = false;
    std::string file;
    bool yes = false;
};

int run_get(const config_options& o)
{
    cli::board b(o.which);
    const auto doc = cli::decode_chip_config(cli::read_chip_config(b.handle()));
    if (o.file.empty() || o.file == "-") {
        cli::print_json(doc);
        return 0;
    }
    std::ofstream out(o.file);
    out << doc.dump(2) << "\n";
    out.close();
    if (!out)
        cli::fail(cli::exit_usage, fmt::format("cannot write {}: check the path", o.file));
    if (o.as_json)
        cli::print_json({{"file", o.file}, {"length", doc["length"]}});
    else
        fmt::print("{}: chip configuration ({} bytes) written to {}\n", b.name(),
                   doc["length"].get<int>(), o.file);
    return 0;
}

int run_set(const config_options& o)
{
    std::ifstream in(o.file);
    if (!in)
        cli::fail(cli::exit_usage, fmt::format("cannot read {}: check the path", o.file));
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(in);
    } catch (const nlohmann::json::exception& e) {
        cli::fail(cli::exit_usage, fmt::format("{} is not JSON: {}", o.file, e.what()));
    }
    cli::board b(o.which);
    const auto current = cli::read_chip_config(b.handle());
    auto wanted = cli::encode_chip_config(doc, current);
    const auto changes = cli::chip_config_changes(current, wanted);

    bool written = false;
    if (!changes.empty() && o.yes) {
        if (const FT_RESULT rc = FT_SetChipConfiguration(b.handle(), wanted.data());
            rc != STATUS_SUCCESS)
            cli::fail_status("write the chip configuration of " + b.name(), rc);
        written = true;
        const auto now = cli::read_chip_config(b.handle());
        const auto left = cli::chip_config_changes(now, wanted);
        if (!left.empty())
            cli::fail(cli::exit_data,
                      fmt::format("{}: the configuration read back differs from the one written "
                                  "({} difference(s), first: {}): write it again or reset the board",
                                  b.name(), left.size(), left.front()));
    }
    if (o.as_json) {
        cli::print_json({{"changes", changes}, {"written", written}, {"verified", written}});
        return 0;
    }
    if (changes.empty()) {
        fmt::print("{}: the configuration already matches {}; nothing to write\n", b.name(), o.file);
        return 0;
    }
    fmt::print("{}: {} change(s):\n", b.name(), changes.size());
    for (const auto& c : changes)
        fmt::print("  {}\n", c);
    if (written)
        fmt::print("{}: configuration written and read back unchanged\n", b.name());
    else
        fmt::print("nothing written: run again with --yes to write these changes\n");
    return 0;
}

} // namespace

void add_config_command(CLI::App& app)
{
    auto* config = app.add_subcommand("config", "Read or write the chip configuration as JSON");
    config->require_subcommand(1);
    auto o = std::make_shared<config_options>();

    auto* get = config->add_subcommand("get", "Read the chip configuration");
    get->add_option("--out", o->file, "Write the JSON to this file instead of standard output");
    o->which.add_to(get);
    get->add_flag("--json", o->as_json, "Print the result as JSON (the configuration itself is JSON)");
    cli::on_run(get, [o] { return run_get(*o); });

    auto* set = config->add_subcommand(
        "set", "Validate a configuration file, show the changes, write them with --yes");
    set->add_option("FILE", o->file, "JSON file in the form `config get` writes")->required();
    set->add_flag("--yes", o->yes, "Write the changes (and read them back to confirm)");
    o->which.add_to(set);
    set->add_flag("--json", o->as_json, "Print JSON");
    cli::on_run(set, [o] { return run_set(*o); });
}
