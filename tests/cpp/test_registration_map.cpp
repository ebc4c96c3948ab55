#include "io/registration_map.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace quorlin {
namespace {

struct Counted {
    explicit Counted(std::atomic<int>& live_) : live(live_) { live.fetch_add(1); }
    ~Counted() { live.fetch_sub(1); }
    std::atomic<int>& live;
};

TEST(AddressMap, RemoveHandsBackTheShareOnce) {
    std::atomic<int> live{0};
    AddressMap<Counted> map;
    auto record = std::make_shared<Counted>(live);
    Counted* key = record.get();
    map.insert(record);
    record.reset();
    EXPECT_EQ(live.load(), 1);  // the map's share keeps it
    std::shared_ptr<Counted> removed = map.remove(key);
    ASSERT_TRUE(removed);
    EXPECT_FALSE(map.remove(key));
    removed.reset();
    EXPECT_EQ(live.load(), 0);
}

// Threads insert and remove their own records while another empties the map now and then: each
// record leaves the map exactly once, through remove or take_all, and every record is freed.
TEST(AddressMap, ConcurrentInsertRemoveAndTakeAllConserveRecords) {
    constexpr int threads = 4;
    constexpr int per_thread = 2000;
    std::atomic<int> live{0};
    std::atomic<int> left{0};
    {
        AddressMap<Counted> map;
        std::atomic<bool> done{false};
        std::thread sweeper([&] {
            while (!done.load()) left.fetch_add(static_cast<int>(map.take_all().size()));
        });
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&] {
                for (int i = 0; i < per_thread; ++i) {
                    auto record = std::make_shared<Counted>(live);
                    Counted* key = record.get();
                    map.insert(std::move(record));
                    if (map.remove(key)) left.fetch_add(1);
                }
            });
        }
        for (auto& worker : workers) worker.join();
        done.store(true);
        sweeper.join();
        left.fetch_add(static_cast<int>(map.take_all().size()));
        EXPECT_EQ(map.size(), 0u);
    }
    EXPECT_EQ(left.load(), threads * per_thread);
    EXPECT_EQ(live.load(), 0);
}

}  // namespace
}  // namespace quorlin
