// The things behind the emulated device nodes: a virtual board, and the two hubs it hangs from.
#pragma once

#include <array>
#include <atomic>
#include <string>
#include <vector>

#include "model/board.h"
#include "umockdev/usbfs_node.h"

namespace vboard {

// A board (the model, or any other device with its USB-level face) behind a device node.
class BoardTarget final : public UsbTarget {
public:
    BoardTarget(UsbDevice& device, Speed speed) : device_(device), speed_(speed) {}
    ControlResult control(const SetupPacket& s, const uint8_t* out, uint8_t* in) override {
        return device_.control(s, out, in);
    }
    ClaimResult claim(int n) override { return device_.claim_interface(n); }
    bool release(int n) override { return device_.release_interface(n); }
    int endpoint_type(uint8_t ep) const override { return device_.endpoint_type(ep); }
    TransferResult bulk_out(uint8_t ep, const uint8_t* d, size_t n) override { return device_.bulk_out(ep, d, n); }
    TransferResult bulk_in(uint8_t ep, uint8_t* d, size_t n) override { return device_.bulk_in(ep, d, n); }
    TransferResult interrupt_in(uint8_t ep, uint8_t* d, size_t n) override { return device_.interrupt_in(ep, d, n); }
    void reset() override { device_.usb_reset(); }
    void cancelled(uint8_t ep) override { device_.transfer_cancelled(ep); }
    int usbfs_speed() const override { return speed_ == Speed::super ? 5 : 3; }

private:
    UsbDevice& device_;
    Speed speed_;
};

// A SuperSpeed hub that answers what lsusb asks a hub: descriptors, hub descriptor, port status.
class HubTarget final : public UsbTarget {
public:
    HubTarget(bool root, int ports);
    std::vector<uint8_t> descriptors() const;  // device + configuration, for sysfs
    void set_connected(int port, bool connected);

    ControlResult control(const SetupPacket& s, const uint8_t* out, uint8_t* in) override;
    ClaimResult claim(int n) override { return n == 0 ? ClaimResult::ok : ClaimResult::no_such_interface; }
    bool release(int n) override { return n == 0; }
    int endpoint_type(uint8_t ep) const override { return ep == 0 || ep == 0x80 ? 2 : ep == 0x81 ? 1 : -1; }
    TransferResult bulk_out(uint8_t, const uint8_t*, size_t) override { return {UsbStatus::stall, 0}; }
    TransferResult bulk_in(uint8_t, uint8_t*, size_t) override { return {UsbStatus::stall, 0}; }
    TransferResult interrupt_in(uint8_t, uint8_t*, size_t) override { return {UsbStatus::pending, 0}; }
    void reset() override {}
    int usbfs_speed() const override { return 5; }

private:
    bool root_;
    int ports_;
    std::vector<uint8_t> device_, config_, bos_;
    std::array<std::atomic<bool>, 16> connected_{};
};

}  // namespace vboard
