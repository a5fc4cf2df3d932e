// The USB-level face of a device as the transports serve it: control requests with their data
// stage, bulk and interrupt transfers, claims, reset. The board model is one such device; a
// recorded board played back from a capture is another.
//
// Thread safety: every method may be called from any thread. The data-ready callback is never
// invoked from inside one of these methods (the transport re-checks its pending transfers after
// each of them itself) and never with the device's lock held.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "model/board_config.h"

namespace vboard {

struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;

    bool is_in() const { return (bmRequestType & 0x80) != 0; }
    static SetupPacket parse(const uint8_t* bytes);  // the 8 bytes of a setup stage
};

enum class UsbStatus {
    ok,       // completed; `length` bytes moved
    stall,    // endpoint answered STALL
    pending,  // nothing to answer yet (NAK): keep the transfer queued and ask again later
};

struct ControlResult {
    UsbStatus status = UsbStatus::ok;
    size_t length = 0;                        // data stage bytes moved
    std::chrono::milliseconds delay{0};       // answer only after this long
};

struct TransferResult {
    UsbStatus status = UsbStatus::ok;
    size_t length = 0;
};

enum class ClaimResult { ok, busy, no_such_interface };

// What a bus shows of a device besides its descriptors (sysfs attributes, trace lines).
struct DeviceIdentity {
    Speed speed = Speed::super;
    std::string manufacturer;
    std::string product;
    std::string serial;
    std::string label;  // for trace lines: "sdi", "replay", ...
};

class UsbDevice {
public:
    virtual ~UsbDevice() = default;

    // Device descriptor (18 bytes) followed by the whole configuration, as sysfs shows them.
    virtual std::vector<uint8_t> descriptors() const = 0;
    virtual int interface_count() const = 0;
    // Endpoint transfer type (1 interrupt, 2 control, 3 bulk as usbfs numbers them) or -1 if absent.
    virtual int endpoint_type(uint8_t ep) const = 0;
    // `out_data`: the data stage of an OUT request (wLength bytes). `in_buf`: room for wLength bytes.
    virtual ControlResult control(const SetupPacket& setup, const uint8_t* out_data, uint8_t* in_buf) = 0;
    virtual ClaimResult claim_interface(int number) = 0;
    virtual bool release_interface(int number) = 0;  // false: was not claimed
    virtual TransferResult bulk_out(uint8_t ep, const uint8_t* data, size_t length) = 0;
    virtual TransferResult bulk_in(uint8_t ep, uint8_t* buffer, size_t length) = 0;
    virtual TransferResult interrupt_in(uint8_t ep, uint8_t* buffer, size_t length) = 0;
    virtual void usb_reset() = 0;                  // port reset
    // The host cancelled a transfer on `ep` (not control) before the device answered it.
    virtual void transfer_cancelled(uint8_t /*ep*/) {}
    virtual void set_data_ready_callback(std::function<void()> callback) = 0;
};

}  // namespace vboard
