// `ostrane-cli list`: one line (or JSON object) per attached board.
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "ostrane/ft60x.h"

namespace {

std::string text_of(const char (&field)[32])
{
    return std::string(field, strnlen(field, sizeof field));
}

const char* speed_of(std::uint32_t flags)
{
    if ((flags & FT_FLAGS_SUPERSPEED) != 0)
        return "super";
    if ((flags & FT_FLAGS_HISPEED) != 0)
        return "high";
    return "full";
}

int run_list(bool as_json)
{
    std::uint32_t count = 0;
    if (const FT_RESULT rc = FT_CreateDeviceInfoList(&count); rc != STATUS_SUCCESS) {
        fmt::print(stderr, "ostrane-cli: cannot list devices (status {})\n", rc);
        return 1;
    }
    std::vector<FT_DEVICE_INFO> infos(count);
    std::uint32_t copied = 0;
    if (count != 0) {
        if (const FT_RESULT rc = FT_GetDeviceInfoList(infos.data(), &copied);
            rc != STATUS_SUCCESS) {
            fmt::print(stderr, "ostrane-cli: cannot read the device list (status {})\n", rc);
            return 1;
        }
        infos.resize(copied);
    }
    if (as_json) {
        nlohmann::json boards = nlohmann::json::array();
        for (std::size_t i = 0; i < infos.size(); ++i) {
            const FT_DEVICE_INFO& d = infos[i];
            boards.push_back({{"index", i},
                              {"serial_number", text_of(d.serial_number)},
                              {"description", text_of(d.description)},
                              {"vid", fmt::format("{:04X}", d.id >> 16)},
                              {"pid", fmt::format("{:04X}", d.id & 0xFFFF)},
                              {"speed", speed_of(d.flags)},
                              {"open", (d.flags & FT_FLAGS_OPENED) != 0}});
        }
        fmt::print("{}\n", boards.dump(2));
        return 0;
    }
    if (infos.empty()) {
        fmt::print("no boards found\n");
        return 0;
    }
    fmt::print("{:<5} {:<16} {:<32} {:<9} {:<6} {}\n", "INDEX", "SERIAL", "DESCRIPTION", "VID:PID",
               "SPEED", "OPEN");
    for (std::size_t i = 0; i < infos.size(); ++i) {
        const FT_DEVICE_INFO& d = infos[i];
        fmt::print("{:<5} {:<16} {:<32} {:04X}:{:04X} {:<6} {}\n", i, text_of(d.serial_number),
                   text_of(d.description), d.id >> 16, d.id & 0xFFFF, speed_of(d.flags),
                   (d.flags & FT_FLAGS_OPENED) != 0 ? "yes" : "no");
    }
    return 0;
}

} // namespace

void add_list_command(CLI::App& app)
{
    auto* cmd = app.add_subcommand("list", "List the attached boards");
    auto as_json = std::make_shared<bool>(false);
    cmd->add_flag("--json", *as_json, "Print the list as JSON");
    cmd->callback([as_json] {
        const int rc = run_list(*as_json);
        if (rc != 0)
            throw CLI::RuntimeError(rc);
    });
}
