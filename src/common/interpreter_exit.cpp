#include "common/interpreter_exit.hpp"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <unistd.h>

namespace quorlin::interpreter_exit {

namespace {

// `inside` and `closed` are guarded by `mutex`, which a thread takes only twice in its life.
// `closed_flag` mirrors `closed` for the frequent checks of exiting().
struct Gate {
    std::mutex mutex;
    std::condition_variable emptied;
    size_t inside = 0;
    bool closed = false;
    std::atomic<bool> closed_flag{false};
};

Gate gate;

bool enter() noexcept {
    std::lock_guard lock(gate.mutex);
    if (gate.closed) return false;
    ++gate.inside;
    return true;
}

void leave() noexcept {
    std::lock_guard lock(gate.mutex);
    if (--gate.inside == 0) gate.emptied.notify_all();
}

// The atexit callback.  Runs on the exiting thread, attached; waits detached, since a thread inside
// the gate may itself wait for a stop-the-world pause to end.
PyObject* close_gate(PyObject*, PyObject*) noexcept {
    {
        py::Detached detached;
        std::unique_lock lock(gate.mutex);
        gate.closed = true;
        // Ordering: release/acquire is enough for a flag that only makes threads stop early; the
        // gate itself relies on the mutex.
        gate.closed_flag.store(true, std::memory_order_release);
        gate.emptied.wait(lock, [] { return gate.inside == 0; });
    }
    Py_RETURN_NONE;
}

PyMethodDef close_gate_def = {"_quorlin_threads_exit", close_gate, METH_NOARGS, nullptr};

std::atomic<bool> watching{false};

}  // namespace

int watch() noexcept {
    // Ordering: module bodies run under the import lock; acquire/release only keeps a second body
    // from registering a second callback.
    if (watching.load(std::memory_order_acquire)) return 0;
    py::Ref atexit = py::Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return -1;
    py::Ref callback = py::Ref::steal(PyCFunction_New(&close_gate_def, nullptr));
    if (!callback) return -1;
    py::Ref registered = py::Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
    if (!registered) return -1;
    watching.store(true, std::memory_order_release);
    return 0;
}

bool exiting() noexcept { return gate.closed_flag.load(std::memory_order_acquire); }

ThreadAttachment::ThreadAttachment() noexcept : outcome_(Attach::exiting) {
    if (!enter()) return;
    // Made detached, as PyGILState_Ensure makes one; bound as the thread's own, so that nested
    // PyGILState_Ensure/Release pairs in code the thread runs find it.
    state_ = PyThreadState_New(PyInterpreterState_Main());
    if (state_ != nullptr) PyEval_RestoreThread(state_);
    leave();
    outcome_ = state_ != nullptr ? Attach::attached : Attach::out_of_memory;
}

bool ThreadAttachment::end() noexcept {
    if (!enter()) {
        (void)PyEval_SaveThread();
        return false;
    }
    PyThreadState_Clear(state_);
    PyThreadState_DeleteCurrent();
    state_ = nullptr;
    leave();
    return true;
}

void ThreadAttachment::retire() noexcept {
    // A detached thread has no current thread state.
    if (PyThreadState_GetUnchecked() != nullptr) (void)PyEval_SaveThread();
    sleep_forever();
}

void sleep_forever() noexcept {
    for (;;) ::pause();
}

}  // namespace quorlin::interpreter_exit
