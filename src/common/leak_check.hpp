// Telling the leak checker about allocations that are held where it cannot look.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace quorlin::leak_check {

// The heap block that starts at `allocation` is not a leak, and what it points to is reachable
// through it.  For blocks whose only owner lies where the checker does not scan: a Python object
// (the interpreter's own heap), or a thread that has not started yet (its descriptor).  Each caller
// says which.  Nothing happens in builds without the checker.
inline void ignore([[maybe_unused]] const void* allocation) noexcept {
#if defined(__SANITIZE_ADDRESS__)
    __lsan_ignore_object(allocation);
#endif
}

}  // namespace quorlin::leak_check
