// The run loop's epoll timeout for the earliest timer deadline.
#pragma once

#include <climits>
#include <cstdint>

namespace quorlin {

// Whole milliseconds until `deadline_us` as seen at `now_us` (both microseconds after the clock
// base), rounded up so that the loop never wakes before the deadline: 0 µs -> 0 ms, 1 µs -> 1 ms,
// 1000 µs -> 1 ms, 1001 µs -> 2 ms.  The remaining time is taken modulo 2^64 (deadlines are at
// most 2^32 µs ahead, so that never bites) and the result is capped at the largest epoll timeout.
[[nodiscard]] constexpr int wait_timeout_ms(unsigned __int128 deadline_us, unsigned __int128 now_us) noexcept {
    if (deadline_us <= now_us) return 0;
    const uint64_t remaining = static_cast<uint64_t>(deadline_us - now_us);
    const uint64_t milliseconds = remaining / 1000 + (remaining % 1000 != 0 ? 1 : 0);
    return milliseconds > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(milliseconds);
}

}  // namespace quorlin
