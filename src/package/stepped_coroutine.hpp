// A task's coroutine, stepped under a lock that the task-tree dumps can try.
#pragma once

#include "common/py.hpp"

namespace quorlin {

extern PyTypeObject stepped_coroutine_type;

}  // namespace quorlin
