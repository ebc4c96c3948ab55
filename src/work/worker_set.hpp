// PLACEHOLDER: WorkerSet and the idle/wake protocol are built by the worker-pool work.
#pragma once

namespace quorlin {

struct WorkerSet {};

}  // namespace quorlin
