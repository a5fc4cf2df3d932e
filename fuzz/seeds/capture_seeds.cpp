// Writes the seed corpus from what the virtual board really answers: its descriptors, string
// descriptors, chip configuration records, notifications and bridge register replies. Run after
// the board model changes: capture_seeds <corpus directory>.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "model/board.h"

namespace fs = std::filesystem;
using vboard::Board;
using vboard::BoardConfig;
using vboard::SetupPacket;
using vboard::UsbStatus;
using bytes = std::vector<std::uint8_t>;

namespace {
fs::path corpus;

void write_seed(const std::string& target, const std::string& name, const bytes& data)
{
    const fs::path dir = corpus / target;
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

bytes control_in(Board& b, std::uint8_t type, std::uint8_t request, std::uint16_t value,
                 std::uint16_t index, std::uint16_t length)
{
    bytes in(length);
    const SetupPacket s{type, request, value, index, length};
    const auto r = b.control(s, nullptr, in.data());
    in.resize(r.status == UsbStatus::ok ? r.length : 0);
    return in;
}

void control_out(Board& b, std::uint8_t request, std::uint16_t value, std::uint16_t index, bytes data)
{
    const SetupPacket s{0x40, request, value, index, static_cast<std::uint16_t>(data.size())};
    b.control(s, data.data(), nullptr);
}

std::uint8_t read_reg(Board& b, std::uint8_t reg)
{
    const bytes v = control_in(b, 0xC0, 5, reg, 0x010D, 1);
    return v.empty() ? 0 : v[0];
}

void capture(const std::string& tag, const BoardConfig& config)
{
    Board board(config);
    write_seed("recognition", tag, board.descriptors());

    for (std::uint8_t index = 0; index < 4; ++index) {
        const bytes s = control_in(board, 0x80, 6, static_cast<std::uint16_t>(0x0300 | index),
                                   index == 0 ? 0 : 0x0409, 255);
        if (s.empty())
            continue;
        bytes seed{32};  // the size of the device record's text fields
        seed.insert(seed.end(), s.begin(), s.end());
        write_seed("strings", tag + "-" + std::to_string(index), seed);
    }

    const bytes header = control_in(board, 0xC0, 1, 0, 0, 4);
    const std::uint16_t length = static_cast<std::uint16_t>(header[0] | (header[1] << 8));
    bytes record = control_in(board, 0xC0, 1, 0, 0, length);
    write_seed("firmware_version", tag, bytes(record.begin() + 28, record.begin() + 44));
    bytes with_profile = record;
    // Four stream profiles as the host sends them: enable, rate, width, height.
    for (std::uint8_t k = 0; k < 4; ++k)
        with_profile.insert(with_profile.end(), {1, 30, 0x80, 0x07, 0x38, 0x04});
    write_seed("chip_config", tag, with_profile);
    write_seed("chip_config", tag + "-header", header);

    // A camera message through the bridge: the notification it raises and the registers read after.
    control_out(board, 5, 0x16, 0x010D, {0x0E});
    control_out(board, 5, 0x15, 0x010D, {0x10});
    control_out(board, 5, 0x10, 0x050D, {'H', 'E', 'L', 'L', 'O'});
    bytes message(64);
    for (int i = 0; i < 2000; ++i) {
        const auto r = board.interrupt_in(Board::ep_notify, message.data(), message.size());
        if (r.status == UsbStatus::ok) {
            message.resize(r.length);
            write_seed("notification", tag, message);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::uint8_t status = read_reg(board, 0x18), level = read_reg(board, 0x12);
    write_seed("bridge_replies", tag, {5, level, 127, level, level, status, 0, 0});
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: capture_seeds <corpus directory>\n");
        return 2;
    }
    corpus = argv[1];
    capture("sdi", BoardConfig{.serial = "VB0001"});
    capture("camera-high-novideo",
            BoardConfig{.model = vboard::Model::camera, .serial = "CAM1", .video_interfaces = 0,
                        .speed = vboard::Speed::high});
    capture("bridge-short-layout",
            BoardConfig{.model = vboard::Model::bridge, .serial = "BR7", .video_interfaces = 1,
                        .config_layout = vboard::ConfigLayout::ft602_2768});
    capture("bad-bcd", BoardConfig{.serial = "X", .bcd_device = 0x0002});
    capture("two-alternates", BoardConfig{.serial = "Y", .extra_alternate_setting = true});
    // Not a reply but what the board channel sends: its register accesses (slave 0x0D, one byte,
    // registers 0x10 to 0x18, read and write) and one full 128-byte data read, as 5-byte records.
    bytes records;
    for (std::uint8_t reg = 0x10; reg <= 0x18; ++reg)
        for (std::uint8_t rw : {0, 2})
            records.insert(records.end(), {0x0D, 1, reg, 0, rw});
    records.insert(records.end(), {0x0D, 128, 0x10, 0, 2});
    write_seed("i2c_request", "board-channel-registers", records);
    return 0;
}
