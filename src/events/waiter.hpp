// Waiter, the registration of one await, and the firing of registrations.
#pragma once

#include "common/py.hpp"

#include <cstdint>
#include <memory>

namespace quorlin {

struct WaitRegistration;  // events/registration.hpp
struct Task;

// A Waiter on one event with an optional timeout (Event.waiter, ScheduledIO._arm_r / _arm_w).
[[nodiscard]] py::Ref new_waiter(PyObject* event, bool has_timeout, uint32_t timeout_us) noexcept;

// One event (or the timeout) fired for `registration`; the value is None.
void fire(const std::shared_ptr<WaitRegistration>& registration, PyObject* runtime, uint32_t index) noexcept;

// Throws the exception instance `error` into the registration's coroutine unless something has
// already resumed it (then `error` is dropped).
void abort_throw(const std::shared_ptr<WaitRegistration>& registration, PyObject* runtime, py::Ref error) noexcept;

// Parks `task` on what its coroutine yielded (or, for a None yielded after a throw, queues it to
// run again).  On success the task has been moved out and an empty Ref is returned.  Otherwise
// the task is left with the caller and the result is the exception to throw back into the
// coroutine: a TypeError for an object that is not a Waiter, a RuntimeError for a Waiter that
// was already registered.
[[nodiscard]] py::Ref register_wait(PyObject* runtime, Task& task, PyObject* yielded) noexcept;

}  // namespace quorlin
