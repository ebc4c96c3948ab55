#include "runtime/timers.hpp"

#include "events/registration.hpp"
#include "runtime/record.hpp"
#include "runtime/wait_timeout.hpp"

#include <utility>

namespace quorlin {

bool Timers::add(TimerEntry entry) noexcept {
    std::vector<TimerEntry> stale;  // released after the lock: an all-of wait may hold its values
    std::lock_guard lock(mutex_);
    if (heap_.sweep_due()) {
        heap_.sweep([](const TimerEntry& candidate) { return candidate.registration->resumed(); }, stale);
    }
    return heap_.push(std::move(entry));
}

int Timers::wait_ms(const Instant& clock_base) noexcept {
    std::lock_guard lock(mutex_);
    if (heap_.empty()) return -1;
    return wait_timeout_ms(heap_.top().deadline_us, microseconds_since(clock_base));
}

void Timers::take_expired(const Instant& clock_base, std::vector<TimerEntry>& out) noexcept {
    std::lock_guard lock(mutex_);
    if (heap_.empty()) return;
    const unsigned __int128 now_us = microseconds_since(clock_base);
    while (!heap_.empty() && heap_.top().deadline_us <= now_us) out.push_back(heap_.pop());
}

void add_timed_wait(RuntimeRecord& record, const std::shared_ptr<WaitRegistration>& registration,
                    uint32_t timeout_us) noexcept {
    const unsigned __int128 deadline = microseconds_since(record.clock_base) + timeout_us;
    // The loop computes its wait from the earliest deadline under the timers' lock, so only a new
    // earliest deadline needs to wake it; a later one is found when the earlier one expires.  A
    // failed wake is ignored, as the loop recomputes its wait on its next iteration anyway.
    if (record.timer_heap.add(TimerEntry{deadline, registration})) (void)wake_loop(record);
}

}  // namespace quorlin
