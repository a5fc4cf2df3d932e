// `ostrane-cli memory read|write` and `ostrane-cli crc`: the chip's memory space, to a file or a
// hex dump and from a file, and the CRC16 the chip keeps over its flash.
#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "common.h"
#include "progress.h"

namespace {

// Bytes per library call: the progress bar moves between calls.
constexpr std::uint32_t call_size = 4096;
constexpr std::uint64_t max_transfer = 16u << 20;
// Below this, a transfer is over before a bar would help.
constexpr std::uint64_t bar_threshold = 64u << 10;

struct memory_options {
    cli::board_selector which;
    bool as_json = false;
    std::string address, length, file;
};

void access(const cli::board& b, bool write, std::uint32_t address, std::vector<std::uint8_t>& data)
{
    const char* verb = write ? "write" : "read";
    cli::progress_bar bar(stderr, data.size(), bar_threshold);
    for (std::size_t done = 0; done < data.size();) {
        if (cli::interrupted()) {
            bar.finish();
            cli::fail(cli::exit_interrupted,
                      fmt::format("memory {} of {} bytes at 0x{:08X} on {}: interrupted after {} "
                                  "bytes",
                                  verb, data.size(), address, b.name(), done));
        }
        const auto n = static_cast<std::uint16_t>(std::min<std::size_t>(call_size, data.size() - done));
        const auto at = static_cast<std::uint32_t>(address + done);
        // 1 means done here: the handle is known to be good.
        if (FT_AccessMemory(b.handle(), write, at, data.data() + done, n) != 1) {
            const std::string what =
                fmt::format("memory {} of {} bytes at 0x{:08X} on {}", verb, n, at, b.name());
            b.fail_if_unplugged(what);
            cli::fail(cli::exit_device, what + ": the board refused the request (STATUS_IO_FAILED): "
                                               "check the address range");
        }
        done += n;
        bar.update(done, done == data.size());
    }
}

void hex_dump(std::uint32_t address, const std::vector<std::uint8_t>& data)
{
    for (std::size_t at = 0; at < data.size(); at += 16) {
        std::string hex, text;
        for (std::size_t i = at; i < at + 16; ++i) {
            if (i - at == 8)
                hex += ' ';
            if (i < data.size()) {
                hex += fmt::format("{:02x} ", data[i]);
                text += std::isprint(data[i]) != 0 ? static_cast<char>(data[i]) : '.';
            } else {
                hex += "   ";
            }
        }
        fmt::print("{:08x}  {} |{}|\n", address + at, hex, text);
    }
}

std::uint32_t parse_address(const std::string& text)
{
    return static_cast<std::uint32_t>(cli::parse_number(text, 0xFFFFFFFF, "ADDRESS"));
}

int run_read(const memory_options& o)
{
    const std::uint32_t address = parse_address(o.address);
    const std::uint64_t length =
        cli::parse_number(o.length, std::min<std::uint64_t>(max_transfer, 0x100000000 - address),
                          "LENGTH");
    if (length == 0)
        cli::fail(cli::exit_usage, "LENGTH must be at least 1");
    cli::catch_interrupts();
    cli::board b(o.which);
    std::vector<std::uint8_t> data(length);
    access(b, false, address, data);
    if (!o.file.empty()) {
        std::ofstream out(o.file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        out.close();
        if (!out)
            cli::fail(cli::exit_usage, fmt::format("cannot write {}: check the path", o.file));
    }
    if (o.as_json) {
        nlohmann::json j = {{"address", address}, {"length", length}};
        if (o.file.empty())
            j["data"] = fmt::format("{:02x}", fmt::join(data, ""));
        else
            j["file"] = o.file;
        cli::print_json(j);
    } else if (o.file.empty()) {
        hex_dump(address, data);
    } else {
        fmt::print("{}: read {} bytes at 0x{:08X} into {}\n", b.name(), length, address, o.file);
    }
    return 0;
}

int run_write(const memory_options& o)
{
    const std::uint32_t address = parse_address(o.address);
    std::ifstream in(o.file, std::ios::binary);
    if (!in)
        cli::fail(cli::exit_usage, fmt::format("cannot read {}: check the path", o.file));
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.empty() || data.size() > std::min<std::uint64_t>(max_transfer, 0x100000000 - address))
        cli::fail(cli::exit_usage,
                  fmt::format("{} holds {} bytes: write 1 to {} bytes within the 32-bit address "
                              "space",
                              o.file, data.size(), max_transfer));
    cli::catch_interrupts();
    cli::board b(o.which);
    access(b, true, address, data);
    if (o.as_json)
        cli::print_json({{"address", address}, {"length", data.size()}, {"file", o.file}});
    else
        fmt::print("{}: wrote {} bytes at 0x{:08X} from {}\n", b.name(), data.size(), address, o.file);
    return 0;
}

int run_crc(const cli::board_selector& which, bool as_json)
{
    cli::board b(which);
    std::uint16_t crc = 0;
    // 1 means done here: the handle is known to be good.
    if (FT_GetChipCRC(b.handle(), &crc) != 1) {
        b.fail_if_unplugged("read the chip CRC of " + b.name());
        cli::fail(cli::exit_device,
                  fmt::format("read the chip CRC of {}: the board did not give it (STATUS_IO_FAILED): "
                              "the flash may be busy; try again",
                              b.name()));
    }
    if (as_json)
        cli::print_json({{"crc", crc}, {"crc_hex", fmt::format("0x{:04X}", crc)}});
    else
        fmt::print("{}: chip CRC 0x{:04X}\n", b.name(), crc);
    return 0;
}

} // namespace

void add_memory_commands(CLI::App& app)
{
    auto* memory = app.add_subcommand("memory", "Read or write the chip's memory space");
    memory->require_subcommand(1);
    auto o = std::make_shared<memory_options>();

    auto* read = memory->add_subcommand("read", "Read LENGTH bytes at ADDRESS (hex dump or file)");
    read->add_option("ADDRESS", o->address, "Start address (decimal or 0x hex)")->required();
    read->add_option("LENGTH", o->length, "Number of bytes (decimal or 0x hex)")->required();
    read->add_option("--out", o->file, "Write the bytes to this file instead of a hex dump");
    o->which.add_to(read);
    read->add_flag("--json", o->as_json, "Print JSON (the bytes as hex when no file is given)");
    cli::on_run(read, [o] { return run_read(*o); });

    auto* write = memory->add_subcommand("write", "Write the bytes of FILE at ADDRESS");
    write->add_option("ADDRESS", o->address, "Start address (decimal or 0x hex)")->required();
    write->add_option("FILE", o->file, "File whose bytes are written")->required();
    o->which.add_to(write);
    write->add_flag("--json", o->as_json, "Print JSON");
    cli::on_run(write, [o] { return run_write(*o); });

    auto* crc = app.add_subcommand("crc", "Read the CRC16 that the chip keeps over its flash");
    auto which = std::make_shared<cli::board_selector>();
    auto as_json = std::make_shared<bool>(false);
    which->add_to(crc);
    crc->add_flag("--json", *as_json, "Print JSON");
    cli::on_run(crc, [which, as_json] { return run_crc(*which, *as_json); });
}
