// The work items that resume a coroutine once: send a value or throw an exception, each with or
// without the task's context.  Between its waits a task exists only as one of these.
#pragma once

#include "common/py.hpp"
#include "events/registration.hpp"
#include "work/work_item.hpp"

namespace quorlin {

// A step that sends `value` into the task's coroutine (inside its context, if it has one).
[[nodiscard]] ItemPtr make_send_step(Task task, py::Ref value) noexcept;

// A step that throws the exception instance `exception` into the task's coroutine (inside a fresh
// copy of its context, if it has one).
[[nodiscard]] ItemPtr make_throw_step(Task task, py::Ref exception) noexcept;

}  // namespace quorlin
