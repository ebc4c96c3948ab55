#include "work/global_queue.hpp"

#include "work_test_support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

namespace quorlin {
namespace {

using testing::Ledger;

// Several blocks' worth, so that pushes and takes cross block boundaries.
constexpr size_t across_blocks = 200;

TEST(GlobalQueue, FirstInFirstOutAcrossBlocks) {
    Ledger ledger(across_blocks);
    {
        GlobalQueue queue;
        ItemPtr none;
        EXPECT_EQ(queue.steal(none), Steal::Empty);
        for (size_t i = 0; i < across_blocks; ++i) queue.push(ledger.make(i));
        for (size_t i = 0; i < across_blocks; ++i) {
            ItemPtr item = queue.take();
            ASSERT_TRUE(item);
            EXPECT_EQ(Ledger::id_of(item), i);
        }
        EXPECT_EQ(queue.steal(none), Steal::Empty);
        EXPECT_FALSE(queue.take());
    }
    EXPECT_EQ(ledger.released_once(), across_blocks);
}

TEST(GlobalQueue, DestroyingReleasesWhatIsLeft) {
    for (size_t taken : {size_t{0}, size_t{62}, size_t{63}, size_t{130}}) {
        Ledger ledger(across_blocks);
        {
            GlobalQueue queue;
            for (size_t i = 0; i < across_blocks; ++i) queue.push(ledger.make(i));
            for (size_t i = 0; i < taken; ++i) EXPECT_EQ(Ledger::id_of(queue.take()), i);
        }
        EXPECT_EQ(ledger.released_once(), across_blocks) << "after taking " << taken;
        EXPECT_EQ(ledger.released_twice_or_more(), 0u);
    }
}

// Items carry (producer, sequence) in their id; every consumer must see each producer's items
// in increasing order, and every item must be taken exactly once.
class GlobalQueueStress : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(GlobalQueueStress, PerProducerOrderAndExactAccounting) {
    const auto [producers, consumers] = GetParam();
    const size_t per_producer = 20000 * testing::scale;
    const size_t count = per_producer * static_cast<size_t>(producers);
    Ledger ledger(count);
    std::atomic<size_t> taken{0};
    std::atomic<int> order_violations{0};
    {
        GlobalQueue queue;
        std::vector<std::thread> threads;
        for (int c = 0; c < consumers; ++c) {
            threads.emplace_back([&] {
                std::vector<long> last(static_cast<size_t>(producers), -1);
                while (taken.load() < count) {
                    ItemPtr item;
                    if (queue.steal(item) != Steal::Success) continue;
                    size_t id = Ledger::id_of(item);
                    size_t producer = id / per_producer;
                    long sequence = static_cast<long>(id % per_producer);
                    if (sequence <= last[producer]) order_violations.fetch_add(1);
                    last[producer] = sequence;
                    taken.fetch_add(1);
                }
            });
        }
        for (int p = 0; p < producers; ++p) {
            threads.emplace_back([&, p] {
                for (size_t i = 0; i < per_producer; ++i) queue.push(ledger.make(static_cast<size_t>(p) * per_producer + i));
            });
        }
        testing::wait_or_abort([&] { return taken.load() == count; }, "the consumers to take every item");
        for (auto& thread : threads) thread.join();
        ItemPtr none;
        EXPECT_EQ(queue.steal(none), Steal::Empty);
    }
    EXPECT_EQ(order_violations.load(), 0);
    EXPECT_EQ(ledger.released_once(), count);
    EXPECT_EQ(ledger.released_twice_or_more(), 0u);
}

INSTANTIATE_TEST_SUITE_P(ProducersConsumers, GlobalQueueStress,
                         ::testing::Values(std::tuple{1, 1}, std::tuple{3, 1}, std::tuple{1, 3}, std::tuple{3, 3}));

// Pushes ordered in time by a hand-off between threads: producer threads take turns, each push
// made only after the previous one (by another thread) completed.  Consumers running at the
// same time must take them in that order.
TEST(GlobalQueue, PushesOrderedAcrossThreadsAreTakenInThatOrder) {
    constexpr int producers = 3;
    const size_t count = 2000 * testing::scale;
    Ledger ledger(count);
    std::atomic<size_t> next_push{0};
    std::atomic<size_t> taken{0};
    std::atomic<int> order_violations{0};
    {
        GlobalQueue queue;
        std::vector<std::thread> threads;
        for (int p = 0; p < producers; ++p) {
            threads.emplace_back([&, p] {
                for (;;) {
                    size_t turn = next_push.load();
                    if (turn >= count) return;
                    if (turn % producers != static_cast<size_t>(p)) {
                        std::this_thread::yield();
                        continue;
                    }
                    queue.push(ledger.make(turn));
                    next_push.store(turn + 1);  // the next push starts after this one completed
                }
            });
        }
        for (int c = 0; c < 2; ++c) {
            threads.emplace_back([&] {
                long last = -1;
                while (taken.load() < count) {
                    ItemPtr item;
                    if (queue.steal(item) != Steal::Success) continue;
                    long id = static_cast<long>(Ledger::id_of(item));
                    if (id <= last) order_violations.fetch_add(1);
                    last = id;
                    taken.fetch_add(1);
                }
            });
        }
        testing::wait_or_abort([&] { return taken.load() == count; }, "the consumers to take every item");
        for (auto& thread : threads) thread.join();
    }
    EXPECT_EQ(order_violations.load(), 0);
    EXPECT_EQ(ledger.released_once(), count);
}

}  // namespace
}  // namespace quorlin
