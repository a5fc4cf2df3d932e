// `ostrane-cli gpio read|enable|write|pull`: the chip's three GPIO pins, shown in bits together
// with the 16-bit word that the request carries.
#include <fmt/format.h>

#include <memory>
#include <string>

#include "commands.h"
#include "common.h"

namespace {

constexpr int pins = 3;

struct gpio_options {
    cli::board_selector which;
    bool as_json = false;
    std::string mask, value;
};

// The word the chip receives: per pin n, bit 3n+2 applies the change; bit 3n (and for pulls
// bit 3n+1) carries the pin's value.
unsigned gpio_word(unsigned mask, unsigned value, bool pull)
{
    unsigned word = 0;
    for (int n = 0; n < pins; ++n) {
        if ((mask >> n & 1u) == 0)
            continue;
        word |= 1u << (3 * n + 2);
        word |= pull ? (value >> (2 * n) & 3u) << (3 * n) : (value >> n & 1u) << (3 * n);
    }
    return word;
}

std::uint8_t read_levels(void* h, const std::string& who)
{
    std::uint8_t levels = 0;
    if (const FT_RESULT rc = FT_ReadGPIO(h, &levels); rc != STATUS_SUCCESS)
        cli::fail_status("read the GPIO levels of " + who, rc);
    return static_cast<std::uint8_t>(levels & 7);
}

std::string pin_list(unsigned levels)
{
    return fmt::format("gpio2={} gpio1={} gpio0={}", levels >> 2 & 1, levels >> 1 & 1, levels & 1);
}

int run_read(const gpio_options& o)
{
    cli::board b(o.which);
    const unsigned levels = read_levels(b.handle(), b.name());
    if (o.as_json) {
        cli::print_json({{"levels", levels},
                         {"levels_bits", cli::bits(levels, pins)},
                         {"pins", {levels & 1, levels >> 1 & 1, levels >> 2 & 1}}});
    } else {
        fmt::print("{}: GPIO levels {} ({})\n", b.name(), cli::bits(levels, pins), pin_list(levels));
    }
    return 0;
}

enum class change { direction, level, pull };

int run_change(const gpio_options& o, change what)
{
    const bool pull = what == change::pull;
    const auto mask = static_cast<unsigned>(cli::parse_number(o.mask, 7, "MASK"));
    const auto value = static_cast<unsigned>(
        cli::parse_number(o.value, pull ? 0x3F : 7, pull ? "PULL" : what == change::level ? "VALUE" : "DIRECTION"));
    const char* name = what == change::direction ? "enable" : pull ? "pull" : "write";
    cli::board b(o.which);
    void* h = b.handle();
    const auto m = static_cast<std::uint8_t>(mask);
    const auto v = static_cast<std::uint8_t>(value);
    const FT_RESULT rc = what == change::direction ? FT_EnableGPIO(h, m, v)
                         : pull                    ? FT_SetGPIOPull(h, m, v)
                                                   : FT_WriteGPIO(h, m, v);
    if (rc != STATUS_SUCCESS)
        cli::fail_status(fmt::format("gpio {} on {}", name, b.name()), rc);
    const unsigned word = gpio_word(mask, value, pull);
    const unsigned levels = read_levels(h, b.name());
    if (o.as_json) {
        cli::print_json({{"operation", name},
                         {"mask", mask},
                         {"value", value},
                         {"word", fmt::format("0x{:04X}", word)},
                         {"word_bits", cli::bits(word, 16)},
                         {"levels", levels},
                         {"levels_bits", cli::bits(levels, pins)}});
    } else {
        fmt::print("{}: gpio {} mask {} value {}: word {} (0x{:04X})\n", b.name(), name,
                   cli::bits(mask, pins), cli::bits(value, pull ? 2 * pins : pins),
                   cli::bits(word, 16), word);
        fmt::print("{}: GPIO levels {} ({})\n", b.name(), cli::bits(levels, pins), pin_list(levels));
    }
    return 0;
}

} // namespace

void add_gpio_command(CLI::App& app)
{
    auto* gpio = app.add_subcommand("gpio", "Read and drive the chip's GPIO pins 0 to 2");
    gpio->require_subcommand(1);
    auto o = std::make_shared<gpio_options>();
    auto common = [o](CLI::App* cmd) {
        o->which.add_to(cmd);
        cmd->add_flag("--json", o->as_json, "Print JSON");
    };
    auto* read = gpio->add_subcommand("read", "Read the pin levels");
    common(read);
    cli::on_run(read, [o] { return run_read(*o); });

    struct leaf {
        const char* name;
        const char* help;
        const char* value_name;
        const char* value_help;
        change what;
    };
    for (const leaf& l :
         {leaf{"enable", "Set pin directions", "DIRECTION", "Bit n: 1 output, 0 input",
               change::direction},
          leaf{"write", "Set output levels", "VALUE", "Bit n: level of pin n", change::level},
          leaf{"pull", "Set pull resistors", "PULL",
               "Bits 2n and 2n+1: the pull code of pin n", change::pull}}) {
        auto* cmd = gpio->add_subcommand(l.name, l.help);
        cmd->add_option("MASK", o->mask, "Pins to change, bit n for pin n (decimal or 0x hex)")
            ->required();
        cmd->add_option(l.value_name, o->value, l.value_help)->required();
        common(cmd);
        cli::on_run(cmd, [o, what = l.what] { return run_change(*o, what); });
    }
}
