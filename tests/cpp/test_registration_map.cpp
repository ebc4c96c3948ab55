#include "io/registration_map.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quorlin {
namespace {

struct Counted {
    Counted(std::atomic<int>& live_, int32_t fd_) : fd(fd_), live(live_) { live.fetch_add(1); }
    ~Counted() { live.fetch_sub(1); }
    const int32_t fd;
    std::atomic<int>& live;
};

using Table = RegistrationTable<Counted>;

constexpr uint32_t events = EPOLLIN | EPOLLET;

std::shared_ptr<EpollHandle> new_epoll() {
    auto epoll = std::make_shared<EpollHandle>();
    epoll->fd = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    return epoll;
}

// Whether `fd` is in the interest set: adding it again fails with EEXIST only then.
bool in_interest_set(const EpollHandle& epoll, int fd) {
    epoll_event interest{};
    interest.events = events;
    if (::epoll_ctl(epoll.fd.get(), EPOLL_CTL_ADD, fd, &interest) == 0) {
        (void)::epoll_ctl(epoll.fd.get(), EPOLL_CTL_DEL, fd, nullptr);
        return false;
    }
    return errno == EEXIST;
}

TEST(RegistrationTable, RemoveHandsBackTheShareOnceAndLeavesEpoll) {
    std::atomic<int> live{0};
    Table table;
    auto epoll = new_epoll();
    table.open(epoll);
    UniqueFd fd(::eventfd(0, EFD_CLOEXEC));
    auto record = std::make_shared<Counted>(live, fd.get());
    Counted* key = record.get();
    ASSERT_EQ(table.add(record, events, 7), 0);
    EXPECT_EQ(table.add(std::make_shared<Counted>(live, fd.get()), events, 8), EEXIST);
    record.reset();
    EXPECT_EQ(live.load(), 1);  // the table's share keeps it
    EXPECT_TRUE(in_interest_set(*epoll, fd.get()));
    std::shared_ptr<Counted> removed = table.remove(key);
    ASSERT_TRUE(removed);
    EXPECT_FALSE(table.remove(key));
    EXPECT_FALSE(in_interest_set(*epoll, fd.get()));
    removed.reset();
    EXPECT_EQ(live.load(), 0);
}

TEST(RegistrationTable, RefusesAdditionsUnlessOpen) {
    std::atomic<int> live{0};
    Table table;
    UniqueFd fd(::eventfd(0, EFD_CLOEXEC));
    auto record = std::make_shared<Counted>(live, fd.get());
    EXPECT_EQ(table.add(record, events, 7), Table::not_running);
    auto epoll = new_epoll();
    table.open(epoll);
    ASSERT_EQ(table.add(record, events, 7), 0);
    std::vector<std::shared_ptr<Counted>> all = table.take_all_and_close();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_FALSE(in_interest_set(*epoll, fd.get()));
    EXPECT_EQ(table.add(record, events, 7), Table::not_running);
    EXPECT_EQ(table.size(), 0u);
}

// A registered descriptor is closed and its number reused by another file, registered anew: the
// stale record's removal must leave the new one in the interest set.
TEST(RegistrationTable, RemovingAStaleNumberLeavesItsNewHolder) {
    std::atomic<int> live{0};
    Table table;
    auto epoll = new_epoll();
    table.open(epoll);
    UniqueFd other(::eventfd(0, EFD_CLOEXEC));
    int number = ::eventfd(0, EFD_CLOEXEC);
    auto stale = std::make_shared<Counted>(live, number);
    ASSERT_EQ(table.add(stale, events, 1), 0);
    ASSERT_EQ(::close(number), 0);  // the kernel drops it from the set with the file
    ASSERT_EQ(::dup2(other.get(), number), number);
    UniqueFd reused(number);
    auto fresh = std::make_shared<Counted>(live, number);
    ASSERT_EQ(table.add(fresh, events, 2), 0);
    EXPECT_TRUE(table.remove(stale.get()));
    EXPECT_TRUE(in_interest_set(*epoll, number));
    EXPECT_TRUE(table.remove(fresh.get()));
    EXPECT_FALSE(in_interest_set(*epoll, number));
}

// Threads add and remove their own records while another closes and reopens the table now and
// then: each record leaves the table exactly once, through remove or take_all_and_close, and
// every record is freed.  An add refused while the table is closed is tried again, a bounded
// number of times.
TEST(RegistrationTable, ConcurrentAddRemoveAndCloseConserveRecords) {
    constexpr int threads = 4;
    constexpr int per_thread = 2000;
    constexpr int attempts = 1'000'000;
    std::atomic<int> live{0};
    std::atomic<int> left{0};
    std::atomic<int> refused{0};
    {
        Table table;
        auto epoll = new_epoll();
        table.open(epoll);
        std::atomic<bool> done{false};
        std::thread sweeper([&] {
            while (!done.load()) {
                left.fetch_add(static_cast<int>(table.take_all_and_close().size()));
                std::this_thread::yield();
                table.open(epoll);
                std::this_thread::yield();
            }
        });
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&] {
                UniqueFd fd(::eventfd(0, EFD_CLOEXEC));
                for (int i = 0; i < per_thread; ++i) {
                    auto record = std::make_shared<Counted>(live, fd.get());
                    Counted* key = record.get();
                    int tried = 0;
                    int result = Table::not_running;
                    while (tried++ < attempts && (result = table.add(record, events, 1)) == Table::not_running) {
                        std::this_thread::yield();
                    }
                    if (result != 0) {
                        refused.fetch_add(1);
                        continue;
                    }
                    record.reset();
                    if (table.remove(key)) left.fetch_add(1);
                }
            });
        }
        for (auto& worker : workers) worker.join();
        done.store(true);
        sweeper.join();
        left.fetch_add(static_cast<int>(table.take_all_and_close().size()));
        EXPECT_EQ(table.size(), 0u);
    }
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(left.load(), threads * per_thread);
    EXPECT_EQ(live.load(), 0);
}

}  // namespace
}  // namespace quorlin
