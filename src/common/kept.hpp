// Allocations kept for the life of the process on purpose.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace quorlin {

// Tells the leak checker that `allocation` (the start of a heap block) is never freed by design,
// and that what it points to is reachable through it.  The checker cannot see such a block's
// owner when that owner is a Python object: those live in the interpreter's own heap, which the
// checker does not scan.  Nothing happens in other builds.
inline void keep_for_the_process([[maybe_unused]] const void* allocation) noexcept {
#if defined(__SANITIZE_ADDRESS__)
    __lsan_ignore_object(allocation);
#endif
}

}  // namespace quorlin
