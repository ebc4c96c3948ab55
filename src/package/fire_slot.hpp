// Reporting to a parked task from a blocking-pool thread, without Python code of our own.
#pragma once

#include "common/py.hpp"

namespace quorlin {

// fire_slot(slot, value, error, /): completes a task slot's park once, as `_Slot.fire` does;
// returns False if it was already completed.
PyObject* fire_slot(PyObject* module, PyObject* const* args, Py_ssize_t count) noexcept;

// call_and_report(slot, origin_var, origin, before_report, fn, args, /): sets `origin_var` to
// `origin`, calls fn(*args), calls `before_report` (None for no call), then fires `slot` with
// the call's value or exception.
PyObject* call_and_report(PyObject* module, PyObject* const* args, Py_ssize_t count) noexcept;

}  // namespace quorlin
