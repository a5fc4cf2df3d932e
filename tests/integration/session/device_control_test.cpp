// Device control on an opened board: raw control requests, chip memory, GPIO, the chip
// configuration and its video profiles, descriptors, CRC and firmware-update mode, checked
// against what the board received.
#include <libusb-1.0/libusb.h>

#include <cstring>
#include <set>
#include <vector>

#include "support.h"

using namespace session_test;

namespace {

class DeviceControl : public ::testing::Test {
protected:
    void SetUp() override
    {
        vboard::BoardConfig config;
        config.serial = "CTRL";
        config.config_layout = layout;
        plugged = bus().plug(config);
        ASSERT_EQ(FT_Create(nullptr, FT_OPEN_BY_INDEX, &handle), STATUS_SUCCESS);
        board().clear_request_log();
    }
    void TearDown() override
    {
        if (handle != nullptr) {
            EXPECT_EQ(FT_Close(handle), STATUS_SUCCESS);
        }
    }
    vboard::Board& board() { return bus().board(plugged.id); }
    std::vector<vboard::RequestRecord> requests(std::uint8_t bRequest)
    {
        std::vector<vboard::RequestRecord> out;
        for (const auto& r : board().request_log())
            if (r.setup.bRequest == bRequest && (r.setup.bmRequestType & 0x60) == 0x40)
                out.push_back(r);
        return out;
    }

    vboard::ConfigLayout layout = vboard::ConfigLayout::ft602_4064;
    vboard::PluggedBoard plugged;
    void* handle = nullptr;
};

std::uint64_t setup_packet(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                           std::uint16_t index, std::uint16_t length)
{
    return type | (std::uint64_t{request} << 8) | (std::uint64_t{value} << 16) |
           (std::uint64_t{index} << 32) | (std::uint64_t{length} << 48);
}

TEST_F(DeviceControl, ControlTransferMovesWLengthBytes)
{
    std::uint8_t byte = 0xEE;
    std::uint32_t moved = 0;
    // C0 05 12 00 0D 01 01 00: one byte read through the I2C request.
    EXPECT_EQ(FT_ControlTransfer(handle, setup_packet(0xC0, 0x05, 0x0012, 0x010D, 1), &byte, 1,
                                 &moved),
              STATUS_SUCCESS);
    EXPECT_EQ(moved, 1u);
    const auto log = requests(0x05);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup.wValue, 0x0012);
    EXPECT_EQ(log[0].setup.wIndex, 0x010D);
    EXPECT_EQ(log[0].setup.wLength, 1);

    board().stall_control(1);
    log_capture capture(FT_LOG_LEVEL_ERROR);
    EXPECT_EQ(FT_ControlTransfer(handle, setup_packet(0xC0, 0x05, 0x0012, 0x010D, 1), &byte, 1,
                                 nullptr),
              STATUS_IO_FAILED);
    EXPECT_TRUE(capture.contains(
        "Ctrl transfer req_type:C0 req:05 value:0012 index:010D len:1 error:LIBUSB_ERROR_PIPE\r\n"));
}

TEST_F(DeviceControl, MemoryAccessGoesIn512ByteChunks)
{
    std::vector<std::uint8_t> data(1300);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + 1);
    EXPECT_EQ(FT_AccessMemory(handle, true, 0x12345, data.data(), 1300), 1u);
    const auto log = requests(0x03);
    ASSERT_EQ(log.size(), 3u);
    const std::uint16_t indices[] = {0x2345, 0x2545, 0x2745};
    const std::uint16_t lengths[] = {512, 512, 276};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(log[i].setup.bmRequestType, 0x40);
        EXPECT_EQ(log[i].setup.wValue, 0x0001);
        EXPECT_EQ(log[i].setup.wIndex, indices[i]);
        EXPECT_EQ(log[i].setup.wLength, lengths[i]);
    }
    EXPECT_EQ(board().memory(0x12345, 1300), data);

    std::vector<std::uint8_t> back(1300);
    EXPECT_EQ(FT_AccessMemory(handle, false, 0x12345, back.data(), 1300), 1u);
    EXPECT_EQ(back, data);

    board().clear_request_log();
    EXPECT_EQ(FT_AccessMemory(handle, true, 0x12345, data.data(), 0), 1u);
    EXPECT_TRUE(requests(0x03).empty());

    // A failing chunk ends the access there.
    board().clear_request_log();
    board().stall_control(1, std::uint8_t{0x03});
    EXPECT_EQ(FT_AccessMemory(handle, false, 0x12345, back.data(), 1300), 0u);
    EXPECT_EQ(requests(0x03).size(), 1u);
}

TEST_F(DeviceControl, GpioWords)
{
    EXPECT_EQ(FT_WriteGPIO(handle, 0x07, 0x05), STATUS_SUCCESS);
    EXPECT_EQ(FT_SetGPIOPull(handle, 0x02, 0x0C), STATUS_SUCCESS);
    EXPECT_EQ(FT_EnableGPIO(handle, 0x01, 0x01), STATUS_SUCCESS);
    const auto words = board().gpio().words;
    ASSERT_EQ(words.size(), 3u);
    EXPECT_EQ(words[0], 0x0165);
    EXPECT_EQ(words[1], 0x0038);
    EXPECT_EQ(words[2], 0x0005);

    std::uint8_t level = 0xFF;
    EXPECT_EQ(FT_ReadGPIO(handle, &level), STATUS_SUCCESS);
    const auto reads = requests(0x02);
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(reads.back().setup.wIndex, 0x1F);
    EXPECT_EQ(level, board().gpio().levels);

    board().stall_control(1, std::uint8_t{0x02});
    EXPECT_EQ(FT_WriteGPIO(handle, 0x01, 0x01), STATUS_UNSUPPORTED);
    EXPECT_EQ(FT_WriteGPIO(nullptr, 0x01, 0x01), STATUS_BAD_HANDLE);
}

std::uint16_t u16(const std::vector<std::uint8_t>& b, std::size_t at)
{
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
std::uint32_t u32(const std::vector<std::uint8_t>& b, std::size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}

TEST_F(DeviceControl, ProfileUpdateWritesFrameTables)
{
    // Entry 1: enabled, 30 frames per second, 1920 x 1080.
    std::uint8_t profile[4][6] = {};
    profile[1][0] = 1;
    profile[1][1] = 30;
    profile[1][2] = 1920 & 0xFF;
    profile[1][3] = 1920 >> 8;
    profile[1][4] = 1080 & 0xFF;
    profile[1][5] = 1080 >> 8;
    const auto before = board().chip_configuration();
    ASSERT_TRUE(FT_UpdateCfgProfile(handle, profile));
    const auto after = board().chip_configuration();
    for (std::size_t at : {1468u, 1644u, 1820u}) {
        EXPECT_EQ(u16(after, at), 1920) << at;
        EXPECT_EQ(u16(after, at + 2), 1080) << at;
        EXPECT_EQ(u32(after, at + 8), 333333u) << at;
    }
    std::size_t changed = 0;
    for (std::size_t i = 0; i < after.size(); ++i)
        changed += before[i] != after[i];
    EXPECT_LE(changed, 3u * 8u) << "only the three frame entries may change";

    EXPECT_FALSE(FT_UpdateCfgProfile(handle, nullptr));
}

TEST_F(DeviceControl, SpeedProfileUpdate)
{
    std::uint8_t entries[6][6] = {};
    for (int i = 0; i < 6; ++i) {
        entries[i][0] = 1;
        entries[i][2] = static_cast<std::uint8_t>(100 + i);
    }
    ASSERT_TRUE(FT_UpdateCfgProfileSS(handle, 3, entries, 6));
    const auto config = board().chip_configuration();
    for (unsigned i = 0; i < 6; ++i)
        EXPECT_EQ(u16(config, 940 + 3 * 528 + 2 * 176 + 12 * i), 100 + i) << i;

    // Nothing enabled: nothing written, false.
    std::uint8_t disabled[2][6] = {};
    board().clear_request_log();
    EXPECT_FALSE(FT_UpdateCfgProfileHS(handle, 0, disabled, 2));
    for (const auto& r : requests(0x01))
        EXPECT_NE(r.setup.bmRequestType, 0x40) << "no configuration write expected";
    EXPECT_FALSE(FT_UpdateCfgProfileFS(handle, 4, entries, 1));
    EXPECT_FALSE(FT_UpdateCfgProfileSS(nullptr, 0, entries, 1));
}

class ShortConfiguration : public DeviceControl {
protected:
    ShortConfiguration() { layout = vboard::ConfigLayout::ft602_2768; }
};

TEST_F(ShortConfiguration, SixEntriesDoNotFitAndNothingIsRead)
{
    std::uint8_t entries[6][6] = {};
    entries[0][0] = 1;
    entries[0][2] = 1;
    EXPECT_FALSE(FT_UpdateCfgProfileSS(handle, 0, entries, 6));
    for (const auto& r : requests(0x01))
        EXPECT_EQ(r.setup.wLength, 4) << "only the header may be read";
    std::vector<std::uint8_t> config(4064);
    ASSERT_EQ(FT_GetChipConfiguration(handle, config.data()), STATUS_SUCCESS);
    config.resize(2768);
    EXPECT_EQ(config, board().chip_configuration());
}

TEST_F(DeviceControl, ChipConfigurationRoundTrip)
{
    std::vector<std::uint8_t> config(4064);
    ASSERT_EQ(FT_GetChipConfiguration(handle, config.data()), STATUS_SUCCESS);
    EXPECT_EQ(config, board().chip_configuration());
    config[2000] ^= 0xFF;
    ASSERT_EQ(FT_SetChipConfiguration(handle, config.data()), STATUS_SUCCESS);
    EXPECT_EQ(board().chip_configuration(), config);
    EXPECT_EQ(FT_GetChipConfiguration(handle, nullptr), STATUS_BAD_PARAMETER);
    EXPECT_EQ(FT_GetChipConfiguration(nullptr, config.data()), STATUS_BAD_PARAMETER);
}

TEST_F(DeviceControl, DescriptorsCrcAndDfu)
{
    libusb_device_descriptor device{};
    ASSERT_EQ(FT_GetDeviceDescriptor(handle, &device), STATUS_SUCCESS);
    EXPECT_EQ(device.idVendor, vboard::vendor_id);
    EXPECT_EQ(device.bcdDevice, 0x0001);

    FT_CONFIGURATION_DESCRIPTOR config{};
    ASSERT_EQ(FT_GetConfigurationDescriptor(handle, &config), STATUS_SUCCESS);
    EXPECT_EQ(config.bDescriptorType, 2);
    EXPECT_EQ(config.bNumInterfaces, 3);

    std::uint8_t buffer[256] = {};
    std::uint32_t moved = 0;
    ASSERT_EQ(FT_GetDescriptor(handle, 1, 0, buffer, 18, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 18u);
    EXPECT_EQ(buffer[1], 1);
    EXPECT_EQ(FT_GetDescriptor(handle, 1, 0, buffer, 18, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(FT_GetDescriptor(handle, 1, 0, nullptr, 18, nullptr), STATUS_BAD_PARAMETER);

    std::uint16_t crc = 0;
    EXPECT_EQ(FT_GetChipCRC(handle, &crc), 1u);
    EXPECT_EQ(crc, board().flash_crc());

    EXPECT_TRUE(FT_EnterDFUMode(handle));
    EXPECT_TRUE(board().dfu_requested());
}

TEST_F(DeviceControl, ResetReleasesInterfacesAndKeepsTheHandle)
{
    log_capture log(FT_LOG_LEVEL_TRACE);
    EXPECT_EQ(board().claimed_interfaces(), std::set<int>{2});
    EXPECT_EQ(FT_ResetDevicePort(handle), STATUS_SUCCESS);
    EXPECT_TRUE(log.contains("Reset device\r\n"));
    EXPECT_TRUE(board().claimed_interfaces().empty());
    std::uint16_t vid = 0, pid = 0;
    EXPECT_EQ(FT_GetVIDPID(handle, &vid, &pid), STATUS_SUCCESS) << "still registered";
    EXPECT_EQ(FT_ResetDevicePort(nullptr), STATUS_BAD_HANDLE);
    // The reset ends the notification transfer early and its completion may still be logging on
    // the event thread: close before the log stream is taken away.
    EXPECT_EQ(FT_Close(handle), STATUS_SUCCESS);
    handle = nullptr;
}

} // namespace
