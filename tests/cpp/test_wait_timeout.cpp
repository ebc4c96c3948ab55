#include "runtime/wait_timeout.hpp"

#include <gtest/gtest.h>

#include <climits>

namespace quorlin {
namespace {

using u128 = unsigned __int128;

TEST(WaitTimeout, RoundsUpToWholeMilliseconds) {
    const u128 now = 5'000'000;
    EXPECT_EQ(wait_timeout_ms(now, now), 0);
    EXPECT_EQ(wait_timeout_ms(now + 1, now), 1);
    EXPECT_EQ(wait_timeout_ms(now + 999, now), 1);
    EXPECT_EQ(wait_timeout_ms(now + 1000, now), 1);
    EXPECT_EQ(wait_timeout_ms(now + 1001, now), 2);
    EXPECT_EQ(wait_timeout_ms(now + 4'294'967'295u, now), 4'294'968);
}

TEST(WaitTimeout, APassedDeadlineWaitsNotAtAll) {
    EXPECT_EQ(wait_timeout_ms(10, 11), 0);
    EXPECT_EQ(wait_timeout_ms(0, u128(1) << 100), 0);
}

TEST(WaitTimeout, CapsAtTheLargestEpollTimeoutAndWrapsBeyond64Bits) {
    EXPECT_EQ(wait_timeout_ms(u128(INT_MAX) * 1000 + 1, 0), INT_MAX);
    EXPECT_EQ(wait_timeout_ms(u128(UINT64_MAX), 0), INT_MAX);
    EXPECT_EQ(wait_timeout_ms((u128(1) << 64) + 1500, 0), 2);  // remaining time taken modulo 2^64
}

}  // namespace
}  // namespace quorlin
