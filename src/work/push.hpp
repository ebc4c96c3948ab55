// The three ways to queue a WorkItem.  None fails or blocks; all may be called from any thread.
#pragma once

#include "work/work_item.hpp"

namespace quorlin {

struct RuntimeRecord;

// On a coroutine worker: the back of its own queue; elsewhere: the global queue.  Then a
// claiming wake.
void push_soon(RuntimeRecord& runtime, ItemPtr item) noexcept;
// The global queue, whatever the calling thread.  Then a claiming wake.
void push_deferred(RuntimeRecord& runtime, ItemPtr item) noexcept;
// The global queue, then an eager wake.  For the run loop and ScheduledIO.close only.
void push_from_loop(RuntimeRecord& runtime, ItemPtr item) noexcept;

}  // namespace quorlin
