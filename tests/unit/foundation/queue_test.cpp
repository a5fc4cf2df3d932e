// The single-producer single-consumer ring: capacity, order, wrap-around and size.
#include <gtest/gtest.h>

#include <deque>

#include "ft60x/pipe/queue.h"

namespace {

TEST(Queue, HoldsOneItemLessThanItsSlots) {
    for (std::uint32_t size : {2u, 3u, 7u, 64u}) {
        ProducerConsumerQueue<std::uintptr_t> queue(size);
        std::uint32_t pushed = 0;
        while (queue.push(pushed))
            ++pushed;
        EXPECT_EQ(pushed, size - 1) << size;
        EXPECT_EQ(queue.approxSize(), size - 1);
    }
}

TEST(Queue, FullQueueRefusesAndStaysUnchanged) {
    int a = 0, b = 0, c = 0;
    ProducerConsumerQueue<int*> queue(3);
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_TRUE(queue.push(&a));
    EXPECT_TRUE(queue.push(&b));
    EXPECT_FALSE(queue.push(&c));
    EXPECT_EQ(queue.approxSize(), 2u);
    int* item = nullptr;
    ASSERT_TRUE(queue.pop(item));
    EXPECT_EQ(item, &a);
    EXPECT_TRUE(queue.push(&c));
    ASSERT_TRUE(queue.pop(item));
    EXPECT_EQ(item, &b);
    ASSERT_TRUE(queue.pop(item));
    EXPECT_EQ(item, &c);
    EXPECT_TRUE(queue.isEmpty());
    int* untouched = &a;
    EXPECT_FALSE(queue.pop(untouched));
    EXPECT_EQ(untouched, &a);
}

TEST(Queue, SizeAndOrderStayRightAcrossWrapAround) {
    // Against a plain deque, over many laps of a small ring, with every fill level visited.
    constexpr std::uint32_t size = 5;
    ProducerConsumerQueue<std::uint64_t> queue(size);
    std::deque<std::uint64_t> model;
    std::uint64_t next = 0;
    bool saw_wrapped = false;
    for (int step = 0; step < 1000; ++step) {
        const bool push = (step * 7 + step / 13) % 3 != 0;
        if (push) {
            const bool accepted = queue.push(next);
            EXPECT_EQ(accepted, model.size() < size - 1);
            if (accepted)
                model.push_back(next++);
        } else {
            std::uint64_t item = 0;
            const bool got = queue.pop(item);
            ASSERT_EQ(got, !model.empty());
            if (got) {
                EXPECT_EQ(item, model.front());
                model.pop_front();
            }
        }
        ASSERT_EQ(queue.approxSize(), model.size()) << "step " << step;
        EXPECT_EQ(queue.isEmpty(), model.empty());
        // Held items that straddle the end of the slot array: the tail index is below the head.
        if (!model.empty() && (next % size) < ((next - model.size()) % size))
            saw_wrapped = true;
    }
    EXPECT_TRUE(saw_wrapped);
    EXPECT_GT(next, 3 * size);
}

TEST(TransferBuffer, StartsEmptyAndUnowned) {
    urb_buf buffer;
    EXPECT_EQ(buffer.buf, nullptr);
    EXPECT_EQ(buffer.pp, nullptr);
    EXPECT_EQ(buffer.data_len, 0u);
}

} // namespace
