#include "script.h"

#include <sstream>
#include <stdexcept>

namespace vboard::launcher {
namespace {

long number(const std::string& s, long lo, long hi, const std::string& what) {
    size_t used = 0;
    long v = 0;
    try {
        v = std::stol(s, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != s.size() || v < lo || v > hi)
        throw std::runtime_error(what + " must be a number from " + std::to_string(lo) + " to " + std::to_string(hi) +
                                 ", not '" + s + "'");
    return v;
}

bool on_off(const std::string& s) {
    if (s == "on") return true;
    if (s == "off") return false;
    throw std::runtime_error("expected on or off, not '" + s + "'");
}

void apply_plug_option(BoardConfig& c, const std::string& option) {
    const auto eq = option.find('=');
    if (eq == std::string::npos) throw std::runtime_error("plug option '" + option + "' is not key=value");
    const std::string key = option.substr(0, eq), value = option.substr(eq + 1);
    if (key == "model") {
        auto m = parse_model(value);
        if (!m) throw std::runtime_error("unknown model '" + value + "'");
        c.model = *m;
    } else if (key == "serial") {
        c.serial = value;
    } else if (key == "video") {
        c.video_interfaces = static_cast<int>(number(value, 0, 2, "video"));
    } else if (key == "speed") {
        if (value != "super" && value != "high") throw std::runtime_error("speed must be super or high");
        c.speed = value == "super" ? Speed::super : Speed::high;
    } else if (key == "fifo") {
        if (value != "loopback" && value != "pattern") throw std::runtime_error("fifo must be loopback or pattern");
        c.fifo = value == "loopback" ? FifoSource::loopback : FifoSource::pattern;
    } else {
        throw std::runtime_error("unknown plug option '" + key + "'");
    }
}

}  // namespace

std::vector<Event> parse_script(std::istream& in, const BoardConfig& defaults) {
    std::vector<Event> events;
    std::string text;
    int line_no = 0;
    while (std::getline(in, text)) {
        ++line_no;
        if (const auto hash = text.find('#'); hash != std::string::npos) text.erase(hash);
        std::istringstream words(text);
        std::vector<std::string> w;
        for (std::string s; words >> s;) w.push_back(s);
        if (w.empty()) continue;
        try {
            Event e;
            e.line = line_no;
            e.at = std::chrono::milliseconds(number(w[0], 0, 86400000, "time"));
            if (w.size() < 2) throw std::runtime_error("missing action");
            e.action = w[1];
            auto need = [&](size_t lo, size_t hi) {
                if (w.size() < lo || w.size() > hi)
                    throw std::runtime_error("wrong number of arguments for " + e.action);
            };
            if (e.action == "plug") {
                e.plug_config = defaults;
                e.plug_config.serial.clear();
                for (size_t i = 2; i < w.size(); ++i) apply_plug_option(e.plug_config, w[i]);
            } else {
                if (w.size() < 3) throw std::runtime_error(e.action + " needs a board number");
                e.board = static_cast<int>(number(w[2], 1, 1000, "board"));
                e.args.assign(w.begin() + 3, w.end());
                if (e.action == "await") {
                    need(4, 5);
                    if (w[3] != "request" && w[3] != "interrupt" && w[3] != "fifo")
                        throw std::runtime_error("await needs request, interrupt or fifo, not '" + w[3] + "'");
                    if (w.size() == 5) number(w[4], 1, 86400000, "await time-out");
                } else if (e.action == "unplug") {
                    need(3, 3);
                } else if (e.action == "stall-control") {
                    need(4, 5);
                    number(w[3], 0, 1000000, "count");
                    if (w.size() == 5) number(w[4], 0, 255, "bRequest");
                } else if (e.action == "nak-i2c") {
                    need(4, 4);
                    number(w[3], 0, 1000000, "count");
                } else if (e.action == "delay-control") {
                    need(4, 5);
                    number(w[3], 0, 1000000, "count");
                    if (w.size() == 5) number(w[4], 1, 60000, "delay");
                } else if (e.action == "notify") {
                    need(3, 3 + 64);
                    for (size_t i = 3; i < w.size(); ++i) number("0x" + w[i], 0, 255, "notification byte");
                } else if (e.action == "stall-bulk") {
                    need(4, 5);
                    number(w[3], 0, 1000000, "count");
                    if (w.size() == 5) number(w[4], 0, 255, "endpoint");
                } else if (e.action == "camera") {
                    need(4, 5);
                    if (w[3] != "echo" && w[3] != "silent" && w[3] != "slow" && w[3] != "chatty")
                        throw std::runtime_error("camera must be echo, silent, slow or chatty");
                    if (w.size() == 5) number(w[4], 1, 60000, "camera time");
                } else if (e.action == "short-control") {
                    need(5, 6);
                    number(w[3], 0, 1000000, "count");
                    number(w[4], 0, 65535, "length");
                    if (w.size() == 6) number(w[5], 0, 255, "bRequest");
                } else if (e.action == "lie-register") {
                    need(5, 5);
                    number(w[3], 0x10, 0x18, "register");
                    if (w[4] != "off") number(w[4], 0, 255, "value");
                } else if (e.action == "stall-endpoint") {
                    need(5, 5);
                    number(w[3], 0, 255, "endpoint");
                    number(w[4], 0, 1000000, "count");
                } else if (e.action == "corrupt-fifo") {
                    need(4, 4);
                    number(w[3], 0, 0x7fffffffffffffffL, "offset");
                } else if (e.action == "drop-fifo") {
                    need(4, 5);
                    number(w[3], 0, 0x7fffffffffffffffL, "offset");
                    if (w.size() == 5) number(w[4], 1, 16 << 20, "byte count");
                } else if (e.action == "refuse-claim" || e.action == "fail-strings") {
                    need(4, 4);
                    on_off(w[3]);
                } else {
                    throw std::runtime_error("unknown action '" + e.action + "'");
                }
            }
            events.push_back(std::move(e));
        } catch (const std::runtime_error& err) {
            throw std::runtime_error("script line " + std::to_string(line_no) + ": " + err.what());
        }
    }
    return events;
}

}  // namespace vboard::launcher
