#include "ostrane/CommsDirectIO.h"

#include <cstdint>
#include <cstring>
#include <mutex>

#include "board/i2c_access.h"
#include "board/parse/i2c_request.h"
#include "ostrane/DirectIOStatus.h"
#include "ostrane/ft60x.h"

namespace Tessory::Ostrane {

namespace {

// All four reset bits at once.
constexpr std::uint8_t ResetAll =
    ResetMsgStateMachine | ResetTxUart | ResetRxUart | ResetCmdInqFifo;

const char* const board_descriptions[] = {
    "Q.V. Ostrane SDI Adapter",
    "Q.V. Ostrane USB Camera Board",
    "Q.V. Ostrane Video Bridge",
};

} // namespace

FT_RESULT FT_I2CAccess(void* handle, const i2c_access* access, std::uint8_t* data) {
    if (access == nullptr || data == nullptr)
        return STATUS_BAD_PARAMETER;
    if (access->count > i2c_max_count)
        return STATUS_TOO_LARGE;

    const std::uint64_t setup = I2CSetupPacket(*access);
    return FT_ControlTransfer(handle, setup, data, access->count, nullptr);
}

class CCommsDirectIO::CImpl {
  public:
    int ReadReg(std::uint8_t reg, std::uint8_t& value) { return i2cread(reg, 1, &value); }
    int WriteReg(std::uint8_t reg, std::uint8_t value) { return i2cwrite(reg, 1, &value); }

    int i2cwrite(std::uint8_t reg, std::size_t length, const void* data) {
        // The write direction never stores into the buffer.
        return access(reg, length, const_cast<void*>(data), false);
    }
    int i2cread(std::uint8_t reg, std::size_t length, void* data) {
        return access(reg, length, data, true);
    }

    void* handle = nullptr;
    // Serialises the host callback between the event thread (notifications) and the host thread
    // (setting or emptying it).
    std::mutex callback_mutex;

  private:
    int access(std::uint8_t reg, std::size_t length, void* data, bool read) {
        // The record carries the count in one byte.
        const i2c_access request{i2c_slave_address, static_cast<std::uint8_t>(length & 0xFF), reg,
                                 false, read};
        return FT_I2CAccess(handle, &request, static_cast<std::uint8_t*>(data)) == STATUS_SUCCESS
                   ? DirectIOOk
                   : DirectIOAccessFailed;
    }
};

IComms::~IComms() = default;

CCommsDirectIO::CCommsDirectIO() : m_impl(std::make_unique<CImpl>()) {}

CCommsDirectIO::~CCommsDirectIO() {
    if (m_impl->handle != nullptr)
        Close();
}

int CCommsDirectIO::Open(const char* serialNumber) {
    if (FT_Create(const_cast<char*>(serialNumber), FT_OPEN_BY_SERIAL_NUMBER, &m_impl->handle) !=
        STATUS_SUCCESS)
        return DirectIOOpenFailed;
    return OpenCommon();
}

int CCommsDirectIO::Open(int index) {
    // Open by index carries the index in the pointer value itself.
    void* identifier = reinterpret_cast<void*>(static_cast<std::intptr_t>(index));
    if (FT_Create(identifier, FT_OPEN_BY_INDEX, &m_impl->handle) != STATUS_SUCCESS)
        return DirectIOOpenFailed;
    return OpenCommon();
}

int CCommsDirectIO::Open() {
    return DirectIOOk;
}

int CCommsDirectIO::OpenCommon() {
    // On failure the handle stays set; the destructor closes it.
    if (FT_SetNotificationCallback(m_impl->handle, &CCommsDirectIO::NotificationCallback, this) !=
        STATUS_SUCCESS)
        return DirectIOOpenFailed;
    return DirectIOOk;
}

int CCommsDirectIO::Close() {
    // Empty the callback first so that notifications still in flight do nothing.
    SetCallback({});
    int result = DirectIOOk;
    if (m_impl->handle != nullptr) {
        m_impl->WriteReg(i2c_interrupt_enable_reg_address, 0);
        SetRxInterruptEnable(false);
        if (FT_Close(m_impl->handle) != STATUS_SUCCESS)
            result = DirectIOAccessFailed;
    }
    m_impl->handle = nullptr;
    return result;
}

int CCommsDirectIO::Rx(void* buffer, std::size_t length) {
    return m_impl->i2cread(i2c_data_reg_address, length, buffer);
}

int CCommsDirectIO::Tx(const void* data, std::size_t length) {
    std::uint8_t level = 0;
    if (const int result = GetTxFifoLevel(level); result != DirectIOOk)
        return result;
    return m_impl->i2cwrite(i2c_data_reg_address, length % 256, data);
}

void CCommsDirectIO::SetCallback(std::function<void()> callback) {
    std::lock_guard lock(m_impl->callback_mutex);
    m_callback = std::move(callback);
}

void CCommsDirectIO::NotificationCallback(void* context, int /*type*/, void* /*info*/) {
    auto* self = static_cast<CCommsDirectIO*>(context);
    if (self == nullptr)
        return;
    std::function<void()> callback;
    {
        std::lock_guard lock(self->m_impl->callback_mutex);
        callback = self->m_callback;
    }
    if (callback)
        callback();
}

void CCommsDirectIO::SetRxInterruptEnable(bool enable) {
    m_impl->WriteReg(i2c_control_reg_address, enable ? EnableInterrupts : 0);
}

void CCommsDirectIO::SetInterruptPeriod(InterruptPeriod period) {
    m_impl->WriteReg(i2c_interrupt_period_ms_reg_address, period);
}

int CCommsDirectIO::SetInterruptMask(std::uint8_t mask) {
    return m_impl->WriteReg(i2c_interrupt_enable_reg_address, mask);
}

int CCommsDirectIO::GetStatus(std::uint8_t& value) {
    return m_impl->ReadReg(i2c_status_reg_address, value);
}

int CCommsDirectIO::GetInterruptStatus(std::uint8_t& value) {
    return m_impl->ReadReg(i2c_interrupt_status_reg_address, value);
}

int CCommsDirectIO::GetRxFifoLevel(std::uint8_t& value) {
    return m_impl->ReadReg(i2c_rx_fifo_level_reg_address, value);
}

int CCommsDirectIO::GetTxFifoLevel(std::uint8_t& value) {
    return m_impl->ReadReg(i2c_tx_fifo_level_reg_address, value);
}

int CCommsDirectIO::GetRxMsgLevel(std::uint8_t& value) {
    return m_impl->ReadReg(i2c_rx_msg_level_reg_address, value);
}

int CCommsDirectIO::Reset(std::uint8_t bits) {
    if (const int result = m_impl->WriteReg(i2c_control_reg_address, bits); result != DirectIOOk)
        return result;
    return m_impl->WriteReg(i2c_control_reg_address, EnableInterrupts);
}

int CCommsDirectIO::ResetRxUART() {
    return Reset(ResetRxUart);
}
int CCommsDirectIO::ResetTxUART() {
    return Reset(ResetTxUart);
}
int CCommsDirectIO::ResetUART() {
    return Reset(ResetAll);
}

bool CCommsDirectIO::IsError() {
    std::uint8_t status = 0;
    if (GetStatus(status) != DirectIOOk)
        return true;
    return CDirectIOStatus::IsError(status);
}

void* CCommsDirectIO::GetHandle() const {
    return m_impl->handle;
}

bool IsOstraneBoardDescription(const char* description) {
    if (description == nullptr)
        return false;
    for (const char* known : board_descriptions)
        if (std::strcmp(description, known) == 0)
            return true;
    return false;
}

} // namespace Tessory::Ostrane
