// Result: a fixed number of lock-guarded value slots.
#pragma once

#include "common/py.hpp"

#include <cstdint>

namespace quorlin {

// A new Result with `size` slots, all None, or an empty Ref with an error set.
[[nodiscard]] py::Ref new_result(uint32_t size) noexcept;

// Stores a new reference to `value` in slot `index` of a Result; false with an error set when the
// index is not below its size.
[[nodiscard]] bool result_store(PyObject* result, PyObject* value, uint32_t index) noexcept;

}  // namespace quorlin
