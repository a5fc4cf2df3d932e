#include "bridge_double.h"

#include <cstring>
#include <utility>

namespace bridge_double {

namespace {
constexpr std::uint8_t data_reg = 0x10;
constexpr std::uint8_t rx_level_reg = 0x12;
constexpr std::uint8_t interrupt_status_reg = 0x18;
constexpr std::uint8_t slave = 0x0D;
} // namespace

std::array<std::uint8_t, 8> Transfer::setup_bytes() const {
    std::array<std::uint8_t, 8> bytes{};
    for (int i = 0; i < 8; ++i)
        bytes[i] = static_cast<std::uint8_t>(setup >> (8 * i));
    return bytes;
}

Bridge& Bridge::instance() {
    static Bridge bridge;
    return bridge;
}

void Bridge::reset() {
    std::lock_guard lock(mutex_);
    for (auto& [handle, device] : handles_)
        delete device;
    handles_.clear();
    device_count_ = 4;
    notification_status_ = close_status_ = STATUS_SUCCESS;
    write_failures_.clear();
    read_failures_.clear();
    fail_all_writes_ = false;
    registers_.fill(0);
    rx_fifo_.clear();
    after_level_read_.clear();
    tx_bytes_.clear();
    transfers_.clear();
    creates_.clear();
    close_calls_ = 0;
    last_registration_ = {nullptr, nullptr};
}

void Bridge::set_device_count(int count) {
    std::lock_guard lock(mutex_);
    device_count_ = count;
}
void Bridge::fail_set_notification(FT_RESULT status) {
    std::lock_guard lock(mutex_);
    notification_status_ = status;
}
void Bridge::fail_close(FT_RESULT status) {
    std::lock_guard lock(mutex_);
    close_status_ = status;
}
void Bridge::fail_write(std::uint8_t reg, int times) {
    std::lock_guard lock(mutex_);
    write_failures_[reg] = times;
}
void Bridge::fail_read(std::uint8_t reg, int times) {
    std::lock_guard lock(mutex_);
    read_failures_[reg] = times;
}
void Bridge::fail_all_writes(bool fail) {
    std::lock_guard lock(mutex_);
    fail_all_writes_ = fail;
}
void Bridge::push_rx(const std::vector<std::uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    rx_fifo_.insert(rx_fifo_.end(), bytes.begin(), bytes.end());
}
void Bridge::push_rx_after_level_read(const std::vector<std::uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    after_level_read_ = bytes;
}

void Bridge::notify() {
    std::vector<std::pair<FT_NOTIFICATION_CALLBACK, void*>> callbacks;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, device] : handles_)
            if (device->callback != nullptr)
                callbacks.emplace_back(device->callback, device->context);
    }
    // Called without the lock, as the event thread would: the callback may come back in.
    for (const auto& [callback, context] : callbacks)
        callback(context, FT_NOTIFICATION_CALLBACK_TYPE_INTERRUPT, nullptr);
}

void Bridge::deliver(const std::vector<std::uint8_t>& bytes) {
    {
        std::lock_guard lock(mutex_);
        rx_fifo_.insert(rx_fifo_.end(), bytes.begin(), bytes.end());
        registers_[interrupt_status_reg] |= 0x01;
    }
    notify();
}

std::vector<Transfer> Bridge::transfers() const {
    std::lock_guard lock(mutex_);
    return transfers_;
}
void Bridge::clear_transfers() {
    std::lock_guard lock(mutex_);
    transfers_.clear();
}
std::vector<CreateCall> Bridge::creates() const {
    std::lock_guard lock(mutex_);
    return creates_;
}
int Bridge::close_calls() const {
    std::lock_guard lock(mutex_);
    return close_calls_;
}
int Bridge::open_handles() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(handles_.size());
}
std::size_t Bridge::rx_fifo_size() const {
    std::lock_guard lock(mutex_);
    return rx_fifo_.size();
}
std::vector<std::uint8_t> Bridge::tx_bytes() const {
    std::lock_guard lock(mutex_);
    return tx_bytes_;
}
std::pair<FT_NOTIFICATION_CALLBACK, void*> Bridge::last_registration() const {
    std::lock_guard lock(mutex_);
    return last_registration_;
}
std::vector<std::pair<std::uint8_t, std::uint8_t>> Bridge::register_writes() const {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::uint8_t, std::uint8_t>> writes;
    for (const Transfer& t : transfers_)
        if (!t.is_read() && !t.data.empty())
            writes.emplace_back(t.reg(), t.data.front());
    return writes;
}

bool Bridge::take_failure(std::map<std::uint8_t, int>& failures, std::uint8_t reg) {
    const auto it = failures.find(reg);
    if (it == failures.end() || it->second == 0)
        return false;
    if (it->second > 0)
        --it->second;
    return true;
}

FT_RESULT Bridge::create(void* identifier, std::uint32_t flags, void** handle) {
    std::lock_guard lock(mutex_);
    if (handle == nullptr)
        return STATUS_BAD_HANDLE;
    *handle = nullptr;
    CreateCall call;
    call.identifier = reinterpret_cast<std::uintptr_t>(identifier);
    call.flags = flags;
    if ((flags & FT_OPEN_BY_INDEX) == 0 && identifier != nullptr)
        call.text = static_cast<const char*>(identifier);
    creates_.push_back(call);
    if ((flags & FT_OPEN_BY_INDEX) == 0)
        return STATUS_NO_DEVICE; // only opens by index are modelled
    const auto index = static_cast<std::intptr_t>(call.identifier);
    if (index < 0 || index >= device_count_)
        return STATUS_NO_DEVICE;
    auto* device = new Device;
    device->index = static_cast<int>(index);
    handles_[device] = device;
    *handle = device;
    return STATUS_SUCCESS;
}

FT_RESULT Bridge::set_notification(void* handle, FT_NOTIFICATION_CALLBACK callback, void* context) {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end())
        return STATUS_BAD_HANDLE;
    if (notification_status_ != STATUS_SUCCESS)
        return notification_status_;
    it->second->callback = callback;
    it->second->context = context;
    last_registration_ = {callback, context};
    return STATUS_SUCCESS;
}

FT_RESULT Bridge::control(void* handle, std::uint64_t setup, std::uint8_t* buffer,
                          std::uint32_t length, std::uint32_t* transferred) {
    std::lock_guard lock(mutex_);
    if (handles_.find(handle) == handles_.end())
        return STATUS_BAD_HANDLE;
    Transfer t;
    t.setup = setup;
    const std::uint16_t wlength = t.length();
    const bool i2c = (t.request_type() & 0x7F) == 0x40 && t.request() == 0x05 &&
                     (t.index() & 0xFF) == slave && (t.index() >> 8) == wlength &&
                     wlength <= length;
    const std::uint8_t reg = t.reg();
    if (!i2c || reg >= registers_.size()) {
        t.status = STATUS_IO_FAILED; // the bridge stalls anything it does not understand
    } else if (t.is_read()) {
        if (take_failure(read_failures_, reg)) {
            t.status = STATUS_IO_FAILED;
        } else {
            for (std::uint16_t i = 0; i < wlength; ++i) {
                std::uint8_t byte = registers_[reg];
                if (reg == data_reg) {
                    byte = 0;
                    if (!rx_fifo_.empty()) {
                        byte = rx_fifo_.front();
                        rx_fifo_.pop_front();
                    }
                } else if (reg == rx_level_reg) {
                    byte = static_cast<std::uint8_t>(std::min<std::size_t>(rx_fifo_.size(), 255));
                }
                buffer[i] = byte;
                t.data.push_back(byte);
            }
            if (reg == rx_level_reg && !after_level_read_.empty()) {
                rx_fifo_.insert(rx_fifo_.end(), after_level_read_.begin(), after_level_read_.end());
                after_level_read_.clear();
            }
        }
    } else {
        t.data.assign(buffer, buffer + wlength);
        if (fail_all_writes_ || take_failure(write_failures_, reg)) {
            t.status = STATUS_IO_FAILED;
        } else if (reg == data_reg) {
            tx_bytes_.insert(tx_bytes_.end(), buffer, buffer + wlength);
        } else if (wlength > 0) {
            registers_[reg] = buffer[0];
        }
    }
    if (transferred != nullptr)
        *transferred = t.status == STATUS_SUCCESS ? wlength : 0;
    transfers_.push_back(t);
    return t.status;
}

FT_RESULT Bridge::close(void* handle) {
    std::lock_guard lock(mutex_);
    ++close_calls_;
    const auto it = handles_.find(handle);
    if (it == handles_.end())
        return STATUS_NO_DEVICE;
    delete it->second;
    handles_.erase(it);
    return close_status_;
}

} // namespace bridge_double

extern "C" {

FT_RESULT FT_Create(void* identifier, uint32_t flags, void** handle) {
    return bridge_double::Bridge::instance().create(identifier, flags, handle);
}

FT_RESULT FT_SetNotificationCallback(void* handle, FT_NOTIFICATION_CALLBACK callback,
                                     void* context) {
    return bridge_double::Bridge::instance().set_notification(handle, callback, context);
}

FT_RESULT FT_ControlTransfer(void* handle, uint64_t setupPacket, uint8_t* buffer,
                             uint32_t bufferLength, uint32_t* lengthTransferred) {
    return bridge_double::Bridge::instance().control(handle, setupPacket, buffer, bufferLength,
                                                     lengthTransferred);
}

FT_RESULT FT_Close(void* handle) {
    return bridge_double::Bridge::instance().close(handle);
}
}
