// A worker's wake-up token: park sleeps until the token is set; unpark sets it.
//
// Three states: empty, parked (the owner sleeps or is about to), notified (the token is set).
// A token set before `park` is kept, so `park` returns at once and the wake is never lost.
// The mutex is held only inside park and unpark: unpark takes it before notifying, so it cannot
// notify between the sleeper's check of the state and its wait on the condition variable.
//
// This header does not include Python.h: the parker is tested on its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace quorlin {

class Parker {
public:
    // Owner only.  Returns once the token is set, and clears it.
    void park() noexcept {
        // Fast path: the token is already set.
        uint8_t expected = notified;
        if (state_.compare_exchange_strong(expected, empty, std::memory_order_seq_cst)) return;

        std::unique_lock lock(mutex_);
        expected = empty;
        if (!state_.compare_exchange_strong(expected, parked, std::memory_order_seq_cst)) {
            // Set between the fast path and the lock: take it.
            state_.store(empty, std::memory_order_seq_cst);
            return;
        }
        for (;;) {
            condition_.wait(lock);
            expected = notified;
            if (state_.compare_exchange_strong(expected, empty, std::memory_order_seq_cst)) return;
            // A spurious wake-up: the state is still parked.
        }
    }

    // Any thread.
    void unpark() noexcept {
        switch (state_.exchange(notified, std::memory_order_seq_cst)) {
            case empty:
            case notified:
                return;  // the owner will find the token at its next park
            case parked:
                break;
        }
        // Taking the lock waits until the sleeper is inside wait(), so the notify reaches it.
        { std::lock_guard lock(mutex_); }
        condition_.notify_one();
    }

private:
    static constexpr uint8_t empty = 0;
    static constexpr uint8_t parked = 1;
    static constexpr uint8_t notified = 2;

    // All operations are seq_cst: they order the token against the idle protocol's atomics,
    // and a parker is touched only when a thread goes to sleep or is woken.
    std::atomic<uint8_t> state_{empty};
    std::mutex mutex_;
    std::condition_variable condition_;
};

}  // namespace quorlin
