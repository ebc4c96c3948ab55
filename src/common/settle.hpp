// Letting the interpreter catch up on a native thread that runs no Python code of its own.
//
// The free-threaded interpreter leaves some work to be done by the thread it concerns, at that
// thread's next check for pending work in the eval loop: above all, merging the reference counts
// of objects the thread made and other threads released (biased reference counting), which is
// what finally frees them, and releasing memory whose freeing it had delayed.  A worker thread
// that only ever calls C functions (a blocking call such as `sum` or `socket.recv`) never reaches
// such a check, so every object it made that another thread dropped would stay allocated for the
// worker's life.  Calling a Python function that does nothing makes the check happen.
#pragma once

namespace quorlin {

// Runs the check on the calling thread, which must be attached.  Whatever it raises (an
// asynchronous exception meant for a call that has ended) is dropped.
void settle_thread() noexcept;

}  // namespace quorlin
