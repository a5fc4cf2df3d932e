// Enumeration through real libusb: topology, descriptors, strings, descriptor faults, claims.
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "fixture.h"

namespace vboard::test {
namespace {

using Enumeration = BusTest;

struct Found {
    libusb_device* dev;
    libusb_device_descriptor desc;
};

// The FT60x interface scan the library applies to an FT602: -1 when the device is not accepted.
int ft60x_interface(libusb_device* dev) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(dev, &d) != 0) return -1;
    if (d.bDeviceClass != 0xEF || d.bDeviceSubClass != 0x02 || d.bDeviceProtocol != 0x01 || d.bcdDevice != 0x0001)
        return -1;
    libusb_config_descriptor* c = nullptr;
    if (libusb_get_active_config_descriptor(dev, &c) != 0) return -1;
    int found = -1;
    for (int i = 0; i < c->bNumInterfaces; ++i) {
        const libusb_interface& itf = c->interface[i];
        if (itf.num_altsetting != 1) break;
        const libusb_interface_descriptor& alt = itf.altsetting[0];
        if (alt.bInterfaceClass == 0x0E) continue;
        if (alt.bNumEndpoints == 3 && alt.bInterfaceClass == 0xFF && alt.bInterfaceSubClass == 0x06 &&
            alt.bInterfaceProtocol == 0x02)
            found = alt.bInterfaceNumber;
        break;
    }
    libusb_free_config_descriptor(c);
    return found;
}

std::vector<libusb_device*> boards_in(libusb_device** list, ssize_t n) {
    std::vector<libusb_device*> out;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == 0x1209 && d.bDeviceClass == 0xEF)
            out.push_back(list[i]);
    }
    return out;
}

TEST_F(Enumeration, OneToThreeBoardsSitOnHubPortsWithTheirAddresses) {
    // The emulated bus puts boards behind a hub (ports 4, 5, 6, addresses from 3); the kernel
    // puts them on vhci's root hub. Either way libusb must see what the bus reports.
    const bool emulated = bus_.transport() == Transport::umockdev;
    std::map<int, PluggedBoard> plugged;  // by address
    for (int count = 1; count <= 3; ++count) {
        const auto b = bus_.plug();
        plugged[b.address] = b;
        if (!emulated) continue;
        EXPECT_EQ(b.port_path, "1-1." + std::to_string(3 + count));
        EXPECT_EQ(b.address, 2 + count);
    }
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx(), &list);
    ASSERT_GE(n, emulated ? 5 : 4) << "root hub(s), hub and three boards";
    const auto boards = boards_in(list, n);
    ASSERT_EQ(boards.size(), 3u);
    std::set<std::vector<uint8_t>> paths;
    std::set<int> addresses;
    std::set<std::string> serials;
    for (libusb_device* dev : boards) {
        uint8_t ports[8] = {};
        const int depth = libusb_get_port_numbers(dev, ports, 8);
        ASSERT_GE(depth, 1);
        const std::vector<uint8_t> path(ports, ports + depth);
        paths.insert(path);
        const int address = libusb_get_device_address(dev);
        addresses.insert(address);
        ASSERT_EQ(plugged.count(address), 1u) << address;
        EXPECT_EQ(path, plugged[address].ports);
        EXPECT_EQ(libusb_get_bus_number(dev), plugged[address].bus);
        EXPECT_EQ(libusb_get_device_speed(dev), LIBUSB_SPEED_SUPER);
        libusb_device* parent = libusb_get_parent(dev);
        ASSERT_NE(parent, nullptr);
        if (emulated) {
            EXPECT_EQ(libusb_get_device_address(parent), 2) << "boards hang from the hub";
        }
        libusb_device_handle* h = nullptr;
        ASSERT_EQ(libusb_open(dev, &h), 0);
        unsigned char text[64] = {};
        ASSERT_GT(libusb_get_string_descriptor_ascii(h, 3, text, sizeof text), 0);
        serials.insert(reinterpret_cast<char*>(text));
        libusb_close(h);
    }
    libusb_free_device_list(list, 1);
    EXPECT_EQ(paths.size(), 3u);
    if (emulated) {
        EXPECT_EQ(paths, (std::set<std::vector<uint8_t>>{{1, 4}, {1, 5}, {1, 6}}));
        EXPECT_EQ(addresses, (std::set<int>{3, 4, 5}));
    }
    EXPECT_EQ(serials, (std::set<std::string>{"VB0001", "VB0002", "VB0003"}));
}

TEST_F(Enumeration, DefaultBoardDescriptorsPassTheFt60xScan) {
    bus_.plug();
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx(), &list);
    const auto boards = boards_in(list, n);
    ASSERT_EQ(boards.size(), 1u);
    libusb_device* dev = boards[0];
    libusb_device_descriptor d{};
    ASSERT_EQ(libusb_get_device_descriptor(dev, &d), 0);
    EXPECT_EQ(d.bcdUSB, 0x0320);
    EXPECT_EQ(d.idProduct, 0x0001);
    EXPECT_EQ(d.bcdDevice, 0x0001);
    EXPECT_EQ(d.bDeviceSubClass, 0x02);
    EXPECT_EQ(d.bDeviceProtocol, 0x01);
    EXPECT_EQ(d.bMaxPacketSize0, 9);
    EXPECT_EQ(d.bNumConfigurations, 1);
    EXPECT_EQ(ft60x_interface(dev), 2);

    libusb_config_descriptor* c = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(dev, &c), 0);
    ASSERT_EQ(c->bNumInterfaces, 3);
    // The interface association precedes the first interface.
    ASSERT_GE(c->extra_length, 8);
    EXPECT_EQ(c->extra[1], 0x0B);
    EXPECT_EQ(c->extra[2], 0);  // first interface
    EXPECT_EQ(c->extra[3], 2);  // count
    EXPECT_EQ(c->extra[4], 0x0E);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(c->interface[i].num_altsetting, 1);
        EXPECT_EQ(c->interface[i].altsetting[0].bInterfaceClass, 0x0E);
        EXPECT_EQ(c->interface[i].altsetting[0].bInterfaceSubClass, i + 1);  // control, then streaming
        EXPECT_EQ(c->interface[i].altsetting[0].bNumEndpoints, i);
    }
    EXPECT_EQ(c->interface[1].altsetting[0].endpoint[0].bEndpointAddress, 0x81) << "the video stream's bulk IN";
    const libusb_interface_descriptor& v = c->interface[2].altsetting[0];
    ASSERT_EQ(v.bNumEndpoints, 3);
    const struct {
        uint8_t address, type;
        uint16_t size;
    } expected[] = {{0x86, LIBUSB_TRANSFER_TYPE_INTERRUPT, 16}, {0x85, LIBUSB_TRANSFER_TYPE_BULK, 1024},
                    {0x05, LIBUSB_TRANSFER_TYPE_BULK, 1024}};
    for (int e = 0; e < 3; ++e) {
        const libusb_endpoint_descriptor& ep = v.endpoint[e];
        EXPECT_EQ(ep.bEndpointAddress, expected[e].address);
        EXPECT_EQ(ep.bmAttributes & 3, expected[e].type);
        EXPECT_EQ(ep.wMaxPacketSize, expected[e].size);
        libusb_ss_endpoint_companion_descriptor* comp = nullptr;
        ASSERT_EQ(libusb_get_ss_endpoint_companion_descriptor(ctx(), &ep, &comp), 0) << "endpoint " << e;
        EXPECT_EQ(comp->bMaxBurst, expected[e].type == LIBUSB_TRANSFER_TYPE_BULK ? 15 : 0);
        libusb_free_ss_endpoint_companion_descriptor(comp);
    }
    libusb_free_config_descriptor(c);

    libusb_device_handle* h = nullptr;
    ASSERT_EQ(libusb_open(dev, &h), 0);
    unsigned char text[64] = {};
    ASSERT_GT(libusb_get_string_descriptor_ascii(h, d.iManufacturer, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "Tessory");
    ASSERT_GT(libusb_get_string_descriptor_ascii(h, d.iProduct, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "Q.V. Ostrane SDI Adapter");
    ASSERT_GT(libusb_get_string_descriptor_ascii(h, d.iSerialNumber, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "VB0001");
    // Descriptors read over the wire match what enumeration saw.
    unsigned char wire[18] = {};
    ASSERT_EQ(libusb_get_descriptor(h, LIBUSB_DT_DEVICE, 0, wire, sizeof wire), 18);
    EXPECT_EQ(wire[4], 0xEF);
    unsigned char bos[64] = {};
    EXPECT_GT(libusb_get_descriptor(h, LIBUSB_DT_BOS, 0, bos, sizeof bos), 5);
    libusb_close(h);
    libusb_free_device_list(list, 1);
}

TEST_F(Enumeration, ModelsVideoInterfacesAndHighSpeed) {
    struct Case {
        Model model;
        int video;
        Speed speed;
        uint16_t pid;
        const char* product;
        int vendor;  // one video stream: control and streaming interface before the vendor one
    } cases[] = {
        {Model::camera, 0, Speed::high, 0x0002, "Q.V. Ostrane USB Camera Board", 0},
        {Model::bridge, 1, Speed::super, 0x0003, "Q.V. Ostrane Video Bridge", 2},
    };
    for (const auto& k : cases) {
        BoardConfig c;
        c.model = k.model;
        c.video_interfaces = k.video;
        c.speed = k.speed;
        bus_.plug(c);
    }
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx(), &list);
    const auto boards = boards_in(list, n);
    ASSERT_EQ(boards.size(), 2u);
    for (libusb_device* dev : boards) {
        libusb_device_descriptor d{};
        ASSERT_EQ(libusb_get_device_descriptor(dev, &d), 0);
        const Case& k = d.idProduct == 0x0002 ? cases[0] : cases[1];
        ASSERT_EQ(d.idProduct, k.pid);
        EXPECT_EQ(ft60x_interface(dev), k.vendor);
        EXPECT_EQ(libusb_get_device_speed(dev), k.speed == Speed::super ? LIBUSB_SPEED_SUPER : LIBUSB_SPEED_HIGH);
        libusb_config_descriptor* c = nullptr;
        ASSERT_EQ(libusb_get_active_config_descriptor(dev, &c), 0);
        EXPECT_EQ(c->bNumInterfaces, k.vendor + 1);
        EXPECT_EQ(c->interface[k.vendor].altsetting[0].endpoint[1].wMaxPacketSize, k.speed == Speed::super ? 1024 : 512);
        if (k.speed == Speed::high) {
            EXPECT_EQ(d.bcdUSB, 0x0210);
            EXPECT_EQ(c->interface[k.vendor].altsetting[0].endpoint[1].extra_length, 0) << "no companion at high speed";
        }
        libusb_free_config_descriptor(c);
        libusb_device_handle* h = nullptr;
        ASSERT_EQ(libusb_open(dev, &h), 0);
        unsigned char text[64] = {};
        ASSERT_GT(libusb_get_string_descriptor_ascii(h, d.iProduct, text, sizeof text), 0);
        EXPECT_STREQ(reinterpret_cast<char*>(text), k.product);
        libusb_close(h);
    }
    libusb_free_device_list(list, 1);
}

TEST_F(Enumeration, DescriptorFaultsFailTheFt60xScan) {
    BoardConfig wrong_bcd;
    wrong_bcd.bcd_device = 0x0002;
    wrong_bcd.serial = "BCD";
    BoardConfig two_alts;
    two_alts.extra_alternate_setting = true;
    two_alts.serial = "ALT";
    bus_.plug(wrong_bcd);
    bus_.plug(two_alts);
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx(), &list);
    const auto boards = boards_in(list, n);
    ASSERT_EQ(boards.size(), 2u);
    for (libusb_device* dev : boards) {
        EXPECT_EQ(ft60x_interface(dev), -1);
        libusb_device_descriptor d{};
        libusb_get_device_descriptor(dev, &d);
        libusb_config_descriptor* c = nullptr;
        ASSERT_EQ(libusb_get_active_config_descriptor(dev, &c), 0);
        if (d.bcdDevice == 0x0001) EXPECT_EQ(c->interface[2].num_altsetting, 2);
        else EXPECT_EQ(d.bcdDevice, 0x0002);
        libusb_free_config_descriptor(c);
    }
    libusb_free_device_list(list, 1);
}

TEST_F(Enumeration, StringDescriptorFaultStallsStringReadsOnly) {
    const auto b = bus_.plug();
    libusb_device_handle* h = open_serial(b.serial);
    ASSERT_NE(h, nullptr);
    Board& board = bus_.board(b.id);
    board.set_fail_string_descriptors(true);
    unsigned char text[64] = {};
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 2, text, sizeof text), LIBUSB_ERROR_PIPE);
    unsigned char dev[18];
    EXPECT_EQ(libusb_get_descriptor(h, LIBUSB_DT_DEVICE, 0, dev, 18), 18);
    board.set_fail_string_descriptors(false);
    EXPECT_GT(libusb_get_string_descriptor_ascii(h, 2, text, sizeof text), 0);
    const auto log = board.request_log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().setup.wValue, 0x0302);
    EXPECT_FALSE(log.back().stalled);
    libusb_close(h);
}

TEST_F(Enumeration, ClaimsAreRecordedAndCanBeRefused) {
    const auto b = bus_.plug();
    libusb_device_handle* h = open_serial(b.serial);
    ASSERT_NE(h, nullptr);
    Board& board = bus_.board(b.id);
    ASSERT_EQ(libusb_claim_interface(h, 2), 0);
    EXPECT_EQ(board.claimed_interfaces(), std::set<int>{2});
    EXPECT_EQ(libusb_claim_interface(h, 7), LIBUSB_ERROR_NOT_FOUND);
    ASSERT_EQ(libusb_release_interface(h, 2), 0);
    EXPECT_TRUE(board.claimed_interfaces().empty());

    board.set_refuse_claim(true);
    EXPECT_EQ(libusb_claim_interface(h, 2), LIBUSB_ERROR_BUSY);
    // With automatic detaching libusb takes the disconnect-and-claim path: refused the same way.
    // (The vendor interface: on the kernel uvcvideo holds the video ones.)
    libusb_set_auto_detach_kernel_driver(h, 1);
    EXPECT_EQ(libusb_claim_interface(h, 2), LIBUSB_ERROR_BUSY);
    board.set_refuse_claim(false);
    EXPECT_EQ(libusb_claim_interface(h, 2), 0);
    EXPECT_EQ(libusb_release_interface(h, 2), 0) << "re-attaching a kernel driver finds none and is fine";
    libusb_close(h);
}

TEST_F(Enumeration, EachOpenFileHasItsOwnClaimsAndTransfers) {
    const auto b = bus_.plug();
    libusb_device_handle* first = open_serial(b.serial);
    libusb_context* other_ctx = nullptr;
    ASSERT_EQ(libusb_init(&other_ctx), 0);
    libusb_device_handle* second = nullptr;
    {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(other_ctx, &list);
        for (ssize_t i = 0; i < n && !second; ++i)
            if (libusb_get_device_address(list[i]) == b.address) libusb_open(list[i], &second);
        libusb_free_device_list(list, 1);
    }
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(libusb_claim_interface(first, 2), 0);
    EXPECT_EQ(libusb_claim_interface(second, 2), LIBUSB_ERROR_BUSY) << "held by the other open file";
    // Both talk at once; each gets its own answers.
    std::atomic<int> bad{0};
    auto talk = [&bad](libusb_device_handle* h, uint8_t reg, uint8_t expected) {
        for (int i = 0; i < 200; ++i) {
            unsigned char v = 0;
            if (libusb_control_transfer(h, 0xC0, 5, reg, 0x010D, &v, 1, 1000) != 1 || v != expected) bad.fetch_add(1);
        }
    };
    ASSERT_EQ(i2c_write(first, 0x17, {0x33}), 1);
    std::thread a(talk, first, 0x11, 0x82), c(talk, second, 0x17, 0x33);
    a.join();
    c.join();
    EXPECT_EQ(bad.load(), 0);
    // Closing an open file gives its claims up.
    libusb_close(first);
    ASSERT_TRUE(eventually([&] { return libusb_claim_interface(second, 2) == 0; }));
    libusb_close(second);
    libusb_exit(other_ctx);
}

TEST_F(Enumeration, ResetDropsClaimsAndLibusbReclaims) {
    const auto b = bus_.plug();
    libusb_device_handle* h = open_serial(b.serial);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_claim_interface(h, 2), 0);
    EXPECT_EQ(libusb_reset_device(h), 0);
    EXPECT_EQ(bus_.board(b.id).claimed_interfaces(), std::set<int>{2});
    libusb_close(h);
}

}  // namespace
}  // namespace vboard::test
