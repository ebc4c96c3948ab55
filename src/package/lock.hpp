// The package's own short-section lock (quorlin._fastpath.Lock).
#pragma once

#include "common/py.hpp"

namespace quorlin {

extern PyTypeObject fast_lock_type;

}  // namespace quorlin
