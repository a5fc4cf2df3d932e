// Bounded lock-free ring for one producer thread and one consumer thread, and the transfer
// buffer record that pipes hand around through such rings.
#pragma once

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

// Elaborated wherever it is named: POSIX declares a function of the same name.
class pipe;

// Kept as a literal: the value must not change between compilers or flags.
inline constexpr std::size_t queue_cache_line = 64;

template <typename T> class alignas(queue_cache_line) ProducerConsumerQueue {
    static_assert(std::is_trivially_copyable_v<T>, "slots are raw memory");

  public:
    // Holds at most size - 1 items: one slot always stays empty so that full and empty differ.
    // Throws std::bad_alloc when the slots cannot be had.
    explicit ProducerConsumerQueue(std::uint32_t size)
        : slots_(size), records_(static_cast<T*>(std::malloc(sizeof(T) * size))) {
        assert(size >= 2);
        if (records_ == nullptr)
            throw std::bad_alloc();
    }

    ~ProducerConsumerQueue() {
        static_assert(offsetof(ProducerConsumerQueue, slots_) == queue_cache_line);
        static_assert(offsetof(ProducerConsumerQueue, records_) < 2 * queue_cache_line);
        static_assert(offsetof(ProducerConsumerQueue, head_) == 2 * queue_cache_line);
        static_assert(offsetof(ProducerConsumerQueue, tail_) == 3 * queue_cache_line);
        static_assert(sizeof(ProducerConsumerQueue) == 4 * queue_cache_line);
        std::free(records_);
    }

    ProducerConsumerQueue(const ProducerConsumerQueue&) = delete;
    ProducerConsumerQueue& operator=(const ProducerConsumerQueue&) = delete;

    // Producer side. False when the queue is full; nothing is stored then.
    bool push(T item) {
        const std::uint32_t t = tail_.load(std::memory_order_relaxed);
        const std::uint32_t next = t + 1 == slots_ ? 0 : t + 1;
        if (next == head_.load(std::memory_order_acquire))
            return false;
        records_[t] = item;
        tail_.store(next, std::memory_order_release);
        return true;
    }

    // Consumer side. False when the queue is empty; `item` is untouched then.
    bool pop(T& item) {
        const std::uint32_t h = head_.load(std::memory_order_relaxed);
        if (h == tail_.load(std::memory_order_acquire))
            return false;
        const std::uint32_t next = h + 1 == slots_ ? 0 : h + 1;
        item = records_[h];
        head_.store(next, std::memory_order_release);
        return true;
    }

    bool isEmpty() const {
        return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_acquire);
    }

    // Exact only when neither side is moving; otherwise a snapshot as this thread sees it.
    std::size_t approxSize() const {
        long long diff = static_cast<long long>(tail_.load(std::memory_order_acquire)) -
                         static_cast<long long>(head_.load(std::memory_order_acquire));
        if (diff < 0)
            diff += slots_;
        return static_cast<std::size_t>(diff);
    }

    std::uint32_t capacity() const { return slots_ - 1; }

  private:
    // Keeps the first used line apart from whatever precedes the object.
    [[maybe_unused]] char pad_[queue_cache_line];
    const std::uint32_t slots_;
    T* const records_;
    // Each index on its own line: the consumer writes head_, the producer tail_.
    alignas(queue_cache_line) std::atomic<std::uint32_t> head_{0};
    alignas(queue_cache_line) std::atomic<std::uint32_t> tail_{0};
};

// One transfer buffer of a pipe.
struct urb_buf {
    std::unique_ptr<std::uint8_t[]> buf; // buffer bytes, zero-filled when created
    class pipe* pp = nullptr;            // owning pipe
    std::uint32_t data_len = 0;          // valid bytes in buf
    std::uint32_t data_off = 0;          // IN: bytes at the start already given to a reader
};
