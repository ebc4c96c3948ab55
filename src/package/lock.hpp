// The package's own short-section lock (quorlin._fastpath.Lock).
#pragma once

#include "common/py.hpp"

namespace quorlin {

extern PyTypeObject fast_lock_type;

// The mutex of a quorlin._fastpath.Lock, or null with TypeError set if `object` is not one.
PyMutex* fast_lock_mutex(PyObject* object) noexcept;

}  // namespace quorlin
