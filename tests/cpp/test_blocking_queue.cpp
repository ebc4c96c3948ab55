#include "blocking/channel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace quorlin {
namespace {

// Generous deadlines: they only bound a test that would otherwise hang, never what passes.
Instant seconds_from_now(uint64_t seconds) {
    Instant now = monotonic_now();
    now.seconds += seconds;
    return now;
}

struct Counted {
    Counted(int value_, std::atomic<int>& live_) : value(value_), live(live_) { live.fetch_add(1); }
    ~Counted() { live.fetch_sub(1); }
    int value;
    std::atomic<int>& live;
};

TEST(BlockingQueue, DeliversInOrderThenTimesOut) {
    auto [sender, receiver] = make_channel<int>();
    for (int i = 0; i < 100; ++i) sender.send(i);
    EXPECT_FALSE(receiver.empty());
    for (int i = 0; i < 100; ++i) {
        std::optional<int> out;
        ASSERT_EQ(receiver.receive(out, monotonic_now()), Receive::item);
        EXPECT_EQ(*out, i);
    }
    EXPECT_TRUE(receiver.empty());
    std::optional<int> out;
    EXPECT_EQ(receiver.receive(out, monotonic_now()), Receive::timeout);
    EXPECT_FALSE(out);
}

TEST(BlockingQueue, DrainsThenReportsDisconnectionOnceEverySenderIsGone) {
    auto [sender, receiver] = make_channel<int>();
    auto second = std::make_unique<ChannelSender<int>>(sender.clone());
    second->send(1);
    second->send(2);
    {
        ChannelSender<int> gone = std::move(sender);
    }
    std::optional<int> out;
    ASSERT_EQ(receiver.receive(out, seconds_from_now(10)), Receive::item);  // one sender remains
    EXPECT_EQ(*out, 1);
    second.reset();
    out.reset();
    ASSERT_EQ(receiver.receive(out, std::nullopt), Receive::item);
    EXPECT_EQ(*out, 2);
    out.reset();
    EXPECT_EQ(receiver.receive(out, std::nullopt), Receive::disconnected);
    EXPECT_EQ(receiver.clone().receive(out, std::nullopt), Receive::disconnected);
}

TEST(BlockingQueue, DroppingTheLastSenderWakesEveryWaitingReceiver) {
    std::unique_ptr<ChannelSender<int>> sender;
    std::vector<std::thread> receivers;
    std::atomic<int> disconnected{0};
    std::atomic<int> waiting{0};
    {
        auto [s, receiver] = make_channel<int>();
        sender = std::make_unique<ChannelSender<int>>(std::move(s));
        for (int i = 0; i < 3; ++i) {
            receivers.emplace_back([&, end = receiver.clone()] {
                std::optional<int> out;
                waiting.fetch_add(1);
                if (end.receive(out, seconds_from_now(20)) == Receive::disconnected) disconnected.fetch_add(1);
            });
        }
    }
    while (waiting.load() < 3) std::this_thread::yield();
    sender.reset();
    for (auto& thread : receivers) thread.join();
    EXPECT_EQ(disconnected.load(), 3);
}

TEST(BlockingQueue, AWaitingReceiverGetsALaterItem) {
    auto [sender, receiver] = make_channel<int>();
    std::optional<int> out;
    Receive outcome = Receive::timeout;
    std::thread waiter([&, end = receiver.clone()] { outcome = end.receive(out, seconds_from_now(20)); });
    sender.send(42);
    waiter.join();
    ASSERT_EQ(outcome, Receive::item);
    EXPECT_EQ(*out, 42);
}

TEST(BlockingQueue, ADeadlineBeyondTheClockRangeWaitsWithoutEnd) {
    auto [sender, receiver] = make_channel<int>();
    std::optional<int> out;
    Receive outcome = Receive::timeout;
    std::atomic<bool> started{false};
    std::thread waiter([&, end = receiver.clone()] {
        started.store(true);
        outcome = end.receive(out, Instant{UINT64_MAX / 2, 999'999'999});
    });
    while (!started.load()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // give a wrong early time-out a chance
    sender.send(7);
    waiter.join();
    ASSERT_EQ(outcome, Receive::item);
    EXPECT_EQ(*out, 7);
}

TEST(BlockingQueue, EveryItemIsReceivedOnceAndEachSendersOrderIsKept) {
    constexpr int producers = 3;
    constexpr int consumers = 3;
    constexpr int per_producer = 3000;
    auto [sender, receiver] = make_channel<std::pair<int, int>>();
    std::vector<std::vector<std::pair<int, int>>> received(consumers);
    std::vector<std::thread> threads;
    for (int c = 0; c < consumers; ++c) {
        threads.emplace_back([&, c, end = receiver.clone()] {
            std::optional<std::pair<int, int>> out;
            while (end.receive(out, seconds_from_now(20)) == Receive::item) {
                received[c].push_back(*out);
                out.reset();
            }
        });
    }
    {
        std::vector<std::thread> senders;
        for (int p = 0; p < producers; ++p) {
            senders.emplace_back([p, end = sender.clone()] {
                for (int i = 0; i < per_producer; ++i) end.send({p, i});
            });
        }
        for (auto& thread : senders) thread.join();
        ChannelSender<std::pair<int, int>> last = std::move(sender);
    }
    for (auto& thread : threads) thread.join();
    std::vector<std::vector<int>> seen(producers, std::vector<int>(per_producer, 0));
    for (const auto& items : received) {
        std::vector<int> last(producers, -1);
        for (auto [p, i] : items) {
            EXPECT_GT(i, last[p]) << "a consumer saw a producer's items out of order";
            last[p] = i;
            ++seen[p][i];
        }
    }
    for (int p = 0; p < producers; ++p) {
        for (int i = 0; i < per_producer; ++i) ASSERT_EQ(seen[p][i], 1) << p << "/" << i;
    }
}

TEST(BlockingQueue, ItemsLeftInTheQueueAreReleasedWithIt) {
    std::atomic<int> live{0};
    {
        auto [sender, receiver] = make_channel<std::unique_ptr<Counted>>();
        for (int i = 0; i < 10; ++i) sender.send(std::make_unique<Counted>(i, live));
        std::optional<std::unique_ptr<Counted>> out;
        ASSERT_EQ(receiver.receive(out, monotonic_now()), Receive::item);
        EXPECT_EQ((*out)->value, 0);
        out.reset();
        EXPECT_EQ(live.load(), 9);
    }
    EXPECT_EQ(live.load(), 0);
}

TEST(BlockingQueue, WithdrawTakesBackOnlyAQueuedMatch) {
    std::atomic<int> live{0};
    auto [sender, receiver] = make_channel<std::unique_ptr<Counted>>();
    for (int i = 0; i < 3; ++i) sender.send(std::make_unique<Counted>(i, live));
    auto is = [](int value) { return [value](const std::unique_ptr<Counted>& item) { return item->value == value; }; };
    std::optional<std::unique_ptr<Counted>> taken = sender.withdraw(is(1));
    ASSERT_TRUE(taken);
    EXPECT_EQ((*taken)->value, 1);
    EXPECT_FALSE(sender.withdraw(is(1)));
    EXPECT_FALSE(sender.withdraw(is(9)));
    taken.reset();
    EXPECT_EQ(live.load(), 2);
    for (int expected : {0, 2}) {
        std::optional<std::unique_ptr<Counted>> out;
        ASSERT_EQ(receiver.receive(out, monotonic_now()), Receive::item);
        EXPECT_EQ((*out)->value, expected);
    }
    EXPECT_TRUE(receiver.empty());
}

TEST(BlockingQueue, ConcurrentWithdrawAndReceiveTakeEachItemOnce) {
    constexpr int items = 2000;
    auto [sender, receiver] = make_channel<int>();
    std::atomic<int> received{0};
    std::atomic<int> withdrawn{0};
    std::thread consumer([&, end = receiver.clone()] {
        std::optional<int> out;
        while (end.receive(out, seconds_from_now(20)) == Receive::item) {
            received.fetch_add(1);
            out.reset();
        }
    });
    {
        ChannelSender<int> local = std::move(sender);
        for (int i = 0; i < items; ++i) {
            local.send(i);
            if (local.withdraw([i](const int& item) { return item == i; })) withdrawn.fetch_add(1);
        }
    }
    consumer.join();
    EXPECT_EQ(received.load() + withdrawn.load(), items);
}

}  // namespace
}  // namespace quorlin
