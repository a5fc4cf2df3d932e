#include "model/board_config.h"

namespace vboard {

const char* model_name(Model m) {
    switch (m) {
    case Model::sdi: return "sdi";
    case Model::camera: return "camera";
    case Model::bridge: return "bridge";
    }
    return "?";
}

const char* product_string(Model m) {
    switch (m) {
    case Model::sdi: return "Q.V. Ostrane SDI Adapter";
    case Model::camera: return "Q.V. Ostrane USB Camera Board";
    case Model::bridge: return "Q.V. Ostrane Video Bridge";
    }
    return "";
}

uint16_t product_id(Model m) {
    switch (m) {
    case Model::sdi: return 0x0001;
    case Model::camera: return 0x0002;
    case Model::bridge: return 0x0003;
    }
    return 0;
}

std::optional<Model> parse_model(const std::string& s) {
    if (s == "sdi") return Model::sdi;
    if (s == "camera") return Model::camera;
    if (s == "bridge") return Model::bridge;
    return std::nullopt;
}

}  // namespace vboard
