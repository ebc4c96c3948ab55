#include "work/parker.hpp"

#include "work_test_support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace quorlin {
namespace {

TEST(Parker, UnparkBeforeParkIsKept) {
    Parker parker;
    std::atomic<bool> returned{false};
    parker.unpark();
    parker.unpark();  // a second token does not accumulate
    std::thread sleeper([&] {
        parker.park();
        returned.store(true);
    });
    testing::wait_or_abort([&] { return returned.load(); }, "park to return on a token set before it");
    sleeper.join();
}

// Two threads hand a counter back and forth, each waking the other and parking until woken.
// A lost wake-up leaves both parked: the bounded wait turns that into a failure.
TEST(Parker, NoWakeUpIsLostInPingPong) {
    const int rounds = 20000 * testing::scale;
    Parker ping;
    Parker pong;
    std::atomic<int> turn{0};  // even: ping's move; odd: pong's move
    auto player = [&](Parker& mine, Parker& other, int parity) {
        for (;;) {
            int now = turn.load();
            if (now >= rounds) {
                other.unpark();
                return;
            }
            if (now % 2 == parity) {
                turn.store(now + 1);
                other.unpark();
            } else {
                mine.park();  // may return spuriously: the loop re-checks the turn
            }
        }
    };
    std::thread a(player, std::ref(ping), std::ref(pong), 0);
    std::thread b(player, std::ref(pong), std::ref(ping), 1);
    testing::wait_or_abort([&] { return turn.load() >= rounds; }, "the ping-pong to finish");
    a.join();
    b.join();
}

// Many wakers and one sleeper: every unpark made after the sleeper's last check is seen.
TEST(Parker, WakersRacingASleeperAlwaysWakeIt) {
    const int wakes = 5000 * testing::scale;
    Parker parker;
    std::atomic<int> posted{0};
    std::atomic<int> consumed{0};
    std::thread sleeper([&] {
        while (consumed.load() < wakes) {
            if (consumed.load() < posted.load()) {
                consumed.fetch_add(1);
            } else {
                parker.park();
            }
        }
    });
    std::thread wakers[2];
    for (auto& waker : wakers) {
        waker = std::thread([&] {
            for (int i = 0; i < wakes / 2; ++i) {
                posted.fetch_add(1);
                parker.unpark();
            }
        });
    }
    for (auto& waker : wakers) waker.join();
    testing::wait_or_abort([&] { return consumed.load() == wakes; }, "the sleeper to see every post");
    sleeper.join();
}

}  // namespace
}  // namespace quorlin
