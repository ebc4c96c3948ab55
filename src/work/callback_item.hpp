// The work item that calls a Python callable with no arguments.
#pragma once

#include "common/py.hpp"
#include "work/work_item.hpp"

namespace quorlin {

// Calls `callable()` on a worker; an exception goes to the unraisable hook.
[[nodiscard]] ItemPtr make_callback_item(py::Ref callable) noexcept;

}  // namespace quorlin
