#include "ostrane/OstraneCommsUSB.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "board/parse/bridge_replies.h"
#include "ft60x/parse/arg_checks.h"
#include "ft60x/session/callback_thread.h"
#include "ft60x/thread_annotations.h"
#include "ostrane/CommsDirectIO.h"

using Tessory::Ostrane::CCommsDirectIO;

namespace {

constexpr int channel_count = 256;
constexpr int invalidHandle = OSTRANE_COMMS_INVALID_HANDLE;

// One entry of the channel table. Calls lease it (channel_lease); closing takes it out of the
// table, tells the calls in flight to leave, and waits until the last lease has ended.
struct channel_entry {
    using clock = std::chrono::steady_clock;
    enum class outcome { ok, timed_out, closing };

    CCommsDirectIO comms;
    // Set once the channel is open; until then the number is only reserved.
    std::atomic<bool> ready{false};

    // From the notification callback: wakes a receive waiting for the reply.
    void message_arrived() {
        locking::lock_guard guard(mutex);
        message_available = true;
        changed.notify_all();
    }
    // A call's lease; false once the channel is closing.
    bool enter() {
        locking::lock_guard guard(mutex);
        if (closing)
            return false;
        ++users;
        return true;
    }
    void leave() {
        locking::lock_guard guard(mutex);
        if (--users == 0)
            changed.notify_all();
    }
    // From close: waiting receives leave, new calls are refused; returns once no call is left.
    // Each register access of a call still running is bounded by its USB time-out.
    void close_and_wait() {
        locking::lock_guard guard(mutex);
        closing = true;
        changed.notify_all();
        while (users != 0)
            locking::wait(changed, mutex);
    }
    bool is_closing() {
        locking::lock_guard guard(mutex);
        return closing;
    }
    // Consumes a notification that came, without waiting.
    bool take_message() {
        locking::lock_guard guard(mutex);
        return std::exchange(message_available, false);
    }
    // Waits until a notification came (take_message consumes it), or until `deadline`.
    outcome wait_message(clock::time_point deadline) {
        locking::lock_guard guard(mutex);
        while (!message_available && !closing &&
               locking::wait_until(changed, mutex, deadline) == std::cv_status::no_timeout) {
        }
        if (closing)
            return outcome::closing;
        return message_available ? outcome::ok : outcome::timed_out;
    }
    // One receive at a time: the bridge's interrupt status clears when read, so two receives
    // reading it in turns would take each other's signal. Waits for the turn until `deadline`.
    outcome take_turn(clock::time_point deadline) {
        locking::lock_guard guard(mutex);
        while (receiving && !closing &&
               locking::wait_until(changed, mutex, deadline) == std::cv_status::no_timeout) {
        }
        if (closing)
            return outcome::closing;
        if (receiving)
            return outcome::timed_out;
        receiving = true;
        return outcome::ok;
    }
    void give_turn() {
        locking::lock_guard guard(mutex);
        receiving = false;
        changed.notify_all();
    }

  private:
    locking::mutex mutex;
    std::condition_variable_any changed; // a notification, a turn given back, a close, a call left
    unsigned users GUARDED_BY(mutex) = 0;
    bool message_available GUARDED_BY(mutex) = false;
    bool receiving GUARDED_BY(mutex) = false;
    bool closing GUARDED_BY(mutex) = false;
};
using channel_ptr = std::shared_ptr<channel_entry>;

// A call's hold on an open channel: close waits until every one has ended.
class channel_lease {
  public:
    explicit channel_lease(channel_ptr c) : channel(c && c->enter() ? std::move(c) : nullptr) {}
    ~channel_lease() {
        if (channel)
            channel->leave();
    }
    channel_lease(const channel_lease&) = delete;
    channel_lease& operator=(const channel_lease&) = delete;

    explicit operator bool() const { return channel != nullptr; }
    channel_entry* operator->() const { return channel.get(); }
    channel_entry& operator*() const { return *channel; }

  private:
    channel_ptr channel;
};

// The channel table and the device indices that have been opened successfully at least once.
// Built once and never destroyed: channels still open at process exit are left as they are (the
// FT60x session, torn down at exit, closes their devices), rather than closed after the session
// is gone.
struct channel_table {
    std::mutex lock;
    std::map<int, channel_ptr> open;
};
channel_table& table() {
    static channel_table* const instance = new channel_table;
    return *instance;
}
std::array<std::atomic<bool>, channel_count> indicesUsed{};

// Reserves the lowest free number for `channel`; -1 when none is free.
int OstraneCommsHandleCreate(const channel_ptr& channel) {
    channel_table& t = table();
    std::lock_guard guard(t.lock);
    if (t.open.size() > channel_count - 1)
        return invalidHandle;
    for (int i = 0; i < channel_count; ++i) {
        if (t.open.find(i) == t.open.end()) {
            t.open.emplace(i, channel);
            return i;
        }
    }
    return invalidHandle;
}

// A lease on the open channel `handle`, or empty.
channel_lease OstraneCommsHandleGet(int handle) {
    channel_ptr channel;
    {
        channel_table& t = table();
        std::lock_guard guard(t.lock);
        const auto it = t.open.find(handle);
        if (it != t.open.end() && it->second->ready.load())
            channel = it->second;
    }
    // A close that took the entry out meanwhile refuses the lease.
    return channel_lease(std::move(channel));
}

// Takes the entry out of the table (new calls no longer find it); empty when unknown. With
// `only_ready`, a number still being opened is not taken.
channel_ptr OstraneCommsHandleRemove(int handle, bool only_ready) {
    channel_table& t = table();
    std::lock_guard guard(t.lock);
    const auto it = t.open.find(handle);
    if (it == t.open.end() || (only_ready && !it->second->ready.load()))
        return nullptr;
    channel_ptr channel = std::move(it->second);
    t.open.erase(it);
    return channel;
}

} // namespace

extern "C" OSTRANE_API unsigned int OstraneCommsUSBOpenByIndex(int* handle, int index) {
    if (handle == nullptr)
        return CommsBadHandle;
    *handle = invalidHandle;
    int channel_number = invalidHandle;
    try {
        // indicesUsed covers device indices 0 to 255 only.
        if (!arg_checks::channel_index_ok(index))
            return CommsOpenFailed;
        auto channel = std::make_shared<channel_entry>();
        channel_number = OstraneCommsHandleCreate(channel);
        if (channel_number == invalidHandle)
            return CommsBadHandle;
        CCommsDirectIO& comms = channel->comms;

        if (comms.Open(index) != Tessory::Ostrane::DirectIOOk) {
            const unsigned code = indicesUsed[index] ? CommsIndexUsed : CommsOpenFailed;
            // Destroying the channel closes whatever it had opened.
            OstraneCommsHandleRemove(channel_number, false);
            return code;
        }

        // The entry outlives its callback: close empties the callback before the entry goes.
        channel_entry* entry = channel.get();
        comms.SetCallback([entry] { entry->message_arrived(); });
        comms.SetInterruptPeriod(CCommsDirectIO::InterruptPeriod3ms);
        if (comms.SetInterruptMask(0x0E) != Tessory::Ostrane::DirectIOOk) {
            OstraneCommsHandleRemove(channel_number, false);
            return CommsFailed;
        }
        comms.SetRxInterruptEnable(true);
        indicesUsed[index] = true;
        channel->ready.store(true);
        *handle = channel_number;
        return CommsOk;
    } catch (...) {
        // Leave no entry and no open device behind.
        if (channel_number != invalidHandle) {
            try {
                OstraneCommsHandleRemove(channel_number, false);
            } catch (...) {
            }
        }
        *handle = invalidHandle;
        return CommsOpenFailed;
    }
}

extern "C" OSTRANE_API unsigned int OstraneCommsUSBTransmit(int handle, const void* data,
                                                            size_t length) {
    if (data == nullptr)
        return CommsNullPointer;
    try {
        const channel_lease channel = OstraneCommsHandleGet(handle);
        if (!channel)
            return CommsBadHandle;
        // One I2C transaction moves at most 128 bytes; refuse rather than send a truncated count.
        if (length > OSTRANE_COMMS_MAX_TRANSFER)
            return CommsFailed;
        return channel->comms.Tx(data, length) == Tessory::Ostrane::DirectIOOk ? CommsOk
                                                                                : CommsFailed;
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

        const channel_lease channel = OstraneCommsHandleGet(handle);
        if (!channel)
            return CommsBadHandle;
        CCommsDirectIO* comms = &channel->comms;
        if ((*count & 0x80) != 0)
            return CommsBadLength;
        if (timeoutMs == 0)
            noWait = true;
        if (bufferSize < *count)
            return CommsBufferTooSmall;

        const auto deadline = channel_entry::clock::now() + std::chrono::milliseconds(timeoutMs);
        // Receives on one channel take turns. One that does not get its turn within its time-out
        // received nothing (a zero time-out does not wait for it).
        switch (channel->take_turn(deadline)) {
        case channel_entry::outcome::closing:
            return CommsBadHandle;
        case channel_entry::outcome::timed_out:
            *count = 0;
            return noWait ? CommsOk : CommsNoData;
        case channel_entry::outcome::ok:
            break;
        }
        struct turn_holder {
            channel_entry& channel;
            ~turn_holder() { channel.give_turn(); }
        } turn{*channel};

        // Data already waiting is read without waiting for a notification: it may have been
        // signalled before, and left over by an earlier receive that asked for less.
        std::uint8_t waiting = 0;
        if (!noWait) {
            if (comms->GetRxFifoLevel(waiting) != Tessory::Ostrane::DirectIOOk)
                return CommsFailed;
            if (waiting != 0 && *count <= waiting)
                return comms->Rx(buffer, *count) == Tessory::Ostrane::DirectIOOk ? CommsOk
                                                                                : CommsFailed;
        }

        // The flag is set on the library's callback thread: called from a notification callback,
        // which runs there, the receive would wait for itself. There it asks the board instead.
        const bool askBoard = !noWait && callback_thread::on_a_callback_thread();
        for (;;) {
            if (channel->is_closing())
                return CommsBadHandle;
            if (askBoard || channel->take_message()) {
                comms->SetRxInterruptEnable(false);
                if (comms->GetInterruptStatus(interruptStatus) != Tessory::Ostrane::DirectIOOk) {
                    accessFailed = true;
                    break;
                }
                if (comms->GetRxFifoLevel(rxLevel) != Tessory::Ostrane::DirectIOOk) {
                    accessFailed = true;
                    break;
                }
                if (Tessory::Ostrane::RxLevelSatisfies(*count, rxLevel))
                    break;
                // Not all there yet, or a late signal of data an earlier receive took (the bridge
                // signals a status again each period until it is read): the bridge must signal
                // what comes next, so its interrupt is enabled again before the wait.
                if (!askBoard)
                    comms->SetRxInterruptEnable(true);
            }
            if (channel_entry::clock::now() >= deadline) {
                channel->take_message();
                break;
            }
            // Sleeps until the notification, the time-out or a close; on the callback thread the
            // board is asked again at once.
            if (!askBoard && channel->wait_message(deadline) == channel_entry::outcome::closing)
                return CommsBadHandle;
        }
        comms->SetRxInterruptEnable(true);
        if (accessFailed)
            return CommsFailed;

        unsigned result = CommsFailed;
        if (interruptStatus != 0 || noWait || waiting != 0 || askBoard) {
            // A level that cannot be read says nothing about what waits: a failure, not "no data".
            if (comms->GetRxFifoLevel(rxLevel) != Tessory::Ostrane::DirectIOOk)
                return CommsFailed;
            // Pop no more than the level just read: bytes that arrive after it stay in the FIFO
            // for the next receive instead of being lost. With nothing to pop there is no read.
            const std::size_t wanted = Tessory::Ostrane::RxBytesToRead(*count, rxLevel);
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
        const channel_ptr channel = OstraneCommsHandleRemove(handle, true);
        if (!channel)
            return CommsBadHandle;
        channel->close_and_wait();
        CCommsDirectIO& comms = channel->comms;
        comms.SetRxInterruptEnable(false);
        return comms.Close() != Tessory::Ostrane::DirectIOOk ? CommsFailed : CommsOk;
    } catch (...) {
        return CommsFailed;
    }
}
