// The virtual Ostrane board: an FT602 bridge chip, the UART bridge behind its I2C master and the
// camera behind that, modelled at the USB level. A transport feeds it control requests, bulk and
// interrupt transfers and gets USB-level answers back; tests inject faults and look inside.
//
// Thread safety: every public method may be called from any thread. The transport calls the
// USB-level methods from its own thread while a test calls faults and introspection from another.
// The data-ready callback is never invoked from inside a USB-level method (the transport re-checks
// its pending transfers after each of those itself); it is invoked from the board's timer thread
// and from fault methods, never with the board's lock held.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <span>
#include <string>
#include <vector>

#include "model/board_config.h"
#include "model/hostile.h"
#include "model/usb_device.h"
#include "model/uvc.h"

namespace vboard {

using Clock = std::chrono::steady_clock;

// One control request as the board saw it.
struct RequestRecord {
    Clock::time_point when;
    SetupPacket setup;
    std::vector<uint8_t> data;                // OUT: data stage received; IN: data returned
    bool stalled = false;
    std::chrono::milliseconds delay{0};
};
std::string describe(const RequestRecord& r);  // one readable line, for traces and test messages

// Camera behind the UART bridge.
enum class CameraKind {
    echo,    // each chunk written comes back as one message after `delay`
    silent,  // swallows everything
    slow,    // echo after `delay` (default 200 ms)
    chatty,  // echo, plus an unsolicited `chatter` message every `chatter_interval`
};
struct CameraBehaviour {
    CameraKind kind = CameraKind::echo;
    std::chrono::microseconds delay{1000};
    std::chrono::milliseconds chatter_interval{10};
    std::vector<uint8_t> chatter{'C', 'H', 'A', 'T'};

    static CameraBehaviour echo() { return {}; }
    static CameraBehaviour silent() { return {CameraKind::silent}; }
    static CameraBehaviour slow(std::chrono::microseconds d = std::chrono::milliseconds(200)) {
        return {CameraKind::slow, d};
    }
    static CameraBehaviour chatty(std::chrono::milliseconds every = std::chrono::milliseconds(10)) {
        CameraBehaviour b{CameraKind::chatty};
        b.chatter_interval = every;
        return b;
    }
};
// A custom camera: given the bytes of one data-register write, the messages to answer with
// (each lands in the receive FIFO after the behaviour's delay, in order).
using CameraResponder = std::function<std::vector<std::vector<uint8_t>>(std::span<const uint8_t>)>;

// UART bridge registers and FIFOs (I2C slave 0x0D, registers 0x10 to 0x18).
struct BridgeState {
    uint8_t status = 0;              // 0x11
    uint8_t rx_level = 0;            // 0x12
    uint8_t tx_level = 0;            // 0x13
    uint8_t rx_msg_level = 0;        // 0x14
    uint8_t control = 0;             // 0x15 (only EnableInterrupts is kept)
    uint8_t interrupt_enable = 0;    // 0x16
    uint8_t interrupt_period_ms = 0; // 0x17
    uint8_t interrupt_status = 0;    // 0x18 (latched sources)
    std::vector<uint8_t> rx_fifo;    // bytes waiting to be read
    std::vector<uint8_t> to_camera;  // every byte ever written to the camera
    std::vector<uint8_t> control_writes;  // every value written to 0x15, in order
};

// Interrupt status bits latched by the bridge.
namespace irq {
constexpr uint8_t tx_empty = 0x01;    // transmit FIFO drained
constexpr uint8_t rx_data = 0x02;     // bytes arrived in the receive FIFO
constexpr uint8_t rx_message = 0x04;  // a complete camera message arrived
constexpr uint8_t rx_error = 0x08;    // receive FIFO overrun
}  // namespace irq

struct GpioPin {
    bool output = false;             // direction: true = output
    bool level = false;              // level written (drives the pin when output)
    uint8_t pull = 0;                // 0 pull-down, 1 high impedance, 2 and 3 pull-up
    std::optional<bool> driven;      // level driven from outside (tests), for inputs
};
struct GpioState {
    std::array<GpioPin, 3> pins;
    uint8_t levels = 0;              // what a GPIO read returns (bit n = pin n)
    std::vector<uint16_t> words;     // every GPIO word written, in order (level/direction/pull)
};

struct Notification {
    std::vector<uint8_t> bytes;
    Clock::time_point queued;        // when the chip raised it (or a test injected it)
    Clock::time_point delivered;     // when a pending interrupt transfer took it
    bool generated = false;          // true: raised by the bridge; false: injected by a test
};

// What the host has done to a board, for scripts and tests that must not act before it.
enum class HostActivity {
    vendor_request,  // any vendor control request (a program has opened the board)
    interrupt_in,    // the notification endpoint was asked for data
    fifo_transfer,   // a transfer on a FIFO pipe in FIFO mode (a program streams)
};

struct FifoState {
    bool fifo_mode = false;
    FifoSource source = FifoSource::loopback;
    size_t loopback_level = 0;       // bytes written to 0x05 not yet read from 0x85
    size_t loopback_capacity = 0;
    uint64_t bytes_out = 0;          // accepted on 0x05 in FIFO mode
    uint64_t bytes_in = 0;           // delivered on 0x85
};

class Board final : public UsbDevice {
public:
    static constexpr uint8_t ep_notify = 0x86;   // interrupt IN
    static constexpr uint8_t ep_fifo_in = 0x85;  // bulk IN
    static constexpr uint8_t ep_fifo_out = 0x05; // bulk OUT
    static constexpr size_t flash_size = 64 * 1024;
    static constexpr size_t loopback_capacity = 4 * 1024 * 1024;
    static constexpr uint32_t debugger_base = 0x10800;

    explicit Board(BoardConfig config);
    ~Board() override;
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    const BoardConfig& config() const;

    // ---- USB-level events (transport side) ----
    // Device descriptor (18 bytes) followed by the whole configuration, as sysfs shows them.
    std::vector<uint8_t> descriptors() const override;
    uint8_t vendor_interface_number() const;
    int interface_count() const override;
    // Endpoint transfer type (1 interrupt, 2 control, 3 bulk as usbfs numbers them) or -1 if absent.
    int endpoint_type(uint8_t ep) const override;
    // `out_data`: the data stage of an OUT request (wLength bytes). `in_buf`: room for wLength bytes.
    ControlResult control(const SetupPacket& setup, const uint8_t* out_data, uint8_t* in_buf) override;
    ClaimResult claim_interface(int number) override;
    bool release_interface(int number) override;         // false: was not claimed
    TransferResult bulk_out(uint8_t ep, const uint8_t* data, size_t length) override;
    TransferResult bulk_in(uint8_t ep, uint8_t* buffer, size_t length) override;
    TransferResult interrupt_in(uint8_t ep, uint8_t* buffer, size_t length) override;
    void usb_reset() override;                            // port reset: claims dropped, loopback emptied
    void set_data_ready_callback(std::function<void()> callback) override;

    // ---- Faults ----
    // The next `count` vendor control requests (only those with `bRequest`, if given) stall.
    void stall_control(int count, std::optional<uint8_t> bRequest = std::nullopt);
    // The next `count` I2C requests are not acknowledged by the slave: they stall.
    void nak_i2c(int count);
    // The next `count` vendor control requests are answered only after `delay`.
    void delay_control(int count, std::chrono::milliseconds delay = std::chrono::milliseconds(1500));
    // Queue a notification on 0x86 as given (default: the valid EF BE AD DE).
    void send_notification(std::vector<uint8_t> bytes = {0xEF, 0xBE, 0xAD, 0xDE});
    // The next `count` bulk transfers (only on `ep`, if given) stall.
    void stall_bulk(int count, std::optional<uint8_t> ep = std::nullopt);
    // Data faults of the FIFO loopback, at an offset in the order the host wrote the bytes: the
    // byte there goes out on 0x85 with its bits inverted; `bytes` from there never go out (a lost
    // packet). Offsets count from the plug; one of each kind is pending at a time.
    void corrupt_fifo_byte(uint64_t offset);
    void drop_fifo_bytes(uint64_t offset, size_t bytes);
    void set_refuse_claim(bool refuse);
    void set_fail_string_descriptors(bool fail);
    void set_camera(CameraBehaviour behaviour);
    void set_camera_responder(CameraResponder responder);  // empty: back to the behaviour
    void camera_send(std::vector<uint8_t> bytes);           // camera talks unprompted, now
    void drive_gpio_input(int pin, std::optional<bool> level);
    void hold_flash_semaphore(int reads);   // the next `reads` semaphore reads find it held
    void set_debugger_busy(int reads);      // the next `reads` status reads show busy (-1: forever)
    void set_flash(std::vector<uint8_t> contents);          // resized to flash_size with 0xFF
    void set_fifo_source(FifoSource source);                // loopback data still queued is dropped
    // The next `count` IN control requests (only those with `bRequest`, if given) answer at most
    // `length` bytes of their data stage, however much was asked for and however much there is.
    void short_control_replies(int count, size_t length, std::optional<uint8_t> bRequest = std::nullopt);
    // Reads of bridge register `reg` (0x10 to 0x18) answer `value` instead of the truth, without
    // side effects (a lying data register pops nothing); nullopt tells the truth again.
    void lie_register(uint8_t reg, std::optional<uint8_t> value);
    // The next `count` transfers on `ep` stall: 0x00 every control request (standard ones too),
    // otherwise that bulk or interrupt endpoint (a video endpoint too: the video stall).
    void stall_endpoint(uint8_t ep, int count);
    // String descriptor `index` (0: the language list) answers exactly `raw`, of any length and
    // contents, cut only to the request's wLength; an empty vector stalls; nullopt: the real one.
    void set_string_descriptor(uint8_t index, std::optional<std::vector<uint8_t>> raw);
    // The chip configuration record becomes `record`, of any size and with any length field;
    // reads answer up to wLength of it, writes are taken only when they match its size.
    void set_chip_configuration(std::vector<uint8_t> record);
    // Hostile mode: from now on `source` decides every USB-level answer (see model/hostile.h);
    // null ends it.
    void set_reply_source(std::shared_ptr<ReplySource> source);

    // ---- Introspection ----
    // Blocks until the host has done `what` (at any time since the plug), `stop` is requested or
    // `deadline` passes; true when it has.
    bool wait_for_host(HostActivity what, Clock::time_point deadline, std::stop_token stop = {});
    std::vector<RequestRecord> request_log() const;
    void clear_request_log();
    BridgeState bridge() const;
    GpioState gpio() const;
    std::vector<uint8_t> flash() const;
    uint16_t flash_crc() const;                  // CRC-16/CCITT-FALSE of the whole flash
    std::vector<uint8_t> program_memory() const; // target of the 0xF4 copy (64 KiB)
    std::vector<uint8_t> memory(uint32_t address, size_t length) const;  // data memory (RAM)
    std::vector<uint8_t> chip_configuration() const;
    std::vector<Notification> notifications_sent() const;
    size_t notifications_queued() const;         // raised or injected, not yet taken by the host
    uint16_t chip_mode() const;                  // last value of the chip-mode request
    bool dfu_requested() const;
    FifoState fifo() const;
    std::set<int> claimed_interfaces() const;
    // When a real host keeps the claims (no request reaches the device), where to ask for them.
    void set_claims_held_by_host(std::function<std::set<int>()> query);
    // When a real host keeps the claims, how it refuses them: set_refuse_claim() hands the switch
    // to `apply` (called without the board locked) instead of answering claims itself.
    void set_claim_refusal_by_host(std::function<void(bool)> apply);
    std::vector<std::string> flash_commands() const;  // e.g. "0x20 flash=0x1000 len=0"
    // Video stream `stream` (0 or 1): streaming or not, what was committed, frames sent.
    uvc::StreamState video_stream(int stream) const;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace vboard
