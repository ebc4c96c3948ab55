// PLACEHOLDER: the IoRegistration record (readiness word, slots, arm / consume / clear /
// take_waiters) is built by the I/O work.
#pragma once

#include <cstdint>

namespace quorlin {

struct alignas(128) IoRegistration {
    int32_t fd = -1;
};

}  // namespace quorlin
