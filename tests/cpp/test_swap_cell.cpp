#include "common/swap_cell.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace quorlin {
namespace {

struct Counted {
    explicit Counted(int value_, std::atomic<int>& live_) : value(value_), live(live_) { live.fetch_add(1); }
    ~Counted() { live.fetch_sub(1); }
    int value;
    std::atomic<int>& live;
};

TEST(SwapCell, ReadersKeepReplacedValuesAliveAndEveryValueIsFreed) {
    std::atomic<int> live{0};
    {
        SwapCell<Counted> cell(std::make_shared<Counted>(0, live));
        std::atomic<bool> stop{false};
        std::vector<std::thread> readers;
        for (int r = 0; r < 3; ++r) {
            readers.emplace_back([&] {
                while (!stop.load(std::memory_order_relaxed)) {
                    std::shared_ptr<Counted> seen = cell.load();
                    ASSERT_TRUE(seen);
                    ASSERT_GE(seen->value, 0);  // a freed value would be caught by the sanitizers
                }
            });
        }
        for (int i = 1; i <= 5000; ++i) (void)cell.exchange(std::make_shared<Counted>(i, live));
        stop.store(true);
        for (auto& reader : readers) reader.join();
        EXPECT_EQ(cell.load()->value, 5000);
        EXPECT_EQ(cell.take()->value, 5000);
        EXPECT_FALSE(cell.load());
    }
    EXPECT_EQ(live.load(), 0);
}

}  // namespace
}  // namespace quorlin
