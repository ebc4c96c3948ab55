// The runtime's timed waits: a min-heap on the deadline under its own mutex.  Registrations add
// entries from any thread; only the run loop reads the earliest deadline and takes the expired
// entries.
#pragma once

#include "common/sys.hpp"
#include "runtime/timer_heap.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace quorlin {

struct RuntimeRecord;
struct WaitRegistration;

class Timers {
public:
    // Adds an entry; true if its deadline is now the earliest.  Now and then the entries of waits
    // that ended some other way are swept out first.
    bool add(TimerEntry entry) noexcept;

    // The run loop's wait in milliseconds until the earliest deadline, rounded up; -1 with none.
    [[nodiscard]] int wait_ms(const Instant& clock_base) noexcept;

    // Moves the expired entries, earliest first, to the back of `out`.
    void take_expired(const Instant& clock_base, std::vector<TimerEntry>& out) noexcept;

private:
    std::mutex mutex_;
    TimerHeap heap_;  // guarded by mutex_
};

// Arms the timeout of `registration`, `timeout_us` from now, on the runtime's timers, and wakes
// the run loop if the loop has to shorten its wait for it.
void add_timed_wait(RuntimeRecord& record, const std::shared_ptr<WaitRegistration>& registration,
                    uint32_t timeout_us) noexcept;

}  // namespace quorlin
