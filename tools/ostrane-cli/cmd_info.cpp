// `ostrane-cli info`: versions, identity, bus location, descriptors, pipes and the chip
// configuration of one board.
#include <fmt/format.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "chip_config.h"
#include "commands.h"
#include "common.h"

namespace {

using json = nlohmann::json;

std::string version_text(std::uint32_t v)
{
    return fmt::format("{}.{}.{}", v >> 24, (v >> 16) & 0xFF, v & 0xFFFF);
}

std::string bcd_text(unsigned v)
{
    return fmt::format("{:x}.{:02x}", v >> 8, v & 0xFF);
}

unsigned le16(const std::vector<std::uint8_t>& d, std::size_t at)
{
    return static_cast<unsigned>(d[at] | d[at + 1] << 8);
}

std::vector<std::uint8_t> descriptor(void* h, std::uint8_t type, std::uint32_t size)
{
    std::vector<std::uint8_t> d(size);
    std::uint32_t got = 0;
    if (const FT_RESULT rc = FT_GetDescriptor(h, type, 0, d.data(), size, &got);
        rc != STATUS_SUCCESS)
        cli::fail_status(fmt::format("read descriptor type {}", type), rc);
    d.resize(got);
    return d;
}

// A string descriptor as ASCII; empty when the board does not give it.
std::string string_descriptor(void* h, std::uint8_t index)
{
    if (index == 0)
        return {};
    std::uint8_t d[514] = {};
    if (FT_GetStringDescriptor(h, index, d) != STATUS_SUCCESS || d[1] != 3)
        return {};
    std::string s;
    for (unsigned i = 2; i + 1 < d[0]; i += 2)
        s += d[i + 1] == 0 && d[i] >= 0x20 && d[i] < 0x7F ? static_cast<char>(d[i]) : '?';
    return s;
}

const char* endpoint_type(unsigned attributes)
{
    static const char* const names[] = {"control", "isochronous", "bulk", "interrupt"};
    return names[attributes & 3];
}

// The configuration descriptor walked into its interfaces and endpoints.
json parse_configuration(const std::vector<std::uint8_t>& d, bool superspeed)
{
    json config;
    json interfaces = json::array();
    for (std::size_t at = 0; at + 2 <= d.size() && d[at] >= 2 && at + d[at] <= d.size();
         at += d[at]) {
        const std::uint8_t type = d[at + 1];
        if (type == 2 && d[at] >= 9) {
            config = {{"total_length", le16(d, at + 2)},
                      {"interfaces", d[at + 4]},
                      {"value", d[at + 5]},
                      {"attributes", d[at + 7]},
                      {"max_power_ma", d[at + 8] * (superspeed ? 8 : 2)}};
        } else if (type == 4 && d[at] >= 9) {
            interfaces.push_back({{"number", d[at + 2]},
                                  {"alternate", d[at + 3]},
                                  {"class", d[at + 5]},
                                  {"subclass", d[at + 6]},
                                  {"protocol", d[at + 7]},
                                  {"endpoints", json::array()}});
        } else if (type == 5 && d[at] >= 7 && !interfaces.empty()) {
            interfaces.back()["endpoints"].push_back(
                {{"address", d[at + 2]},
                 {"type", endpoint_type(d[at + 3])},
                 {"direction", (d[at + 2] & 0x80) != 0 ? "IN" : "OUT"},
                 {"max_packet_size", le16(d, at + 4) & 0x7FF},
                 {"interval", d[at + 6]}});
        }
    }
    config["interface_list"] = interfaces;
    return config;
}

int run_info(const cli::board_selector& which, bool as_json)
{
    cli::board b(which);
    void* h = b.handle();
    const auto& listing = b.listing();

    std::uint32_t library = 0, driver = 0, firmware = 0;
    FT_GetLibraryVersion(&library);
    FT_GetDriverVersion(h, &driver);
    const bool have_firmware = FT_GetFirmwareVersion(h, &firmware) == STATUS_SUCCESS;
    std::uint16_t vid = 0, pid = 0;
    if (const FT_RESULT rc = FT_GetVIDPID(h, &vid, &pid); rc != STATUS_SUCCESS)
        cli::fail_status("read VID:PID of " + b.name(), rc);

    const std::optional<cli::usb_node> node = cli::usb_node_of(listing.info);

    const auto dev = descriptor(h, 1, 18);
    if (dev.size() < 18)
        cli::fail(cli::exit_device, fmt::format("{}: the device descriptor is {} bytes, not 18",
                                                b.name(), dev.size()));
    const bool superspeed = (listing.info.flags & FT_FLAGS_SUPERSPEED) != 0;
    const json config = parse_configuration(descriptor(h, 2, 1024), superspeed);
    const std::string manufacturer = string_descriptor(h, dev[14]);
    const auto chip = cli::read_chip_config(h);

    json pipes = json::array();
    for (const auto& i : config["interface_list"])
        if (i["class"] == 0xFF)
            for (const auto& e : i["endpoints"])
                pipes.push_back(e);

    if (as_json) {
        json j = {
            {"index", listing.index},
            {"serial_number", listing.serial()},
            {"description", listing.description()},
            {"manufacturer", manufacturer},
            {"versions",
             {{"usb_library", version_text(library)},
              {"driver", version_text(driver)},
              {"firmware", have_firmware ? json(version_text(firmware)) : json(nullptr)}}},
            {"vid", fmt::format("{:04X}", vid)},
            {"pid", fmt::format("{:04X}", pid)},
            {"speed", cli::speed_name(listing.info.flags)},
            {"location", node ? json{{"port", node->sys_name},
                                     {"bus", node->busnum},
                                     {"address", node->devnum},
                                     {"node", node->dev_path}}
                              : json(nullptr)},
            {"device_descriptor",
             {{"usb", bcd_text(le16(dev, 2))},
              {"class", dev[4]},
              {"subclass", dev[5]},
              {"protocol", dev[6]},
              {"max_packet_size_0", dev[7]},
              {"bcd_device", fmt::format("{:04X}", le16(dev, 12))},
              {"configurations", dev[17]}}},
            {"configuration", config},
            {"pipes", pipes},
            {"chip_configuration", cli::decode_chip_config(chip)},
        };
        cli::print_json(j);
        return 0;
    }
    fmt::print("{}: {}\n", b.name(), listing.description());
    fmt::print("  versions       usb library {}, driver {}, firmware {}\n", version_text(library),
               version_text(driver), have_firmware ? version_text(firmware) : "unknown");
    fmt::print("  VID:PID        {:04X}:{:04X}\n", vid, pid);
    fmt::print("  speed          {}\n", cli::speed_name(listing.info.flags));
    if (node)
        fmt::print("  location       bus {}, port {}, address {}, {}\n", node->busnum,
                   node->sys_name, node->devnum, node->dev_path);
    fmt::print("  device         USB {}, class {:02X}/{:02X}/{:02X}, bcdDevice {:04X}, "
               "ep0 max packet {}, {} configuration(s)\n",
               bcd_text(le16(dev, 2)), dev[4], dev[5], dev[6], le16(dev, 12), dev[7], dev[17]);
    fmt::print("  strings        manufacturer \"{}\", product \"{}\", serial \"{}\"\n",
               manufacturer, listing.description(), listing.serial());
    if (config.contains("value"))
        fmt::print("  configuration  {}: {} interface(s), {} bytes, attributes 0x{:02X}, "
                   "max power {} mA\n",
                   config["value"].get<int>(), config["interfaces"].get<int>(),
                   config["total_length"].get<int>(), config["attributes"].get<int>(),
                   config["max_power_ma"].get<int>());
    for (const auto& i : config["interface_list"])
        fmt::print("  interface {}    class {:02X}/{:02X}/{:02X}, {} endpoint(s)\n",
                   i["number"].get<int>(), i["class"].get<int>(), i["subclass"].get<int>(),
                   i["protocol"].get<int>(), i["endpoints"].size());
    fmt::print("pipes\n");
    for (const auto& e : pipes)
        fmt::print("  0x{:02X} {:<9} {:<3}  max packet {:<5} interval {}\n",
                   e["address"].get<int>(), e["type"].get<std::string>(),
                   e["direction"].get<std::string>(), e["max_packet_size"].get<int>(),
                   e["interval"].get<int>());
    const json decoded = cli::decode_chip_config(chip);
    fmt::print("chip configuration\n  length         {} bytes\n", chip.size());
    if (decoded.contains("firmware_version"))
        fmt::print("  version text   \"{}\"\n", decoded["firmware_version"].get<std::string>());
    for (const auto& line : cli::frame_table_lines(chip))
        fmt::print("  {}\n", line);
    return 0;
}

} // namespace

void add_info_command(CLI::App& app)
{
    auto* cmd = app.add_subcommand("info", "Show versions, descriptors, pipes and the chip "
                                           "configuration of a board");
    auto which = std::make_shared<cli::board_selector>();
    auto as_json = std::make_shared<bool>(false);
    which->add_to(cmd);
    cmd->add_flag("--json", *as_json, "Print JSON");
    cli::on_run(cmd, [which, as_json] { return run_info(*which, *as_json); });
}
