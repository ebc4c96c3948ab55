#include "io/readiness.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace quorlin::io {
namespace {

struct Translation {
    uint32_t events;
    uint32_t bits;
};

TEST(Readiness, TranslatesEpollEvents) {
    constexpr uint32_t in = 0x001, pri = 0x002, out = 0x004, err = 0x008, hup = 0x010, rdhup = 0x2000;
    const Translation table[] = {
        {0, 0},
        {in, readable},
        {pri, readable},
        {out, writable},
        {in | out, readable | writable},
        {rdhup, 0},
        {in | rdhup, readable | read_closed},
        {hup, read_closed | write_closed},
        {in | out | hup, readable | writable | read_closed | write_closed},
        {err, write_closed | error},
        {err | in, readable | error},
        {err | out, writable | write_closed | error},
        {err | hup, read_closed | write_closed | error},
        {0x80000000u | in, readable},  // the edge-trigger flag is ignored
    };
    for (const Translation& row : table) {
        EXPECT_EQ(readiness_from_epoll(row.events), row.bits) << "events " << row.events;
    }
}

TEST(Readiness, ReportsAdvanceTheTickAndKeepBits) {
    ReadinessWord word;
    word.report(readable);
    EXPECT_EQ(word.load(), readable | (1u << tick_shift));
    word.report(readable);  // a report with nothing new still ticks
    word.report(writable);
    EXPECT_EQ(word.load(), readable | writable | (3u << tick_shift));
    EXPECT_TRUE(word.ready(Direction::read));
    EXPECT_TRUE(word.ready(Direction::write));
}

TEST(Readiness, TickWrapsAfter256Reports) {
    ReadinessWord word;
    for (int i = 0; i < 256; ++i) word.report(0);
    EXPECT_EQ(tick_of(word.load()), 0);
    EXPECT_EQ(word.load() & ~tick_mask, 0u);
}

TEST(Readiness, ConsumeTakesOneDirectionAndErrorFromBoth) {
    ReadinessWord word;
    word.report(error);
    EXPECT_TRUE(word.ready(Direction::read));
    EXPECT_TRUE(word.ready(Direction::write));
    EXPECT_TRUE(word.consume(Direction::read));
    EXPECT_FALSE(word.consume(Direction::write));  // ERROR belonged to both and is gone
    word.report(readable | writable);
    EXPECT_TRUE(word.consume(Direction::write));
    EXPECT_EQ(word.load() & all_interest, readable);
    EXPECT_EQ(tick_of(word.load()), 2);  // consuming never touches the tick
}

TEST(Readiness, ShutdownMakesBothDirectionsReadyForGood) {
    ReadinessWord word;
    word.shut_down();
    EXPECT_TRUE(word.ready(Direction::read));
    EXPECT_TRUE(word.ready(Direction::write));
    EXPECT_FALSE(word.consume(Direction::read));
    word.remember_tick(Direction::read);
    word.clear(Direction::read);
    EXPECT_TRUE(word.ready(Direction::read));
    EXPECT_EQ(word.load() & shutdown, shutdown);
}

TEST(Readiness, ClearKeepsAReportThatArrivedSinceTheArm) {
    ReadinessWord word;
    word.report(readable | writable);
    word.remember_tick(Direction::read);
    word.clear(Direction::read);
    EXPECT_FALSE(word.ready(Direction::read));
    EXPECT_TRUE(word.ready(Direction::write));  // the other direction is left alone

    word.report(readable);
    word.remember_tick(Direction::read);
    word.report(readable);  // arrived between the arm and the clear
    word.clear(Direction::read);
    EXPECT_TRUE(word.ready(Direction::read));

    word.remember_tick(Direction::read);
    for (int i = 0; i < 256; ++i) word.report(0);  // the tick wraps: indistinguishable from none
    word.clear(Direction::read);
    EXPECT_FALSE(word.ready(Direction::read));
}

// One reporter and one consumer per direction: every report's tick is counted, and a consumer never
// takes a bit of the other direction.
TEST(Readiness, ConcurrentReportsAndConsumesLoseNothing) {
    constexpr int reports = 20000;
    ReadinessWord word;
    std::atomic<bool> done{false};
    std::atomic<int> read_taken{0};
    std::atomic<int> write_taken{0};
    auto consumer = [&](Direction direction, std::atomic<int>& taken) {
        while (!done.load()) {
            if (word.consume(direction)) taken.fetch_add(1);
        }
        if (word.consume(direction)) taken.fetch_add(1);
    };
    std::thread read_consumer(consumer, Direction::read, std::ref(read_taken));
    std::thread write_consumer(consumer, Direction::write, std::ref(write_taken));
    for (int i = 0; i < reports; ++i) word.report(i % 2 == 0 ? readable : writable);
    done.store(true);
    read_consumer.join();
    write_consumer.join();
    EXPECT_EQ(tick_of(word.load()), reports % 256);
    EXPECT_EQ(word.load() & all_interest, 0u);
    EXPECT_GE(read_taken.load(), 1);
    EXPECT_LE(read_taken.load(), reports / 2);
    EXPECT_GE(write_taken.load(), 1);
    EXPECT_LE(write_taken.load(), reports / 2);
}

}  // namespace
}  // namespace quorlin::io
