// Device list: what the enumeration calls report for the boards on the bus, in which order, and
// which devices the list leaves out.
#include <cstring>
#include <map>
#include <mutex>

#include "support.h"

using namespace session_test;

namespace {

TEST(Discovery, NoBoardGivesEmptyList)
{
    bus();
    std::uint32_t count = 99;
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);

    FT_DEVICE_INFO list[1];
    std::memset(list, 0xAB, sizeof list);
    count = 99;
    EXPECT_EQ(FT_GetDeviceInfoList(list, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(list[0].flags, 0xABABABABu) << "nothing may be copied";

    void* handle = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(FT_GetDeviceInfoDetail(0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     &handle),
              STATUS_NO_DEVICE);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(FT_CreateDeviceInfoList(nullptr), STATUS_BAD_PARAMETER);
}

TEST(Discovery, RecordsDescribeTheBoards)
{
    vboard::BoardConfig camera;
    camera.model = vboard::Model::camera;
    camera.serial = "CAM1";
    camera.speed = vboard::Speed::high;
    bus().plug(camera);

    std::uint32_t count = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), STATUS_SUCCESS);
    ASSERT_EQ(count, 1u);
    FT_DEVICE_INFO info[1] = {};
    ASSERT_EQ(FT_GetDeviceInfoList(info, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(info[0].type, FT_DEVICE_602);
    EXPECT_EQ(info[0].id, (std::uint32_t{vboard::vendor_id} << 16) | 0x0002u);
    EXPECT_EQ(info[0].flags, FT_FLAGS_HISPEED);
    EXPECT_EQ(info[0].location_id, 0u);
    EXPECT_STREQ(info[0].serial_number, "CAM1");
    EXPECT_STREQ(info[0].description, "Q.V. Ostrane USB Camera Board");
    EXPECT_EQ(info[0].handle, nullptr);

    std::uint32_t flags = 0, type = 0, id = 0;
    char description[32] = {};
    ASSERT_EQ(FT_GetDeviceInfoDetail(0, &flags, &type, &id, nullptr, nullptr, description,
                                     nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(flags, FT_FLAGS_HISPEED);
    EXPECT_EQ(type, FT_DEVICE_602);
    EXPECT_EQ(id, info[0].id);
    EXPECT_STREQ(description, "Q.V. Ostrane USB Camera Board");
}

TEST(Discovery, ListDevicesInItsThreeForms)
{
    plug("ONE");
    plug("TWO");
    plug("THREE");

    std::uint32_t count = 0;
    EXPECT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), STATUS_SUCCESS);
    EXPECT_EQ(count, 3u);

    char text[32] = {};
    EXPECT_EQ(FT_ListDevices(reinterpret_cast<void*>(std::uintptr_t{0}), text,
                             FT_LIST_BY_INDEX | FT_LIST_DESCRIPTION),
              STATUS_SUCCESS);
    EXPECT_STREQ(text, "Q.V. Ostrane SDI Adapter");
    EXPECT_EQ(FT_ListDevices(reinterpret_cast<void*>(std::uintptr_t{2}), text, FT_LIST_BY_INDEX),
              STATUS_SUCCESS);
    EXPECT_STREQ(text, "THREE");
    EXPECT_EQ(FT_ListDevices(reinterpret_cast<void*>(std::uintptr_t{5}), text, FT_LIST_BY_INDEX),
              STATUS_NO_DEVICE);

    // One buffer and the end mark: one text copied, all three counted.
    char first[32] = {};
    void* buffers[2] = {first, nullptr};
    count = 0;
    EXPECT_EQ(FT_ListDevices(buffers, &count, FT_LIST_ALL), STATUS_SUCCESS);
    EXPECT_EQ(count, 3u);
    EXPECT_STREQ(first, "ONE");

    EXPECT_EQ(FT_ListDevices(&count, nullptr, 0), STATUS_BAD_PARAMETER);
}

// Hot-plug replay hands out the uid of each listed device.
std::mutex replay_lock;
std::map<unsigned long, std::string> replayed;

void record_replay(unsigned long uid, FT_DEVICE_INFO* info, bool arrived, void*)
{
    if (!arrived)
        return;
    std::lock_guard<std::mutex> guard(replay_lock);
    replayed[uid] = info->serial_number;
}

TEST(Discovery, IndicesFollowAscendingUid)
{
    // Hub port 4 first (address 3: uid 0x040103), then hub port 2 (address 4: uid 0x020104).
    vboard::BoardConfig late_port;
    late_port.serial = "PORT4";
    const auto a = bus().plug(late_port, 4);
    vboard::BoardConfig early_port;
    early_port.serial = "PORT2";
    const auto b = bus().plug(early_port, 2);

    std::uint32_t count = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), STATUS_SUCCESS);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(serial_at(0), "PORT2");
    EXPECT_EQ(serial_at(1), "PORT4");

    ASSERT_TRUE(FT_SetHotplugCallback(&record_replay, nullptr, false));
    std::lock_guard<std::mutex> guard(replay_lock);
    const auto uid_of = [](const vboard::PluggedBoard& p) {
        unsigned long uid = p.address;
        for (std::size_t i = 0; i < p.ports.size(); ++i)
            uid |= static_cast<unsigned long>(p.ports[i]) << (8 * (i + 1));
        return uid;
    };
    if (bus().transport() == vboard::Transport::umockdev) {
        EXPECT_EQ(uid_of(a), 0x040103ul);  // hub port 4, address 3
    }
    std::map<unsigned long, std::string> expected{{uid_of(a), "PORT4"}, {uid_of(b), "PORT2"}};
    EXPECT_EQ(replayed, expected);
}

TEST(Discovery, EqualSerialNumbersOpenTheLowerUid)
{
    vboard::BoardConfig config;
    config.serial = "SAME";
    bus().plug(config, 6);
    bus().plug(config, 3);
    std::uint32_t count = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), STATUS_SUCCESS);
    ASSERT_EQ(count, 2u);

    void* handle = nullptr;
    ASSERT_EQ(FT_Create(const_cast<char*>("SAME"), FT_OPEN_BY_SERIAL_NUMBER, &handle),
              STATUS_SUCCESS);
    void* first = nullptr;
    void* second = nullptr;
    FT_GetDeviceInfoDetail(0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &first);
    FT_GetDeviceInfoDetail(1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &second);
    EXPECT_EQ(first, handle);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(FT_Close(handle), STATUS_SUCCESS);
}

TEST(Discovery, ThirtyTwoCharacterTextNeverMatches)
{
    log_capture log(FT_LOG_LEVEL_ERROR);
    // Stored serial numbers keep at most 31 characters.
    const std::string serial = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
    ASSERT_EQ(serial.size(), 32u);
    plug(serial);

    void* handle = nullptr;
    EXPECT_EQ(FT_Create(const_cast<char*>(serial.c_str()), FT_OPEN_BY_SERIAL_NUMBER, &handle),
              STATUS_NO_DEVICE);
    EXPECT_EQ(handle, nullptr);
    EXPECT_TRUE(log.contains("FT_Create failed to find device\r\n"));
    EXPECT_FALSE(log.contains("String too long"));

    const std::string stored = serial.substr(0, 31);
    ASSERT_EQ(FT_Create(const_cast<char*>(stored.c_str()), FT_OPEN_BY_SERIAL_NUMBER, &handle),
              STATUS_SUCCESS);
    EXPECT_EQ(FT_Close(handle), STATUS_SUCCESS);
}

TEST(Discovery, BoardsFailingTheGenuineTestAreLeftOut)
{
    vboard::BoardConfig wrong_release;
    wrong_release.serial = "BCD2";
    wrong_release.bcd_device = 0x0002;
    const auto bad1 = bus().plug(wrong_release, 4);
    vboard::BoardConfig two_alternates;
    two_alternates.serial = "ALT2";
    two_alternates.extra_alternate_setting = true;
    bus().plug(two_alternates, 5);
    vboard::BoardConfig good;
    good.serial = "GOOD";
    bus().plug(good, 6);

    std::uint32_t count = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(serial_at(0), "GOOD");
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);

    // Replugged as a genuine board on the same port, it is examined again and listed.
    bus().unplug(bad1.id);
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    vboard::BoardConfig fixed;
    fixed.serial = "FIXED";
    bus().plug(fixed, 4);
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(serial_at(0), "FIXED");
}

TEST(Discovery, UnreadableSerialNumberIsListedEmpty)
{
    vboard::BoardConfig config;
    config.fail_string_descriptors = true;
    bus().plug(config);
    std::uint32_t count = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), STATUS_SUCCESS);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(serial_at(0), "");
    void* handle = nullptr;
    ASSERT_EQ(FT_Create(nullptr, FT_OPEN_BY_INDEX, &handle), STATUS_SUCCESS);
    EXPECT_EQ(FT_Close(handle), STATUS_SUCCESS);
}

TEST(Discovery, UnpluggedBoardLeavesTheList)
{
    plug("STAYS");
    const auto goes = plug("GOES");
    std::uint32_t count = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), STATUS_SUCCESS);
    ASSERT_EQ(count, 2u);
    bus().unplug(goes.id);
    // A real kernel tells libusb of the removal through udev, a moment after the device is gone.
    EXPECT_TRUE(eventually([&] { return FT_CreateDeviceInfoList(&count) == STATUS_SUCCESS && count == 1; }));
    EXPECT_EQ(serial_at(0), "STAYS");
}

} // namespace
