// Blocking workers: the elastic threads that run blocking calls.
#pragma once

#include "common/py.hpp"

#include <atomic>
#include <cstddef>

namespace quorlin {

struct RuntimeRecord;

// Counts one more worker in `live` unless `limit` are counted already: add, then check, then undo,
// so that concurrent reservations never pass the limit without a lock.
[[nodiscard]] bool reserve_blocking_worker(std::atomic<size_t>& live, size_t limit) noexcept;

// Starts a worker for a place already reserved in the record's `blocking_live`.  The worker holds a
// receiving end of the queue, a copy of the idle timeout and limit, and a share of the counter,
// but nothing of the Runtime itself.  Returns false with *error set when the system refuses the
// thread; the place is then still reserved and the caller gives it back.
[[nodiscard]] bool start_blocking_worker(const RuntimeRecord& record, int* error) noexcept;

// Imports `threading` once per process, for the identifiers workers publish.  False with an error
// set if the import fails.
[[nodiscard]] bool thread_ident_source_ready() noexcept;

}  // namespace quorlin
