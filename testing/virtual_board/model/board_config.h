// What a virtual board is: its model, identity, bus speed, FIFO-mode data source, and the
// descriptor-level faults it is built with (faults that change what enumeration sees must be
// chosen before the board is plugged).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vboard {

enum class Model { sdi, camera, bridge };           // product IDs 0x0001, 0x0002, 0x0003
enum class Speed { super, high };                   // sysfs speed 5000 or 480
enum class FifoSource { loopback, pattern };        // what FIFO mode does with 0x05 / 0x85
enum class ConfigLayout : uint16_t { ft602_4064 = 4064, ft602_2768 = 2768 };

struct BoardConfig {
    Model model = Model::sdi;
    // Serial number string. Empty: the bus assigns "<prefix>NNNN" (see VirtualBus::Options).
    std::string serial{};
    // Video streams (0 to 2): each adds a streaming interface after the control interface.
    int video_interfaces = 1;
    Speed speed = Speed::super;
    FifoSource fifo = FifoSource::loopback;
    ConfigLayout config_layout = ConfigLayout::ft602_4064;

    // Descriptor faults (each makes the board fail the FT60x interface scan).
    std::optional<uint16_t> bcd_device{};           // override bcdDevice (default 0x0001)
    bool extra_alternate_setting = false;           // vendor interface gets a second alternate setting

    // Behaviour faults that can also be switched later through Board.
    bool refuse_claim = false;                      // CLAIMINTERFACE / DISCONNECT_CLAIM answer EBUSY
    bool fail_string_descriptors = false;           // GET_DESCRIPTOR(STRING) stalls

    // Strings; empty manufacturer/product take the model's defaults.
    std::string manufacturer{};
    std::string product{};
};

const char* model_name(Model m);                    // "sdi", "camera", "bridge"
const char* product_string(Model m);                // "Q.V. Ostrane SDI Adapter", ...
uint16_t product_id(Model m);
std::optional<Model> parse_model(const std::string& s);

constexpr uint16_t vendor_id = 0x1209;

}  // namespace vboard
