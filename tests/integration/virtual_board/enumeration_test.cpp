#include <cstring>
#include <vector>

#include "fixture.h"

namespace vboard::test {
namespace {

using Enumeration = BusTest;

TEST_F(Enumeration, SmokeOneBoard) {
    const auto b = bus_.plug();
    libusb_device_handle* h = open_serial(b.serial);
    ASSERT_NE(h, nullptr);
    unsigned char text[64] = {};
    ASSERT_GT(libusb_get_string_descriptor_ascii(h, 2, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "Q.V. Ostrane SDI Adapter");
    unsigned char cfg[4] = {};
    EXPECT_EQ(libusb_control_transfer(h, 0xC0, 1, 0, 0, cfg, 4, 1000), 4);
    EXPECT_EQ(cfg[0] | (cfg[1] << 8), 4064);
    libusb_close(h);
}

}  // namespace
}  // namespace vboard::test
