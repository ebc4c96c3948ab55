// The module's three exception classes, each created once per process on first use.
#pragma once

#include "common/py.hpp"

namespace quorlin {

// Borrowed references to the classes (kept for the process's life), or nullptr with an error set.
[[nodiscard]] PyObject* cancelled_error_type() noexcept;
[[nodiscard]] PyObject* runtime_already_initialized_error_type() noexcept;
[[nodiscard]] PyObject* runtime_not_initialized_error_type() noexcept;

// Raises the class with no arguments; always returns nullptr.
PyObject* raise_without_arguments(PyObject* type) noexcept;

// A new CancelledError("Execution aborted") instance, or an empty Ref with an error set.
[[nodiscard]] py::Ref new_execution_aborted() noexcept;

}  // namespace quorlin
