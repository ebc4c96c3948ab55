// The Event object: a settable, clearable flag that coroutines wait on through a Waiter.
#pragma once

#include "common/py.hpp"

#include <cstdint>
#include <memory>

namespace quorlin {

struct WaitRegistration;

// A new clear Event (as Event() makes it), or an empty Ref with an error set.
[[nodiscard]] py::Ref new_event() noexcept;

// The body of Event.set(): sets the flag and, if it was clear, fires every queued wait.
// Callable from any attached thread; runs no Python code.  `event` must be an Event instance.
void set_and_fire(PyObject* event) noexcept;

// Enters one event of a registration: fires it at once (under the event's lock) if the event is
// set, otherwise queues it until the next set().  `event` must be an Event instance.
void event_add_wait(PyObject* event, PyObject* runtime, const std::shared_ptr<WaitRegistration>& registration,
                    uint32_t index) noexcept;

}  // namespace quorlin
