// Waiter, the registration of one await, and the firing of registrations.
#pragma once

#include "common/py.hpp"

#include <cstdint>
#include <memory>

namespace quorlin {

struct WaitRegistration;  // defined in events/ by the registration code

// A Waiter on one event with an optional timeout (Event.waiter, ScheduledIO._arm_r / _arm_w).
[[nodiscard]] py::Ref new_waiter(PyObject* event, bool has_timeout, uint32_t timeout_us) noexcept;

// One event (or the timeout) fired for `registration`; the value is None.
void fire(const std::shared_ptr<WaitRegistration>& registration, PyObject* runtime, uint32_t index) noexcept;

}  // namespace quorlin
