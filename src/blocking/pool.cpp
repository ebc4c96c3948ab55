// Runtime._spawn_blocking: queue one blocking call and grow the pool on demand.
//
// The record is always queued before the decision to start a worker, and the decision reads
// `blocking_live` after the send; blocking/worker.cpp explains why this order, together with an
// ending worker's last look at the queue, never leaves a record behind with no worker counted.
// A submission starts a worker whenever fewer than `threads_blocking` are counted, even if one of
// them is idle; the surplus retires after its idle timeout.
#include "blocking/queue.hpp"
#include "blocking/task_ctl.hpp"
#include "blocking/worker.hpp"
#include "common/interpreter_exit.hpp"
#include "errors/os_error.hpp"
#include "events/event.hpp"
#include "events/result.hpp"
#include "runtime/methods.hpp"
#include "runtime/record.hpp"

#include <memory>
#include <optional>

namespace quorlin {

namespace {

// After the send: starts a worker if there is room.  False with RuntimeError set only when the
// system refuses the thread, no worker is counted to take the record, and the record could be
// taken back out of the queue (so it will never run).
bool start_worker_if_room(RuntimeRecord& record, PyObject* ctl) noexcept {
    std::atomic<size_t>& live = *record.blocking_live;
    // Ordering: seq_cst, and after the send (see blocking/worker.cpp).
    if (live.load(std::memory_order_seq_cst) >= record.threads_blocking) return true;
    if (!reserve_blocking_worker(live, record.threads_blocking)) return true;
    int error = 0;
    if (start_blocking_worker(record, &error)) return true;
    live.fetch_sub(1, std::memory_order_seq_cst);
    // A counted worker looks at the queue before it ends, so it will take the record.
    if (live.load(std::memory_order_seq_cst) != 0) return true;
    // The tuple being returned keeps `ctl` alive, so its address names this record alone.
    std::optional<TaskPtr> taken =
        record.blocking_queue->sender.withdraw([ctl](const TaskPtr& task) { return task->ctl.get() == ctl; });
    if (!taken) return true;  // a worker got it in the meantime
    taken.reset();
    raise_runtime_error("failed to spawn thread");
    return false;
}

PyObject* spawn_blocking_impl(RuntimeRecord& record, PyObject* f, py::Ref args, py::Ref kwargs) noexcept {
    if (record.threads_blocking == 0) {
        // Such a call could never run: refuse it rather than queue it forever.
        PyErr_SetString(PyExc_RuntimeError, "cannot run a blocking call: threads_blocking is 0");
        return nullptr;
    }
    if (interpreter_exit::exiting()) {
        // No worker starts or wakes to run it any more (see common/interpreter_exit.hpp).
        PyErr_SetString(PyExc_RuntimeError, "cannot run a blocking call: the interpreter is exiting");
        return nullptr;
    }
    if (!thread_ident_source_ready()) return nullptr;
    py::Ref context;
    if (record.context) {
        context = py::Ref::steal(PyContext_CopyCurrent());
        if (!context) return nullptr;
    }
    py::Ref event = new_event();
    if (!event) return nullptr;
    py::Ref result = new_result(2);
    if (!result) return nullptr;
    py::Ref ctl = new_blocking_task_ctl();
    if (!ctl) return nullptr;
    // Made before the send, so that nothing can fail between queuing and returning but the start
    // of a worker.
    py::Ref returned = py::Ref::steal(PyTuple_Pack(3, ctl.get(), event.get(), result.get()));
    if (!returned) return nullptr;
    PyObject* ctl_object = ctl.get();
    record.blocking_queue->sender.send(std::make_unique<BlockingTask>(
        BlockingTask{std::move(event), std::move(result), std::move(ctl), py::Ref::new_ref(f), std::move(args),
                     std::move(kwargs), std::move(context)}));
    if (!start_worker_if_room(record, ctl_object)) return nullptr;
    return returned.release();
}

}  // namespace

PyObject* runtime_spawn_blocking(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) noexcept {
    // Binds as the Python signature (f, *args, **kwargs) does.
    Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    PyObject* f = positional > 0 ? args[0] : nullptr;
    py::Ref kwargs;
    Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[positional + k];
        if (PyUnicode_EqualToUTF8(name, "f")) {
            if (f != nullptr) {
                PyErr_SetString(PyExc_TypeError, "_spawn_blocking() got multiple values for argument 'f'");
                return nullptr;
            }
            f = value;
            continue;
        }
        if (!kwargs) {
            kwargs = py::Ref::steal(PyDict_New());
            if (!kwargs) return nullptr;
        }
        if (PyDict_SetItem(kwargs.get(), name, value) < 0) return nullptr;
    }
    if (f == nullptr) {
        PyErr_SetString(PyExc_TypeError, "_spawn_blocking() missing 1 required positional argument: 'f'");
        return nullptr;
    }
    Py_ssize_t count = positional > 0 ? positional - 1 : 0;
    py::Ref call_args = py::Ref::steal(PyTuple_New(count));
    if (!call_args) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(call_args.get(), i, Py_NewRef(args[i + 1]));
    return spawn_blocking_impl(record_of(self), f, std::move(call_args), std::move(kwargs));
}

}  // namespace quorlin
