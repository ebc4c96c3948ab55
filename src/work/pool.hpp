// Starting and stopping the coroutine worker pool of one run.
#pragma once

#include "common/py.hpp"

namespace quorlin {

// Builds the run's WorkerSet, publishes it and starts `threads` workers.  Returns false with
// *spawn_error set when the system refuses a thread (0 when the interpreter is exiting and no
// worker may start); the workers already started keep running until stop_workers.
[[nodiscard]] bool start_workers(PyObject* runtime, int* spawn_error) noexcept;

// Sets workers_stop, unparks every worker and waits (detached) until all have ended; empties the
// worker_set cell.  Safe to call after a partial start.
void stop_workers(PyObject* runtime) noexcept;

}  // namespace quorlin
