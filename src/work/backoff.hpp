// Waiting for another thread to finish a few stores: spin briefly, then give up the processor.
#pragma once

#include <sched.h>

namespace quorlin {

class Backoff {
public:
    void snooze() noexcept {
        if (step_ < spin_limit) {
            for (unsigned i = 0; i < (1u << step_); ++i) cpu_relax();
            ++step_;
        } else {
            // The thread we wait for may have been preempted: let it run.
            sched_yield();
        }
    }

private:
    // 2^0 + ... + 2^5 = 63 pauses, about the time another core needs for a handful of stores.
    static constexpr unsigned spin_limit = 6;

    static void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }

    unsigned step_ = 0;
};

}  // namespace quorlin
