// Native threads and the interpreter's exit.
//
// Thread states.  On 3.14 a finalizing interpreter hangs every thread state it knows of the next
// time that thread attaches, and clears those thread states itself.  A thread state it does not
// know of is another matter: one made after finalization has begun attaches as usual and runs
// beside the finalizing interpreter (its last collections, the clearing of modules), and one made
// after the interpreter is gone crashes inside PyGILState_Ensure.  Deleting a thread state
// (PyGILState_Release) races the interpreter's own clearing of it in the same way.  So a native
// thread makes and deletes its thread state either before the interpreter begins to exit, or never.
//
// The gate: a thread passes it for the duration of making its thread state at its start and of
// deleting it at its end.  A callback registered with `atexit`, which the interpreter runs
// while it is still whole and before it begins finalizing, closes the gate and waits (detached)
// until every thread inside has come out.  A thread that finds the gate closed leaves its thread
// state alone: at its start it ends without attaching; at its end it detaches and sleeps until the
// process exits, and the interpreter treats its thread state as a daemon thread's.
//
// Quiet after exit.  A thread that re-attaches a thread state the interpreter knows is safe from
// the rule above: once the interpreter finalizes it keeps that thread in the re-attach for good.
// But 3.14 also hangs a thread that re-attaches inside a contended PyMutex_Lock after the mutex
// was handed to it, and the mutex then stays locked for good: finalization, which needs the same
// mutexes (those of biased reference counting, for a start), deadlocks.  Every Py_DECREF of an
// object another thread owns may take such a mutex.  So once the gate is closed the module's
// threads stop touching Python where they can: a worker that wakes from a wait, or finishes an
// item or a call, leaves what it holds to the exiting process and sleeps, detached.  Only work
// already running when the interpreter began to exit (user code) still runs.  As for
// `concurrent.futures`, no new worker thread starts once the interpreter is exiting.
#pragma once

#include "common/py.hpp"

namespace quorlin::interpreter_exit {

// Registers the closing of the gate with `atexit`, once per process.  -1 with an exception set.
[[nodiscard]] int watch() noexcept;

// True once the interpreter has begun to exit (the gate is closed).
[[nodiscard]] bool exiting() noexcept;

enum class Attach {
    attached,
    exiting,      // the interpreter has begun to exit: nothing was made
    out_of_memory,  // no thread state could be made: nothing was made
};

// The thread state of a native thread the module starts (a worker of either pool), for the
// thread's life: made and attached by the first attach, deleted by the last detach, each only
// while the interpreter is not exiting.  In between the thread stays attached except inside
// py::Detached scopes (its waits).  (PyGILState_Ensure would end the whole process when the
// thread state cannot be allocated, as under a tight address-space limit.)
class ThreadAttachment {
public:
    // The first attach.  Unless outcome() is `attached`, the thread must end without touching
    // any Python object.
    ThreadAttachment() noexcept;
    ThreadAttachment(const ThreadAttachment&) = delete;
    ThreadAttachment& operator=(const ThreadAttachment&) = delete;

    [[nodiscard]] Attach outcome() const noexcept { return outcome_; }

    // The last detach: clears and deletes the state.  False once the interpreter has begun to
    // exit: the thread is then detached but keeps its thread state, must touch no Python object
    // again, and ends with `sleep_forever` once it has released what it holds natively.
    [[nodiscard]] bool end() noexcept;

    // Once the interpreter is exiting: detaches for good, if attached, keeping the thread state,
    // and sleeps until the process exits.
    [[noreturn]] static void retire() noexcept;

private:
    PyThreadState* state_ = nullptr;
    Attach outcome_;
};

// Never returns; the thread sleeps until the process exits.
[[noreturn]] void sleep_forever() noexcept;

}  // namespace quorlin::interpreter_exit
