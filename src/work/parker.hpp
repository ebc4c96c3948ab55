// A worker's wake-up token: park sleeps until the token is set; unpark sets it.
//
// Three states in one 32-bit word: empty, parked (the owner sleeps or is about to), notified (the
// token is set).  A token set before `park` is kept, so `park` returns at once and the wake is
// never lost.  The owner sleeps on the word itself (a futex): the kernel puts it to sleep only if
// the word still says parked, so an unpark that lands between the owner's change to parked and
// its sleep makes the sleep return at once.  One wake-up therefore costs the waker one system call
// and the sleeper one; a mutex and condition variable would add a third, the unlock of a mutex
// that the woken sleeper takes back as if it were contended.
//
// This header does not include Python.h: the parker is tested on its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quorlin {

class Parker {
public:
    // Owner only.  Returns once the token is set, and clears it.
    void park() noexcept {
        // Fast path: the token is already set.
        uint32_t expected = notified;
        if (state_.compare_exchange_strong(expected, empty, std::memory_order_seq_cst)) return;

        expected = empty;
        if (!state_.compare_exchange_strong(expected, parked, std::memory_order_seq_cst)) {
            // Set between the fast path and here: take it.
            state_.store(empty, std::memory_order_seq_cst);
            return;
        }
        for (;;) {
            wait_while_parked();
            expected = notified;
            if (state_.compare_exchange_strong(expected, empty, std::memory_order_seq_cst)) return;
            // A spurious wake-up or a signal: the state is still parked.
        }
    }

    // Any thread.
    void unpark() noexcept {
        switch (state_.exchange(notified, std::memory_order_seq_cst)) {
            case empty:
            case notified:
                return;  // the owner will find the token at its next park
            default:
                break;
        }
        // The owner said parked: it sleeps on the word or is about to, and then finds it changed.
        (void)::syscall(SYS_futex, word(), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }

private:
    static constexpr uint32_t empty = 0;
    static constexpr uint32_t parked = 1;
    static constexpr uint32_t notified = 2;

    uint32_t* word() noexcept { return reinterpret_cast<uint32_t*>(&state_); }

    // Sleeps unless the word no longer says parked; returns on a wake, a signal or spuriously.
    void wait_while_parked() noexcept {
        (void)::syscall(SYS_futex, word(), FUTEX_WAIT_PRIVATE, parked, nullptr, nullptr, 0);
    }

    // All operations are seq_cst: they order the token against the idle protocol's atomics,
    // and a parker is touched only when a thread goes to sleep or is woken.
    std::atomic<uint32_t> state_{empty};
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
                  "the futex word is the atomic's own storage");
};

}  // namespace quorlin
