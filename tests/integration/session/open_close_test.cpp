// Opening and closing through FT_Create and FT_Close, the argument checks, and the calls that
// must not touch a handle that is no longer open.
#include <libusb-1.0/libusb.h>

#include <cstring>
#include <string>

#include "support.h"

using namespace session_test;

namespace {

void* open_index(std::uintptr_t index)
{
    void* handle = nullptr;
    EXPECT_EQ(FT_Create(reinterpret_cast<void*>(index), FT_OPEN_BY_INDEX, &handle),
              STATUS_SUCCESS);
    return handle;
}

TEST(OpenClose, OpenMarksTheRecordAndCloseClearsIt)
{
    const auto plugged = plug("OPEN1");
    void* handle = open_index(0);
    ASSERT_NE(handle, nullptr);

    std::uint32_t flags = 0;
    void* listed = nullptr;
    ASSERT_EQ(FT_GetDeviceInfoDetail(0, &flags, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     &listed),
              STATUS_SUCCESS);
    EXPECT_EQ(flags & FT_FLAGS_OPENED, FT_FLAGS_OPENED);
    EXPECT_EQ(listed, handle);
    // The FT60x interface (after two video interfaces) is claimed, nothing else.
    EXPECT_EQ(bus().board(plugged.id).claimed_interfaces(), std::set<int>{2});

    std::uint16_t vid = 0, pid = 0;
    EXPECT_EQ(FT_GetVIDPID(handle, &vid, &pid), STATUS_SUCCESS);
    EXPECT_EQ(vid, vboard::vendor_id);
    EXPECT_EQ(pid, 0x0001);

    ASSERT_EQ(FT_Close(handle), STATUS_SUCCESS);
    ASSERT_EQ(FT_GetDeviceInfoDetail(0, &flags, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     &listed),
              STATUS_SUCCESS);
    EXPECT_EQ(flags & FT_FLAGS_OPENED, 0u);
    EXPECT_EQ(listed, nullptr);
    EXPECT_TRUE(bus().board(plugged.id).claimed_interfaces().empty());
}

TEST(OpenClose, OpenByTextSerialNumberAndDescription)
{
    vboard::BoardConfig camera;
    camera.model = vboard::Model::camera;
    camera.serial = "CAMERA7";
    bus().plug(camera);
    plug("SDI7");

    void* handle = nullptr;
    ASSERT_EQ(FT_Create(const_cast<char*>("Q.V. Ostrane USB Camera Board"),
                        FT_OPEN_BY_DESCRIPTION, &handle),
              STATUS_SUCCESS);
    std::uint16_t vid = 0, pid = 0;
    ASSERT_EQ(FT_GetVIDPID(handle, &vid, &pid), STATUS_SUCCESS);
    EXPECT_EQ(pid, 0x0002);
    ASSERT_EQ(FT_Close(handle), STATUS_SUCCESS);

    // Serial number wins when both flags are given.
    ASSERT_EQ(FT_Create(const_cast<char*>("SDI7"),
                        FT_OPEN_BY_SERIAL_NUMBER | FT_OPEN_BY_DESCRIPTION, &handle),
              STATUS_SUCCESS);
    ASSERT_EQ(FT_GetVIDPID(handle, &vid, &pid), STATUS_SUCCESS);
    EXPECT_EQ(pid, 0x0001);
    EXPECT_EQ(FT_Close(handle), STATUS_SUCCESS);

    EXPECT_EQ(FT_Create(const_cast<char*>("sdi7"), FT_OPEN_BY_SERIAL_NUMBER, &handle),
              STATUS_NO_DEVICE);
}

TEST(OpenClose, CloseTwice)
{
    plug("TWICE");
    log_capture log(FT_LOG_LEVEL_ERROR);
    void* handle = open_index(0);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(FT_Close(handle), STATUS_SUCCESS);
    EXPECT_FALSE(log.contains("Failed to close"));
    EXPECT_EQ(FT_Close(handle), STATUS_NO_DEVICE);
    EXPECT_TRUE(log.contains("Failed to close due to invalid device handle\r\n"));
    EXPECT_TRUE(log.contains("in opened devices\r\n"));
    EXPECT_EQ(FT_Close(nullptr), STATUS_NO_DEVICE);
}

TEST(OpenClose, CreateChecksItsArguments)
{
    plug("ARGS");
    log_capture log(FT_LOG_LEVEL_ERROR);
    void* handle = reinterpret_cast<void*>(0x1);

    EXPECT_EQ(FT_Create(const_cast<char*>("ARGS"), 0, &handle), STATUS_BAD_PARAMETER);
    EXPECT_EQ(handle, nullptr);

    const std::string too_long(33, 'x');
    EXPECT_EQ(FT_Create(const_cast<char*>(too_long.c_str()), FT_OPEN_BY_SERIAL_NUMBER, &handle),
              STATUS_BAD_PARAMETER);
    EXPECT_TRUE(log.contains("String too long:" + too_long + "\r\n"));
    EXPECT_EQ(FT_Create(const_cast<char*>(""), FT_OPEN_BY_DESCRIPTION, &handle),
              STATUS_BAD_PARAMETER);

    // 32 characters are accepted; they only find nothing.
    const std::string longest(32, 'y');
    EXPECT_EQ(FT_Create(const_cast<char*>(longest.c_str()), FT_OPEN_BY_SERIAL_NUMBER, &handle),
              STATUS_NO_DEVICE);

    EXPECT_EQ(FT_Create(reinterpret_cast<void*>(std::uintptr_t{1}), FT_OPEN_BY_INDEX, &handle),
              STATUS_NO_DEVICE);
    EXPECT_TRUE(log.contains("FT_Create failed to find device\r\n"));
    EXPECT_EQ(FT_Create(nullptr, FT_OPEN_BY_INDEX, nullptr), STATUS_BAD_HANDLE);

    std::uint32_t flags = 0;
    FT_GetDeviceInfoDetail(0, &flags, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(flags & FT_FLAGS_OPENED, 0u) << "no failed call may leave the board open";
}

TEST(OpenClose, RefusedClaimFailsTheOpenAndLeavesNothingOpen)
{
    vboard::BoardConfig config;
    config.serial = "BUSY";
    config.refuse_claim = true;
    bus().plug(config);
    log_capture log(FT_LOG_LEVEL_TRACE);
    void* handle = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(FT_Create(nullptr, FT_OPEN_BY_INDEX, &handle), STATUS_OPEN_FAILED);
    EXPECT_EQ(handle, nullptr);
    EXPECT_TRUE(log.contains("Failed to claim interface 2, "));
    EXPECT_TRUE(log.contains("FT_Create failed to open device\r\n"));
}

TEST(OpenClose, ClosedHandleIsNeverLookedInto)
{
    plug("CLOSED");
    void* handle = open_index(0);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(FT_Close(handle), STATUS_SUCCESS);

    std::uint16_t vid = 0x1111, pid = 0x2222;
    EXPECT_EQ(FT_GetVIDPID(handle, &vid, &pid), STATUS_BAD_HANDLE);
    EXPECT_EQ(vid, 0x1111);
    EXPECT_EQ(pid, 0x2222);
    EXPECT_EQ(FT_SetNotificationCallback(handle, [](void*, int, void*) {}, nullptr),
              STATUS_BAD_HANDLE);
    int on_stack = 0;
    EXPECT_EQ(FT_GetVIDPID(&on_stack, &vid, &pid), STATUS_BAD_HANDLE);
    EXPECT_EQ(FT_SetNotificationCallback(nullptr, nullptr, nullptr), STATUS_BAD_HANDLE);

    std::uint8_t byte = 0;
    EXPECT_EQ(FT_ControlTransfer(handle, 0x0001'0001'000D'05C0ull, &byte, 1, nullptr),
              STATUS_BAD_HANDLE);
    std::uint32_t version = 0;
    EXPECT_EQ(FT_GetFirmwareVersion(handle, &version), STATUS_BAD_PARAMETER);
    EXPECT_FALSE(FT_EnterDFUMode(handle));
}

TEST(OpenClose, DeviceInfoListCopiesNoMoreThanLastReported)
{
    plug("FIRST");
    std::uint32_t count = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), STATUS_SUCCESS);
    ASSERT_EQ(count, 1u);

    // The list grows behind the host's back: FT_Create refreshes it without reporting a count.
    plug("SECOND");
    void* handle = nullptr;
    ASSERT_EQ(FT_Create(const_cast<char*>("SECOND"), FT_OPEN_BY_SERIAL_NUMBER, &handle),
              STATUS_SUCCESS);

    struct guarded {
        FT_DEVICE_INFO records[1];
        unsigned char fence[sizeof(FT_DEVICE_INFO)];
    } array;
    std::memset(&array, 0x5A, sizeof array);
    std::uint32_t copied = 99;
    ASSERT_EQ(FT_GetDeviceInfoList(array.records, &copied), STATUS_SUCCESS);
    EXPECT_EQ(copied, 1u);
    for (unsigned char b : array.fence)
        ASSERT_EQ(b, 0x5A) << "a record was written past the reported count";

    ASSERT_EQ(FT_CreateDeviceInfoList(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    FT_DEVICE_INFO both[2];
    ASSERT_EQ(FT_GetDeviceInfoList(both, &copied), STATUS_SUCCESS);
    EXPECT_EQ(copied, 2u);
    EXPECT_EQ(FT_Close(handle), STATUS_SUCCESS);
}

TEST(OpenClose, VersionCalls)
{
    std::uint32_t version = 0;
    EXPECT_EQ(FT_GetDriverVersion(nullptr, &version), STATUS_SUCCESS);
    EXPECT_EQ(version, 0x00050019u);
    EXPECT_EQ(FT_GetDriverVersion(nullptr, nullptr), STATUS_BAD_PARAMETER);
    ASSERT_EQ(FT_GetLibraryVersion(&version), STATUS_SUCCESS);
    const libusb_version* v = libusb_get_version();
    EXPECT_EQ(version, (std::uint32_t{v->major} << 24) | (std::uint32_t{v->minor} << 16) | v->micro);

    plug("VERSION");
    void* handle = open_index(0);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(FT_GetFirmwareVersion(handle, &version), STATUS_SUCCESS);
    EXPECT_EQ(version, 0x01020007u) << "the board reports 1.2.7";
    EXPECT_EQ(FT_GetFirmwareVersion(handle, nullptr), STATUS_BAD_PARAMETER);
    EXPECT_EQ(FT_Close(handle), STATUS_SUCCESS);
}

} // namespace
