// The outcome of taking one item from a queue that other threads also take from.
#pragma once

namespace quorlin {

enum class [[nodiscard]] Steal {
    Empty,    // nothing to take at the moment of the attempt
    Success,  // an item was taken
    Retry,    // the attempt raced another taker; trying again may succeed
};

}  // namespace quorlin
