// The process-wide, write-once registry of the one Runtime.
#pragma once

#include "common/py.hpp"

namespace quorlin {

// The registered runtime (borrowed; immortal), or nullptr when none is registered yet.
[[nodiscard]] PyObject* registered_runtime() noexcept;

// The registered runtime, or nullptr with RuntimeNotInitializedError raised.
[[nodiscard]] PyObject* registered_runtime_or_raise() noexcept;

PyObject* module_get_runtime(PyObject* module, PyObject* unused) noexcept;
PyObject* module_set_runtime(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames) noexcept;

}  // namespace quorlin
