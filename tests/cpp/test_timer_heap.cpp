#include "runtime/timer_heap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace quorlin {
namespace {

TEST(TimerHeap, PopsInDeadlineOrder) {
    TimerHeap heap;
    std::mt19937_64 random(7);
    std::vector<uint64_t> deadlines;
    for (int i = 0; i < 1000; ++i) {
        uint64_t deadline = random() % 500;  // many equal deadlines
        deadlines.push_back(deadline);
        heap.push(TimerEntry{deadline, nullptr});
    }
    std::sort(deadlines.begin(), deadlines.end());
    for (uint64_t expected : deadlines) {
        ASSERT_FALSE(heap.empty());
        EXPECT_EQ(static_cast<uint64_t>(heap.top().deadline_us), expected);
        EXPECT_EQ(static_cast<uint64_t>(heap.pop().deadline_us), expected);
    }
    EXPECT_TRUE(heap.empty());
}

TEST(TimerHeap, InterleavedPushAndPop) {
    TimerHeap heap;
    heap.push(TimerEntry{50, nullptr});
    heap.push(TimerEntry{10, nullptr});
    EXPECT_EQ(static_cast<uint64_t>(heap.pop().deadline_us), 10u);
    heap.push(TimerEntry{5, nullptr});
    heap.push(TimerEntry{70, nullptr});
    EXPECT_EQ(static_cast<uint64_t>(heap.pop().deadline_us), 5u);
    EXPECT_EQ(static_cast<uint64_t>(heap.pop().deadline_us), 50u);
    EXPECT_EQ(static_cast<uint64_t>(heap.pop().deadline_us), 70u);
    EXPECT_TRUE(heap.empty());
}

TEST(TimerHeap, PushReportsANewEarliestDeadline) {
    TimerHeap heap;
    EXPECT_TRUE(heap.push(TimerEntry{50, nullptr}));   // empty heap
    EXPECT_FALSE(heap.push(TimerEntry{70, nullptr}));  // later
    EXPECT_FALSE(heap.push(TimerEntry{50, nullptr}));  // equal: the earliest does not move
    EXPECT_TRUE(heap.push(TimerEntry{10, nullptr}));
    (void)heap.pop();
    EXPECT_FALSE(heap.push(TimerEntry{60, nullptr}));
}

TEST(TimerHeap, SweepKeepsTheLiveEntriesInOrder) {
    TimerHeap heap;
    std::mt19937_64 random(11);
    std::vector<uint64_t> live;
    // Odd deadlines stand for finished waits.
    size_t pushed = 0;
    while (!heap.sweep_due()) {
        uint64_t deadline = random() % 100000;
        if (deadline % 2 == 0) live.push_back(deadline);
        heap.push(TimerEntry{deadline, nullptr});
        ++pushed;
    }
    std::vector<TimerEntry> stale;
    heap.sweep([](const TimerEntry& entry) { return entry.deadline_us % 2 == 1; }, stale);
    EXPECT_EQ(stale.size() + live.size(), pushed);
    EXPECT_EQ(heap.size(), live.size());
    for (const TimerEntry& entry : stale) EXPECT_EQ(static_cast<uint64_t>(entry.deadline_us) % 2, 1u);
    EXPECT_FALSE(heap.sweep_due());  // the next sweep waits for the heap to double
    std::sort(live.begin(), live.end());
    for (uint64_t expected : live) EXPECT_EQ(static_cast<uint64_t>(heap.pop().deadline_us), expected);
    EXPECT_TRUE(heap.empty());
}

}  // namespace
}  // namespace quorlin
