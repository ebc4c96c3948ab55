// _run, in its first form: starts the worker pool, waits until _stopping is set, stops the pool.
//
// The wait is on an eventfd published in `loop_waker`, which the _stopping setter writes to, so
// the thread sleeps without polling.  The I/O driver replaces this file.
#include "errors/os_error.hpp"
#include "runtime/methods.hpp"
#include "runtime/record.hpp"
#include "work/pool.hpp"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <sys/eventfd.h>
#include <unistd.h>

namespace quorlin {

PyObject* runtime_run(PyObject* self, PyObject*) noexcept {
    RuntimeRecord& record = record_of(self);
    auto waker = std::make_shared<LoopWaker>();
    waker->fd = UniqueFd(::eventfd(0, EFD_CLOEXEC));
    if (!waker->fd) return raise_runtime_os_error(errno);
    (void)record.loop_waker.exchange(waker);

    int spawn_error = 0;
    if (!start_workers(self, &spawn_error)) {
        stop_workers(self);
        (void)record.loop_waker.take();
        return raise_runtime_error("failed to spawn thread");
    }
    PyObject* outcome = Py_None;
    // Ordering: seq_cst, as the setter stores it; the setter writes the eventfd after the store,
    // so a read that follows a stale check returns once the flag is set.
    while (!record.stopping.load(std::memory_order_seq_cst)) {
        uint64_t count = 0;
        ssize_t got = 0;
        int error = 0;
        {
            py::Detached detached;
            got = ::read(waker->fd.get(), &count, sizeof count);
            error = errno;
        }
        if (got >= 0) continue;
        if (error != EINTR) fatal("quorlin: reading the run loop's wake-up descriptor failed");
        if (PyErr_CheckSignals() < 0) {
            outcome = nullptr;  // a signal handler raised: stop and let the exception through
            break;
        }
    }
    stop_workers(self);
    (void)record.loop_waker.take();
    return outcome == nullptr ? nullptr : Py_NewRef(Py_None);
}

}  // namespace quorlin
