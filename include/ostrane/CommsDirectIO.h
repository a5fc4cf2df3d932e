// Channel to the UART bridge of an Ostrane board: the bridge's byte-wide registers sit behind the
// FT602's I2C master and are reached with one vendor control request per I2C transaction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "ostrane/OstraneExport.h"

namespace Tessory::Ostrane {

// Register map of the UART bridge.
inline constexpr std::uint8_t i2c_slave_address = 0x0D;
inline constexpr std::uint8_t i2c_data_reg_address = 0x10;
inline constexpr std::uint8_t i2c_status_reg_address = 0x11;
inline constexpr std::uint8_t i2c_rx_fifo_level_reg_address = 0x12;
inline constexpr std::uint8_t i2c_tx_fifo_level_reg_address = 0x13;
inline constexpr std::uint8_t i2c_rx_msg_level_reg_address = 0x14;
inline constexpr std::uint8_t i2c_control_reg_address = 0x15;
inline constexpr std::uint8_t i2c_interrupt_enable_reg_address = 0x16;
inline constexpr std::uint8_t i2c_interrupt_period_ms_reg_address = 0x17;
inline constexpr std::uint8_t i2c_interrupt_status_reg_address = 0x18;

// Control register bits.
inline constexpr std::uint8_t ResetMsgStateMachine = 0x01;
inline constexpr std::uint8_t ResetTxUart = 0x02;
inline constexpr std::uint8_t ResetRxUart = 0x04;
inline constexpr std::uint8_t ResetCmdInqFifo = 0x08;
inline constexpr std::uint8_t EnableInterrupts = 0x10;

// Results of the channel's operations.
enum DirectIOResult : int {
    DirectIOOk = 0,
    DirectIOOpenFailed = 2,   // the device could not be opened or registered for notifications
    DirectIOAccessFailed = 3, // a register access failed, or closing the device failed
};

class OSTRANE_API IComms {
  public:
    virtual ~IComms();
    virtual int Open() = 0;
    virtual int Close() = 0;
    virtual int Rx(void* buffer, std::size_t length) = 0;
    virtual int Tx(const void* data, std::size_t length) = 0;
};

class OSTRANE_API CCommsDirectIO : public IComms {
  public:
    // Written unchanged into the interrupt period register (milliseconds).
    enum InterruptPeriod : std::uint8_t {
        InterruptPeriod1ms = 1,
        InterruptPeriod2ms = 2,
        InterruptPeriod3ms = 3,
        InterruptPeriod5ms = 5,
        InterruptPeriod10ms = 10,
    };

    CCommsDirectIO();
    ~CCommsDirectIO() override;
    CCommsDirectIO(const CCommsDirectIO&) = delete;
    CCommsDirectIO& operator=(const CCommsDirectIO&) = delete;

    int Open(const char* serialNumber); // FT60x device with this serial number
    int Open(int index);                // FT60x device at this index of the device list
    int Open() override;                // does nothing
    int Close() override;
    int Rx(void* buffer, std::size_t length) override;     // pops bytes of the receive FIFO
    int Tx(const void* data, std::size_t length) override; // pushes bytes into the transmit FIFO

    // Called (on the library's callback thread, never the USB event thread) for each
    // notification of the board.
    void SetCallback(std::function<void()> callback);

    void SetRxInterruptEnable(bool enable);
    void SetInterruptPeriod(InterruptPeriod period);
    int SetInterruptMask(std::uint8_t mask);
    int GetStatus(std::uint8_t& value);
    int GetInterruptStatus(std::uint8_t& value);
    int GetRxFifoLevel(std::uint8_t& value);
    int GetTxFifoLevel(std::uint8_t& value);
    int GetRxMsgLevel(std::uint8_t& value);
    int ResetRxUART();
    int ResetTxUART();
    int ResetUART();
    bool IsError();
    void* GetHandle() const;

  private:
    class CImpl;
    int OpenCommon();
    int Reset(std::uint8_t bits);
    static void NotificationCallback(void* context, int type, void* info);

    std::unique_ptr<CImpl> m_impl;
    std::function<void()> m_callback;
};

// True for the product descriptions of the Ostrane boards, for picking them out of the FT60x
// device information list.
OSTRANE_API bool IsOstraneBoardDescription(const char* description);

} // namespace Tessory::Ostrane
