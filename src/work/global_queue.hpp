// PLACEHOLDER: the lock-free multi-producer multi-consumer FIFO is built by the worker-pool work.
#pragma once

#include "work/work_item.hpp"

namespace quorlin {

class GlobalQueue {
public:
    GlobalQueue() = default;
};

}  // namespace quorlin
