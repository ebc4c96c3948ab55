// The two work items the run loop hands to the workers.
#pragma once

#include "common/py.hpp"
#include "runtime/timer_heap.hpp"
#include "work/work_item.hpp"

namespace quorlin {

// Sets `event` (an Event) on a worker, firing its queued waits, then drops the reference.
[[nodiscard]] ItemPtr make_set_event_job(py::Ref event) noexcept;

// Fires the entry's registration on a worker as its timeout, then drops the entry.
[[nodiscard]] ItemPtr make_timer_expiry_job(TimerEntry entry) noexcept;

}  // namespace quorlin
