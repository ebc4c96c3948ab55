// PLACEHOLDER: the blocking pool's queue is built by the blocking-pool work.
#pragma once

#include <memory>

namespace quorlin {

struct BlockingQueueEnds {};

inline std::unique_ptr<BlockingQueueEnds> make_blocking_queue() { return std::make_unique<BlockingQueueEnds>(); }

}  // namespace quorlin
