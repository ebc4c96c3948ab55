// A task slot's fire, and a blocking call that reports through it, without running Python code
// of our own.
//
// A blocking-pool thread reports its call's outcome while the task may be asking to abort that
// call, and the abort arrives as an asynchronous exception at the thread's next bytecode check.
// In Python code it could land between taking the task's lock and the `try` that gives it back,
// leaving the lock held for good, or before the report, leaving the task waiting for good.
// Native code runs no bytecode: here it can surface only inside the call itself, where it is the
// call's outcome.
#include "package/fire_slot.hpp"
#include "package/lock.hpp"

namespace quorlin {

namespace {

// 1 if this fired the slot, 0 if it was fired already, -1 with an exception set.
int fire(PyObject* slot, PyObject* value, PyObject* error) noexcept {
    py::Ref task = py::Ref::steal(PyObject_GetAttrString(slot, "task"));
    if (!task) return -1;
    py::Ref lock = py::Ref::steal(PyObject_GetAttrString(task.get(), "_lock"));
    if (!lock) return -1;
    PyMutex* mutex = fast_lock_mutex(lock.get());
    if (mutex == nullptr) return -1;

    PyMutex_Lock(mutex);
    int outcome = -1;
    // The event is read under the lock: a task woken by a kick swaps in a fresh event under the
    // same lock before it parks again, and setting the one it left would wake nobody.
    py::Ref event;
    py::Ref flag = py::Ref::steal(PyObject_GetAttrString(slot, "fired"));
    int already = flag ? PyObject_IsTrue(flag.get()) : -1;
    if (already == 1) {
        outcome = 0;
    } else if (already == 0 && (event = py::Ref::steal(PyObject_GetAttrString(slot, "event"))) &&
               PyObject_SetAttrString(slot, "value", value) == 0 &&
               PyObject_SetAttrString(slot, "error", error) == 0 &&
               PyObject_SetAttrString(slot, "fired", Py_True) == 0) {
        // The outcome before the flag, as `_Slot.fire` orders them; then the event.
        py::Ref done = py::Ref::steal(PyObject_CallMethod(event.get(), "set", nullptr));
        outcome = done ? 1 : -1;
    }
    PyMutex_Unlock(mutex);
    return outcome;
}

}  // namespace

PyObject* fire_slot(PyObject*, PyObject* const* args, Py_ssize_t count) noexcept {
    if (count != 3) {
        PyErr_Format(PyExc_TypeError, "fire_slot() takes exactly 3 arguments (%zd given)", count);
        return nullptr;
    }
    int outcome = fire(args[0], args[1], args[2]);
    if (outcome < 0) return nullptr;
    return Py_NewRef(outcome == 1 ? Py_True : Py_False);
}

PyObject* call_and_report(PyObject*, PyObject* const* args, Py_ssize_t count) noexcept {
    if (count != 6) {
        PyErr_Format(PyExc_TypeError, "call_and_report() takes exactly 6 arguments (%zd given)", count);
        return nullptr;
    }
    PyObject* slot = args[0];
    PyObject* origin_var = args[1];
    PyObject* origin = args[2];
    PyObject* before_report = args[3];
    PyObject* fn = args[4];
    PyObject* fn_args = args[5];
    if (!PyTuple_Check(fn_args)) {
        PyErr_SetString(PyExc_TypeError, "call_and_report() needs the call's arguments as a tuple");
        return nullptr;
    }
    py::Ref value;
    py::Ref error;
    py::Ref token = py::Ref::steal(PyContextVar_Set(origin_var, origin));
    if (token) value = py::Ref::steal(PyObject_Call(fn, fn_args, nullptr));
    if (!value) {
        error = py::Ref::steal(PyErr_GetRaisedException());
        value = py::Ref::none();
    } else {
        error = py::Ref::none();
    }
    if (before_report != Py_None) {
        py::Ref done = py::Ref::steal(PyObject_CallNoArgs(before_report));
        if (!done) PyErr_WriteUnraisable(before_report);
    }
    if (fire(slot, value.get(), error.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace quorlin
