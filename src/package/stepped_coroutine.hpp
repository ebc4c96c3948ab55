// A task's coroutine, stepped under a lock that the task-tree dumps can try.
#pragma once

#include "common/py.hpp"

namespace quorlin {

extern PyTypeObject stepped_coroutine_type;

// Readies the type and what its methods need; 0, or -1 with an exception set.
int ready_stepped_coroutine_type() noexcept;

}  // namespace quorlin
