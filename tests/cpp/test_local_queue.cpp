#include "work/local_queue.hpp"

#include "work_test_support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace quorlin {
namespace {

using testing::Ledger;

size_t steal_id(LocalQueue& queue) {
    ItemPtr item;
    EXPECT_EQ(queue.steal(item), Steal::Success);
    return item ? Ledger::id_of(item) : SIZE_MAX;
}

TEST(LocalQueue, OwnerTakesNewestThievesTakeOldest) {
    Ledger ledger(5);
    {
        LocalQueue queue;
        for (size_t i = 0; i < 5; ++i) queue.push(ledger.make(i));
        EXPECT_EQ(steal_id(queue), 0u);
        EXPECT_EQ(Ledger::id_of(queue.pop()), 4u);
        EXPECT_EQ(Ledger::id_of(queue.pop()), 3u);
        EXPECT_EQ(steal_id(queue), 1u);
        EXPECT_EQ(Ledger::id_of(queue.pop()), 2u);
        EXPECT_FALSE(queue.pop());
        ItemPtr none;
        EXPECT_EQ(queue.steal(none), Steal::Empty);
        EXPECT_FALSE(none);
    }
    EXPECT_EQ(ledger.released_once(), 5u);
}

TEST(LocalQueue, StartsAt64SlotsAndGrowsKeepingOrderAcrossWrapAround) {
    LocalQueue standard;
    EXPECT_EQ(standard.capacity(), 64u);

    constexpr size_t count = 300;
    Ledger ledger(count);
    {
        LocalQueue queue(4);
        // Move the indices past the capacity first, so that growth copies a wrapped range.
        for (size_t i = 0; i < 3; ++i) queue.push(ledger.make(i));
        for (size_t i = 0; i < 3; ++i) EXPECT_EQ(steal_id(queue), i);
        for (size_t i = 3; i < count; ++i) queue.push(ledger.make(i));
        EXPECT_GE(queue.capacity(), count - 3);
        EXPECT_EQ(queue.size_hint(), count - 3);
        for (size_t i = 3; i < 100; ++i) EXPECT_EQ(steal_id(queue), i);
        for (size_t i = count - 1; i >= 100; --i) EXPECT_EQ(Ledger::id_of(queue.pop()), i);
        EXPECT_FALSE(queue.pop());
    }
    EXPECT_EQ(ledger.released_once(), count);
}

TEST(LocalQueue, DestroyingReleasesWhatIsLeft) {
    Ledger ledger(10);
    {
        LocalQueue queue(2);
        for (size_t i = 0; i < 10; ++i) queue.push(ledger.make(i));
        (void)queue.pop();
        (void)steal_id(queue);
    }
    EXPECT_EQ(ledger.released_once(), 10u);
    EXPECT_EQ(ledger.released_twice_or_more(), 0u);
}

// One owner pushing (and popping now and then) against several thieves, from a tiny buffer so
// that it grows while they steal: every item is taken once, and what is left is released by
// the destructor.
class LocalQueueStress : public ::testing::TestWithParam<int> {};

TEST_P(LocalQueueStress, NoItemIsLostOrDuplicated) {
    const int thieves = GetParam();
    const size_t count = 100000 * testing::scale;
    Ledger ledger(count);
    std::atomic<size_t> taken_by_thieves{0};
    {
        LocalQueue queue(2);
        std::atomic<bool> owner_done{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < thieves; ++t) {
            threads.emplace_back([&] {
                // Thieves stop with the owner, leaving what is queued to the destructor.
                while (!owner_done.load()) {
                    ItemPtr item;  // a stolen item is released here, counted in the ledger
                    switch (queue.steal(item)) {
                        case Steal::Success:
                            taken_by_thieves.fetch_add(1);
                            break;
                        case Steal::Retry:
                        case Steal::Empty:
                            break;
                    }
                }
            });
        }
        size_t popped = 0;
        for (size_t i = 0; i < count; ++i) {
            queue.push(ledger.make(i));
            if (i % 4 != 0 && queue.pop()) ++popped;
        }
        owner_done.store(true);
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(queue.size_hint() + popped + taken_by_thieves.load(), count);
    }
    EXPECT_EQ(ledger.released_once(), count);
    EXPECT_EQ(ledger.released_twice_or_more(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Thieves, LocalQueueStress, ::testing::Values(1, 3));

}  // namespace
}  // namespace quorlin
