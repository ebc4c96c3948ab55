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

}  // namespace
}  // namespace quorlin
