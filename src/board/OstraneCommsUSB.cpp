#include "ostrane/OstraneCommsUSB.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "ft60x/parse/arg_checks.h"
#include "ostrane/CommsDirectIO.h"

using Tessory::Ostrane::CCommsDirectIO;

namespace {

constexpr int channel_count = 256;
constexpr int invalidHandle = OSTRANE_COMMS_INVALID_HANDLE;

// The channel table; opens and closes are serialised by the host.
std::map<int, std::unique_ptr<CCommsDirectIO>> openHandles;
// Device indices that have been opened successfully at least once.
std::array<bool, channel_count> indicesUsed{};
// Set by a channel's notification, consumed by its receive call.
std::array<std::atomic<bool>, channel_count> ostraneMessageAvailable{};
std::mutex ostraneMessageAvailable_mutex;

// Enters the channel under the lowest free number; -1 when none is free. The table takes the
// object only on success.
int OstraneCommsHandleCreate(std::unique_ptr<CCommsDirectIO>& channel) {
    try {
        if (openHandles.size() > channel_count - 1)
            return invalidHandle;
        for (int i = 0; i < channel_count; ++i) {
            if (openHandles.find(i) == openHandles.end()) {
                openHandles.emplace(i, std::move(channel));
                return i;
            }
        }
    } catch (...) {
    }
    return invalidHandle;
}

CCommsDirectIO* OstraneCommsHandleGet(int handle) {
    const auto it = openHandles.find(handle);
    return it == openHandles.end() ? nullptr : it->second.get();
}

// Erases the entry and destroys its channel object.
unsigned OstraneCommsHandleRemove(int handle) {
    return openHandles.erase(handle) == 1 ? CommsOk : CommsBadHandle;
}

} // namespace

extern "C" OSTRANE_API unsigned int OstraneCommsUSBOpenByIndex(int* handle, int index) {
    if (handle == nullptr)
        return CommsBadHandle;
    int channel_number = invalidHandle;
    try {
        // indicesUsed covers device indices 0 to 255 only.
        if (!arg_checks::channel_index_ok(index)) {
            *handle = invalidHandle;
            return CommsOpenFailed;
        }
        auto channel = std::make_unique<CCommsDirectIO>();
        channel_number = OstraneCommsHandleCreate(channel);
        *handle = channel_number;
        if (channel_number == invalidHandle)
            return CommsBadHandle;
        CCommsDirectIO& comms = *OstraneCommsHandleGet(channel_number);

        if (comms.Open(index) != Tessory::Ostrane::DirectIOOk) {
            const unsigned code = indicesUsed[index] ? CommsIndexUsed : CommsOpenFailed;
            // Destroying the channel closes whatever it had opened. The released number is no
            // channel any more, so the caller is not left holding it.
            OstraneCommsHandleRemove(channel_number);
            *handle = invalidHandle;
            return code;
        }

        const int n = channel_number;
        comms.SetCallback([n] {
            std::lock_guard lock(ostraneMessageAvailable_mutex);
            ostraneMessageAvailable[n] = true;
        });
        comms.SetInterruptPeriod(CCommsDirectIO::InterruptPeriod3ms);
        if (comms.SetInterruptMask(0x0E) != Tessory::Ostrane::DirectIOOk) {
            OstraneCommsHandleRemove(channel_number);
            *handle = invalidHandle;
            return CommsFailed;
        }
        ostraneMessageAvailable[n] = false;
        comms.SetRxInterruptEnable(true);
        indicesUsed[index] = true;
        return CommsOk;
    } catch (...) {
        // Leave no entry and no open device behind.
        *handle = invalidHandle;
        if (channel_number != invalidHandle) {
            try {
                OstraneCommsHandleRemove(channel_number);
            } catch (...) {
            }
        }
        return CommsOpenFailed;
    }
}

extern "C" OSTRANE_API unsigned int OstraneCommsUSBTransmit(int handle, const void* data,
                                                            size_t length) {
    if (data == nullptr)
        return CommsNullPointer;
    try {
        CCommsDirectIO* comms = OstraneCommsHandleGet(handle);
        if (comms == nullptr)
            return CommsBadHandle;
        // One I2C transaction moves at most 128 bytes; refuse rather than send a truncated count.
        if (length > OSTRANE_COMMS_MAX_TRANSFER)
            return CommsFailed;
        return comms->Tx(data, length) == Tessory::Ostrane::DirectIOOk ? CommsOk : CommsFailed;
    } catch (...) {
        return CommsFailed;
    }
}

extern "C" OSTRANE_API unsigned int
OstraneCommsUSBReceive(int handle, void* buffer, size_t bufferSize, uint8_t* count, int timeoutMs) {
    if (buffer == nullptr || count == nullptr)
        return CommsNullPointer;
    try {
        std::uint8_t rxLevel = 0;
        std::uint8_t interruptStatus = 0;
        bool noWait = false;
        bool accessFailed = false;

        CCommsDirectIO* comms = OstraneCommsHandleGet(handle);
        if (comms == nullptr)
            return CommsBadHandle;
        if ((*count & 0x80) != 0)
            return CommsBadLength;
        if (timeoutMs == 0)
            noWait = true;
        if (bufferSize < *count)
            return CommsBufferTooSmall;

        std::atomic<bool>& messageAvailable = ostraneMessageAvailable[handle];
        const auto start = std::chrono::steady_clock::now();
        const std::int64_t timeoutNs = std::int64_t{timeoutMs} * 1'000'000;
        // Busy-polls on the calling thread: the reply usually follows within a few milliseconds.
        for (;;) {
            if (messageAvailable.load()) {
                comms->SetRxInterruptEnable(false);
                if (comms->GetInterruptStatus(interruptStatus) != Tessory::Ostrane::DirectIOOk) {
                    accessFailed = true;
                    break;
                }
                if (comms->GetRxFifoLevel(rxLevel) != Tessory::Ostrane::DirectIOOk) {
                    accessFailed = true;
                    break;
                }
                messageAvailable.store(false);
                if (rxLevel != 0 && *count <= rxLevel)
                    break;
            }
            const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::steady_clock::now() - start);
            if (elapsed.count() > timeoutNs) {
                messageAvailable.store(false);
                break;
            }
        }
        comms->SetRxInterruptEnable(true);
        if (accessFailed)
            return CommsFailed;

        unsigned result = CommsFailed;
        if (interruptStatus != 0 || noWait) {
            comms->GetRxFifoLevel(rxLevel);
            // Pop no more than the level just read: bytes that arrive after it stay in the FIFO
            // for the next receive instead of being lost. With nothing to pop there is no read.
            const std::size_t wanted = std::min<std::size_t>(*count, rxLevel);
            if (wanted == 0 || comms->Rx(buffer, wanted) == Tessory::Ostrane::DirectIOOk)
                result = CommsOk;
        }
        if (rxLevel == 0 && !noWait)
            result = CommsNoData;
        if (*count >= rxLevel)
            *count = rxLevel;
        return result;
    } catch (...) {
        return CommsFailed;
    }
}

extern "C" OSTRANE_API unsigned int OstraneCommsUSBClose(int handle) {
    try {
        CCommsDirectIO* comms = OstraneCommsHandleGet(handle);
        if (comms == nullptr)
            return CommsBadHandle;
        comms->SetRxInterruptEnable(false);
        const bool failed = comms->Close() != Tessory::Ostrane::DirectIOOk;
        OstraneCommsHandleRemove(handle);
        return failed ? CommsFailed : CommsOk;
    } catch (...) {
        return CommsFailed;
    }
}
