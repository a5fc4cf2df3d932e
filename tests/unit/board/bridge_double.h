// Stand-in for the four FT60x entry points the board channel calls (FT_Create,
// FT_SetNotificationCallback, FT_ControlTransfer, FT_Close): a register model of the board's UART
// bridge that answers I2C requests, records every control transfer, and fails on request.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ostrane/ft60x.h"

namespace bridge_double {

// One control transfer as the channel sent it.
struct Transfer {
    std::uint64_t setup = 0;
    std::vector<std::uint8_t> data; // data stage: bytes written, or bytes answered to a read
    FT_RESULT status = STATUS_SUCCESS;

    std::array<std::uint8_t, 8> setup_bytes() const;
    std::uint8_t request_type() const { return setup & 0xFF; }
    std::uint8_t request() const { return (setup >> 8) & 0xFF; }
    std::uint16_t value() const { return (setup >> 16) & 0xFFFF; }
    std::uint16_t index() const { return (setup >> 32) & 0xFFFF; }
    std::uint16_t length() const { return (setup >> 48) & 0xFFFF; }
    bool is_read() const { return (request_type() & 0x80) != 0; }
    std::uint8_t reg() const { return value() & 0x7F; }
};

struct CreateCall {
    std::uintptr_t identifier = 0; // the index, or the text's address
    std::string text;              // the text for a by-serial or by-description open
    std::uint32_t flags = 0;
};

class Bridge {
  public:
    static Bridge& instance();

    // Forgets everything: devices, handles, records, failures, FIFO contents, registers.
    void reset();

    // --- configuration
    void set_device_count(int count);
    void fail_set_notification(FT_RESULT status);
    void fail_close(FT_RESULT status);
    // Writes to (reads of) register `reg` fail with status 4; `times` < 0 means always.
    void fail_write(std::uint8_t reg, int times = -1);
    void fail_read(std::uint8_t reg, int times = -1);
    void fail_all_writes(bool fail);
    // Bytes the board has received from the camera, waiting in the receive FIFO.
    void push_rx(const std::vector<std::uint8_t>& bytes);
    // Bytes pushed into the receive FIFO right after the next read of the level register.
    void push_rx_after_level_read(const std::vector<std::uint8_t>& bytes);

    // --- board events
    // Calls every registered notification callback on the calling thread.
    void notify();
    // Puts `bytes` into the receive FIFO, raises the receive interrupt status, and notifies.
    void deliver(const std::vector<std::uint8_t>& bytes);

    // --- observation
    std::vector<Transfer> transfers() const;
    void clear_transfers();
    std::vector<CreateCall> creates() const;
    int close_calls() const;
    int open_handles() const;
    std::size_t rx_fifo_size() const;
    std::vector<std::uint8_t> tx_bytes() const;
    // The callback and context of the latest successful registration, kept after close.
    std::pair<FT_NOTIFICATION_CALLBACK, void*> last_registration() const;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> register_writes() const; // (reg, first byte)

    // --- the four entry points
    FT_RESULT create(void* identifier, std::uint32_t flags, void** handle);
    FT_RESULT set_notification(void* handle, FT_NOTIFICATION_CALLBACK callback, void* context);
    FT_RESULT control(void* handle, std::uint64_t setup, std::uint8_t* buffer, std::uint32_t length,
                      std::uint32_t* transferred);
    FT_RESULT close(void* handle);

  private:
    struct Device {
        int index = 0;
        FT_NOTIFICATION_CALLBACK callback = nullptr;
        void* context = nullptr;
    };

    bool take_failure(std::map<std::uint8_t, int>& failures, std::uint8_t reg);

    mutable std::mutex mutex_;
    int device_count_ = 4;
    FT_RESULT notification_status_ = STATUS_SUCCESS;
    FT_RESULT close_status_ = STATUS_SUCCESS;
    std::map<std::uint8_t, int> write_failures_;
    std::map<std::uint8_t, int> read_failures_;
    bool fail_all_writes_ = false;
    std::array<std::uint8_t, 128> registers_{};
    std::deque<std::uint8_t> rx_fifo_;
    std::vector<std::uint8_t> after_level_read_;
    std::vector<std::uint8_t> tx_bytes_;
    std::map<void*, Device*> handles_;
    std::vector<Transfer> transfers_;
    std::vector<CreateCall> creates_;
    int close_calls_ = 0;
    std::pair<FT_NOTIFICATION_CALLBACK, void*> last_registration_{nullptr, nullptr};
};

} // namespace bridge_double
