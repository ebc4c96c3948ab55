// BlockingTaskCtl and its abort window.
//
// A worker opens the window by publishing its thread identifier before the call and closes it
// once the call has returned.  abort() raises CancelledError asynchronously in the published
// thread.  Two things could make a request outlive its own call and hit whatever the thread runs
// next: an abort that read the identifier just before the window closed and delivers just after,
// and a request that arrived after the call's last Python code and so never surfaced.  The
// close handles both:
//
//   abort:  aborts_in_flight += 1;  ident = thread_ident;  if ident: delivered = 1, deliver;
//           aborts_in_flight -= 1
//   close:  thread_ident = 0;  wait until aborts_in_flight == 0;  if delivered: withdraw
//
// All four are seq_cst, which makes the first two lines of each a store-then-load pair over two
// locations: either the abort reads 0 and delivers nothing, or the close reads the abort as in
// flight and waits for its delivery.  After the wait no abort can deliver, so withdrawing the
// thread's pending asynchronous exception (PyThreadState_SetAsyncExc with NULL) leaves nothing
// behind.  A delivered request that surfaced inside the call was consumed there; withdrawing
// again is harmless.  The withdrawal is skipped when nothing was delivered, the common case.
#include "blocking/task_ctl.hpp"

#include "errors/exceptions.hpp"
#include "module/types.hpp"

#include <atomic>
#include <cstdint>
#include <new>

namespace quorlin {

namespace {

struct AbortWindow {
    // 0 until a worker picks the call up and again once the call has returned.
    std::atomic<unsigned long> thread_ident{0};
    std::atomic<uint32_t> aborts_in_flight{0};
    // Set by an abort that delivered; read by the close after the in-flight count drained.
    std::atomic<uint8_t> delivered{0};
};

struct BlockingTaskCtlObject {
    PyObject_HEAD
    AbortWindow window;
};

AbortWindow& window_of(PyObject* ctl) noexcept { return reinterpret_cast<BlockingTaskCtlObject*>(ctl)->window; }

void ctl_dealloc(PyObject* self) noexcept {
    window_of(self).~AbortWindow();
    PyObject_Free(self);
}

PyObject* ctl_abort(PyObject* self, PyObject*) noexcept {
    AbortWindow& window = window_of(self);
    // A queued or finished call: nothing to do, and no need to look the class up.
    if (window.thread_ident.load(std::memory_order_seq_cst) == 0) Py_RETURN_NONE;
    // Fetched before entering the window: its first creation may wait, and a closing worker
    // would wait for us meanwhile.
    PyObject* cancelled = cancelled_error_type();
    if (cancelled == nullptr) return nullptr;
    window.aborts_in_flight.fetch_add(1, std::memory_order_seq_cst);
    if (unsigned long ident = window.thread_ident.load(std::memory_order_seq_cst)) {
        window.delivered.store(1, std::memory_order_seq_cst);
        (void)PyThreadState_SetAsyncExc(ident, cancelled);  // the count of thread states is of no use here
    }
    if (window.aborts_in_flight.fetch_sub(1, std::memory_order_seq_cst) == 1) window.aborts_in_flight.notify_all();
    Py_RETURN_NONE;
}

}  // namespace

py::Ref new_blocking_task_ctl() noexcept {
    auto* ctl = PyObject_New(BlockingTaskCtlObject, &blocking_task_ctl_type);
    if (ctl == nullptr) return {};
    new (&ctl->window) AbortWindow();
    return py::Ref::steal(reinterpret_cast<PyObject*>(ctl));
}

void blocking_task_ctl_open(PyObject* ctl, unsigned long ident) noexcept {
    window_of(ctl).thread_ident.store(ident, std::memory_order_seq_cst);
}

void blocking_task_ctl_close(PyObject* ctl, unsigned long ident) noexcept {
    AbortWindow& window = window_of(ctl);
    window.thread_ident.store(0, std::memory_order_seq_cst);
    for (uint32_t in_flight; (in_flight = window.aborts_in_flight.load(std::memory_order_seq_cst)) != 0;) {
        // Detached: a thread that waits on another must never hold up a stop-the-world pause.
        py::Detached detached;
        window.aborts_in_flight.wait(in_flight, std::memory_order_seq_cst);
    }
    if (window.delivered.exchange(0, std::memory_order_seq_cst) != 0) (void)PyThreadState_SetAsyncExc(ident, nullptr);
}

namespace {

PyMethodDef ctl_methods[] = {
    {"abort", ctl_abort, METH_NOARGS, "abort($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject blocking_task_ctl_type = [] {
    PyTypeObject type = py::static_type();
    type.tp_name = "quorlin._quorlin.BlockingTaskCtl";
    type.tp_basicsize = sizeof(BlockingTaskCtlObject);
    type.tp_dealloc = ctl_dealloc;
    // Made only by _spawn_blocking: calling the class raises TypeError.
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    type.tp_doc = nullptr;
    type.tp_methods = ctl_methods;
    return type;
}();

}  // namespace quorlin
