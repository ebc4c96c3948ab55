// Operating-system errors raised to Python, and the general RuntimeError path.
#pragma once

#include "common/py.hpp"

namespace quorlin {

// Raises the OSError subclass that the error number selects, with the single argument
// "<system text> (os error N)".  Always returns nullptr.
PyObject* raise_os_error(int error) noexcept;

// The general path: RuntimeError "<system text> (os error N)".  Always returns nullptr.
PyObject* raise_runtime_os_error(int error) noexcept;

// The general path for an internal condition with its own text.  Always returns nullptr.
PyObject* raise_runtime_error(const char* message) noexcept;

}  // namespace quorlin
