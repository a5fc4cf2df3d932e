// One emulated usbfs device node: answers the usbfs ioctls that libusb sends for a device, keeps
// its URBs, and signals "URB ready to reap" through a FIFO device node so that an idle open
// device costs no CPU (a regular file would always poll writable).
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "model/board.h"
#include "model/timer_queue.h"

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;
typedef struct _UMockdevTestbed UMockdevTestbed;

namespace vboard {

class PcapWriter;

// What sits behind a device node: a board, or a hub.
class UsbTarget {
public:
    virtual ~UsbTarget() = default;
    virtual ControlResult control(const SetupPacket& setup, const uint8_t* out, uint8_t* in) = 0;
    virtual ClaimResult claim(int number) = 0;
    virtual bool release(int number) = 0;
    virtual int endpoint_type(uint8_t ep) const = 0;  // usbfs URB type, -1 when absent
    virtual TransferResult bulk_out(uint8_t ep, const uint8_t* data, size_t length) = 0;
    virtual TransferResult bulk_in(uint8_t ep, uint8_t* buffer, size_t length) = 0;
    virtual TransferResult interrupt_in(uint8_t ep, uint8_t* buffer, size_t length) = 0;
    virtual void reset() = 0;
    virtual void cancelled(uint8_t /*ep*/) {}
    virtual int usbfs_speed() const = 0;  // USB_SPEED_* for GET_SPEED
};

class UsbfsNode {
public:
    // `fifo_path`: where the device node lives in the testbed's root; `devnode`: the /dev path
    // the client opens. Creates the FIFO and attaches the ioctl handler.
    UsbfsNode(UMockdevTestbed* testbed, std::string fifo_path, std::string devnode, std::string name,
              UsbTarget& target, TimerQueue& timer, FILE* trace);
    ~UsbfsNode();
    UsbfsNode(const UsbfsNode&) = delete;
    UsbfsNode& operator=(const UsbfsNode&) = delete;

    // The target has new data or a changed state: complete what can be completed.
    void pump();
    // The device is gone: in-flight URBs complete with -ESHUTDOWN, later ioctls fail with ENODEV.
    void disconnect();
    // Drops every URB and its references to client memory (before the testbed goes).
    void release_all();

    bool handle_ioctl(UMockdevIoctlClient* client);

    // Records every submission, completion and submission error from now on (null: stop).
    void set_capture(PcapWriter* capture);

private:
    // Each client connection is one open file of the node: like usbfs, URBs and claims belong to it.
    struct Urb {
        UMockdevIoctlClient* owner = nullptr;
        uint64_t key = 0;                  // client address of the URB, named by DISCARDURB
        UMockdevIoctlData* urb = nullptr;  // the usbdevfs_urb as resolved from the client
        UMockdevIoctlData* buffer = nullptr;
        uint8_t type = 0;
        uint8_t ep = 0;
        size_t length = 0;
        size_t done = 0;
        int status = 0;
        size_t charged = 0;                // usbfs memory held until the URB is reaped or dropped
        TimerQueue::Clock::time_point due{};
    };
    using UrbPtr = std::unique_ptr<Urb>;

    void submit(UMockdevIoctlClient* client);
    void reap(UMockdevIoctlClient* client);
    void discard(UMockdevIoctlClient* client);
    void finish(UrbPtr urb, int status);  // to the ready queue
    void pump_locked();
    void release_due_locked();
    void update_fifo_locked();
    void free_urb(Urb& urb);
    void forget_closed_clients_locked();
    void forget_client_locked(UMockdevIoctlClient* client);  // its URBs and claims go with it
    UrbPtr new_urb();
    void recycle(UrbPtr urb);
    void capture_locked(char kind, const Urb& urb, int status);
    void trace_line(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    std::mutex mutex_;
    UMockdevTestbed* testbed_;
    std::string fifo_path_;
    std::string devnode_;
    std::string name_;
    UsbTarget& target_;
    TimerQueue& timer_;
    FILE* trace_;
    PcapWriter* capture_ = nullptr;
    uint8_t capture_bus_ = 0, capture_device_ = 0;  // from the device node's name
    UMockdevIoctlBase* handler_ = nullptr;
    int fifo_fd_ = -1;
    bool fifo_full_ = false;
    bool disconnected_ = false;
    std::map<uint8_t, std::deque<UrbPtr>> pending_;  // per endpoint, in submission order
    std::deque<UrbPtr> delayed_;                     // control answers held back
    std::deque<UrbPtr> ready_;
    std::map<int, UMockdevIoctlClient*> claims_;     // interface -> the client holding it
    std::set<UMockdevIoctlClient*> clients_;         // connections seen, each with our reference
    std::vector<UrbPtr> spare_;                      // reaped URB records, reused: no allocation per URB
    std::vector<uint8_t> scratch_;
};

}  // namespace vboard
