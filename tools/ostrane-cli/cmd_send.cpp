// `ostrane-cli send`: opens a board's command channel, sends a text to the camera, waits for
// the reply and prints it with the round-trip time.
#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "commands.h"
#include "ostrane/OstraneCommsUSB.h"

namespace {

struct send_options {
    int board = 0;
    int timeout_ms = 1000;
    std::string text;
};

const char* describe(unsigned code)
{
    switch (code) {
    case CommsFailed: return "register access or transfer failed";
    case CommsBadLength: return "bad length";
    case CommsNoData: return "no reply before the time-out";
    case CommsOpenFailed: return "board not found or not opened";
    case CommsIndexUsed: return "board not opened (index used before)";
    case CommsBadHandle: return "no free channel";
    case CommsBufferTooSmall: return "buffer too small";
    case CommsNullPointer: return "null pointer";
    default: return "unknown error";
    }
}

int fail(const char* what, unsigned code)
{
    fmt::print(stderr, "ostrane-cli: {}: {} (code {})\n", what, describe(code), code);
    return 1;
}

int run_send(const send_options& o)
{
    if (o.text.empty() || o.text.size() > OSTRANE_COMMS_MAX_TRANSFER - 1) {
        fmt::print(stderr, "ostrane-cli: text must be 1 to {} bytes\n",
                   OSTRANE_COMMS_MAX_TRANSFER - 1);
        return 1;
    }
    int channel = OSTRANE_COMMS_INVALID_HANDLE;
    if (const unsigned rc = OstraneCommsUSBOpenByIndex(&channel, o.board); rc != CommsOk)
        return fail(fmt::format("open board {}", o.board).c_str(), rc);

    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    int status = 0;
    if (const unsigned sent = OstraneCommsUSBTransmit(channel, o.text.data(), o.text.size());
        sent != CommsOk) {
        status = fail("transmit", sent);
    } else {
        char reply[OSTRANE_COMMS_MAX_TRANSFER] = {};
        auto count = static_cast<std::uint8_t>(o.text.size());
        const unsigned rc =
            OstraneCommsUSBReceive(channel, reply, sizeof reply, &count, o.timeout_ms);
        const auto elapsed = std::chrono::duration<double, std::milli>(clock::now() - start);
        if (rc != CommsOk && !(rc == CommsNoData && count != 0)) {
            status = fail("receive", rc);
        } else {
            fmt::print("reply from board {}: \"{}\" ({} bytes, round trip {:.3f} ms)\n", o.board,
                       std::string(reply, count), count, elapsed.count());
        }
    }
    if (const unsigned rc = OstraneCommsUSBClose(channel); rc != CommsOk && status == 0)
        status = fail("close", rc);
    return status;
}

} // namespace

void add_send_command(CLI::App& app)
{
    auto opts = std::make_shared<send_options>();
    auto* cmd = app.add_subcommand("send", "Send a text to a board's camera and print the reply");
    cmd->add_option("--board", opts->board, "Board index (see `list`)")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    cmd->add_option("--timeout", opts->timeout_ms, "Milliseconds to wait for the reply")
        ->check(CLI::Range(0, 600000))
        ->capture_default_str();
    cmd->add_option("text", opts->text, "Text to send")->required();
    cmd->callback([opts] {
        const int rc = run_send(*opts);
        if (rc != 0)
            throw CLI::RuntimeError(rc);
    });
}
