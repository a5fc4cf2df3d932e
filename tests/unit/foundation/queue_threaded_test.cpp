// One producer thread and one consumer thread through the ring.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

#include "ft60x/pipe/queue.h"

namespace {

TEST(QueueThreaded, TenMillionItemsArriveInOrderWithNoneLost) {
    constexpr std::uint64_t items = 10'000'000;
    ProducerConsumerQueue<std::uint64_t> queue(1024);

    std::thread producer([&queue] {
        for (std::uint64_t i = 1; i <= items; ++i)
            while (!queue.push(i))
                std::this_thread::yield();
    });

    std::uint64_t expected = 1;
    std::uint64_t out_of_order = 0;
    while (expected <= items) {
        std::uint64_t item = 0;
        if (!queue.pop(item)) {
            std::this_thread::yield();
            continue;
        }
        if (item != expected)
            ++out_of_order;
        expected = item + 1;
    }
    producer.join();
    EXPECT_EQ(out_of_order, 0u);
    EXPECT_EQ(expected, items + 1);
    EXPECT_TRUE(queue.isEmpty());
}

} // namespace
