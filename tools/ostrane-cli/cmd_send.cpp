// `ostrane-cli send`: opens a board's command channel, sends a text to the camera, waits for
// the reply and prints it with the round-trip time.
#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "commands.h"
#include "common.h"
#include "ostrane/OstraneCommsUSB.h"

namespace {

struct send_options {
    cli::board_selector which;
    bool as_json = false;
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

[[noreturn]] void fail(const std::string& what, unsigned code, const char* advice)
{
    cli::fail(cli::exit_device, fmt::format("{}: {} (code {}): {}", what, describe(code), code, advice));
}

int run_send(const send_options& o)
{
    if (o.text.empty() || o.text.size() > OSTRANE_COMMS_MAX_TRANSFER - 1)
        cli::fail(cli::exit_usage,
                  fmt::format("text must be 1 to {} bytes", OSTRANE_COMMS_MAX_TRANSFER - 1));
    // The channel opens by index: find the serial's index first.
    int index = std::max(o.which.index, 0);
    const auto boards = cli::list_boards();
    const std::string what = "open " + o.which.describe();
    if (!o.which.serial.empty()) {
        index = -1;
        for (const auto& b : boards)
            if (b.serial() == o.which.serial)
                index = static_cast<int>(b.index);
    }
    if (index < 0 || static_cast<std::size_t>(index) >= boards.size())
        cli::fail_not_found(o.which, what);

    int channel = OSTRANE_COMMS_INVALID_HANDLE;
    if (const unsigned rc = OstraneCommsUSBOpenByIndex(&channel, index); rc != CommsOk) {
        if (rc == CommsOpenFailed)
            cli::fail_not_found(o.which, what);
        fail(what, rc, "close other programs using the board and try again");
    }

    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    std::string failure;
    unsigned failed_code = CommsOk;
    std::string reply;
    double elapsed_ms = 0;
    if (const unsigned sent = OstraneCommsUSBTransmit(channel, o.text.data(), o.text.size());
        sent != CommsOk) {
        failure = "transmit";
        failed_code = sent;
    } else {
        char buffer[OSTRANE_COMMS_MAX_TRANSFER] = {};
        auto count = static_cast<std::uint8_t>(o.text.size());
        const unsigned rc = OstraneCommsUSBReceive(channel, buffer, sizeof buffer, &count, o.timeout_ms);
        elapsed_ms = std::chrono::duration<double, std::milli>(clock::now() - start).count();
        if (rc != CommsOk && !(rc == CommsNoData && count != 0)) {
            failure = "receive";
            failed_code = rc;
        } else {
            reply.assign(buffer, count);
        }
    }
    const unsigned closed = OstraneCommsUSBClose(channel);
    if (!failure.empty())
        fail(failure, failed_code,
             failed_code == CommsNoData ? "check the camera, or give it longer with --timeout"
                                        : "check the cable and try again");
    if (closed != CommsOk)
        fail("close", closed, "check the cable and try again");
    if (o.as_json)
        cli::print_json({{"board", index}, {"reply", reply}, {"bytes", reply.size()},
                         {"round_trip_ms", elapsed_ms}});
    else
        fmt::print("reply from board {}: \"{}\" ({} bytes, round trip {:.3f} ms)\n", index, reply,
                   reply.size(), elapsed_ms);
    return 0;
}

} // namespace

void add_send_command(CLI::App& app)
{
    auto o = std::make_shared<send_options>();
    auto* cmd = app.add_subcommand("send", "Send a text to a board's camera and print the reply");
    cmd->add_option("--timeout", o->timeout_ms, "Milliseconds to wait for the reply")
        ->check(CLI::Range(0, 600000))
        ->capture_default_str();
    cmd->add_option("text", o->text, "Text to send")->required();
    o->which.add_to(cmd);
    cmd->add_flag("--json", o->as_json, "Print JSON");
    cli::on_run(cmd, [o] { return run_send(*o); });
}
