// A recorded board played back: answers the host as the board in a capture answered, in an order
// that does not depend on how the host's threads interleave.
//
// - A control request is answered from the recorded requests with the same setup packet and OUT
//   data, in their recorded order from where the host is in the recording: the place of the last
//   vendor command it sent, which may lie back as well as forth when its threads took other turns
//   than recorded (so that a read gets what the board answered after the same command). Once they
//   are used up, the last answer again (a poll that runs longer than recorded). Recorded ones never
//   asked are dropped (a poll that ended sooner): the host's place has gone past them.
// - Bulk and interrupt IN completions are served per endpoint in recorded order, each only after
//   every vendor request and bulk OUT transfer recorded before it has come: a reply never comes
//   before the command it answers. Bulk OUT data is checked per endpoint in recorded order.
// - Timing: as fast as that order allows, except that interrupt IN (notifications, the board's
//   own events) keeps its recorded delay after the last request before it; with `realtime`, every
//   answer keeps every recorded gap.
// - Standard requests the capture lacks are answered from the descriptors; class requests it lacks
//   stall (they are the host's drivers' own). A vendor request the capture cannot answer, or bulk
//   OUT data that differs, ends the replay: that request and every later one stall, and
//   divergence() tells what happened.
// - An unplug in the capture (a transfer ended by the device's going: -ESHUTDOWN, -ENODEV) is
//   replayed once every request and completion recorded before it has come and the host has the
//   transfers it ended in flight: the board asks its bus, through the unplug callback, to take it
//   away.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "model/usb_device.h"
#include "replay/recording.h"

namespace vboard::replay {

class ReplayBoard final : public UsbDevice {
public:
    struct Options {
        bool realtime = false;  // keep the recorded gaps between a request and its answer
    };
    ReplayBoard(Recording recording, Options options);
    ~ReplayBoard() override;
    ReplayBoard(const ReplayBoard&) = delete;
    ReplayBoard& operator=(const ReplayBoard&) = delete;

    const DeviceIdentity& identity() const;
    std::string name() const;  // of the recorded board, "bus 1 device 5"

    std::vector<uint8_t> descriptors() const override;
    int interface_count() const override;
    int endpoint_type(uint8_t ep) const override;
    ControlResult control(const SetupPacket& setup, const uint8_t* out_data, uint8_t* in_buf) override;
    ClaimResult claim_interface(int number) override;
    bool release_interface(int number) override;
    TransferResult bulk_out(uint8_t ep, const uint8_t* data, size_t length) override;
    TransferResult bulk_in(uint8_t ep, uint8_t* buffer, size_t length) override;
    TransferResult interrupt_in(uint8_t ep, uint8_t* buffer, size_t length) override;
    void usb_reset() override;
    void transfer_cancelled(uint8_t ep) override;
    void set_data_ready_callback(std::function<void()> callback) override;

    // The first request the capture could not answer: what came, the capture's nearest recorded
    // request with its frame number, the first byte that differs. Empty while the replay holds.
    std::string divergence() const;
    // Called once with the report when the replay diverges, from the thread of the request that
    // did it, with no lock held.
    void set_divergence_callback(std::function<void(const std::string&)> callback);
    // Called once, from the replay's own thread with no lock held, when the replay reaches the
    // recorded unplug. Setting another (or none) waits until no call of the previous one runs.
    void set_unplug_callback(std::function<void()> callback);
    // Whether the capture shows the board unplugged (an unplug that ended nothing in flight
    // leaves no trace in a usbmon capture).
    bool unplugs() const;
    // The recorded vendor requests and bulk OUT transfers that never came, one line each (not a
    // poll's surplus; not the answers the host stopped asking for).
    std::vector<std::string> unanswered() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vboard::replay
