// The Waiter class and the registration of a yielded object.
//
// `await w` works through three members: __await__ gives `w`, whose first __next__ yields `w`
// itself up to the step, which registers it.  When the task is resumed with None the interpreter
// calls __next__ again, which now ends the iteration (so `await w` is None); with another value
// (the list of an all-of wait) it calls send(value); with an exception it calls throw(exc).
//
// A zero-event Waiter (a checkpoint) that a task awaits becomes that task's control handle: its
// abort flag is shared with every later registration of the task, and its current_registration
// cell holds the task's latest registration, so abort() can throw into the current wait.  The
// cell and the registration's TaskControl refer back to the Waiter natively; the cycle is broken
// when the registration is resumed, since the winner moves the TaskControl out.
#include "events/waiter.hpp"

#include "common/args.hpp"
#include "common/swap_cell.hpp"
#include "common/sys.hpp"
#include "errors/exceptions.hpp"
#include "events/event.hpp"
#include "events/registration.hpp"
#include "events/task_step.hpp"
#include "module/registry.hpp"
#include "module/types.hpp"
#include "runtime/methods.hpp"
#include "runtime/record.hpp"
#include "runtime/timers.hpp"
#include "work/push.hpp"

#include <atomic>
#include <new>
#include <optional>
#include <string>

namespace quorlin {

namespace {

struct WaiterObject {
    PyObject_HEAD
    // The one Event for a single-event Waiter, else a tuple of Events (possibly empty).  Fixed.
    py::Ref events;
    uint32_t event_count;
    bool has_timeout;
    uint32_t timeout_us;
    // Ordering: seq_cst; set once by the first registration, read by __next__ on the awaiting
    // thread, which the registering step ordered before any resumption.
    std::atomic<bool> registered;
    // Waiters with events: set by abort() and read by nobody else (their registrations never use
    // the awaited Waiter's own flag).
    AbortFlag own_abort;
    // Zero-event Waiters only: the flag shared with the registrations it controls, and the task's
    // latest registration.  Readers of the cell never block.
    std::shared_ptr<AbortFlag> control_flag;
    std::optional<SwapCell<WaitRegistration>> current_registration;
    // Zero-event Waiters only: the runtime whose task awaited it, the one an abort throws
    // through.  Written once, by the registration, before it publishes into the cell, so a reader
    // that finds a registration there sees it.
    py::Ref owner;
};

WaiterObject& waiter_of(PyObject* self) noexcept { return *reinterpret_cast<WaiterObject*>(self); }

PyObject* event_at(const WaiterObject& waiter, uint32_t index) noexcept {
    if (waiter.event_count == 1 && !PyTuple_Check(waiter.events.get())) return waiter.events.get();
    return PyTuple_GET_ITEM(waiter.events.get(), index);
}

// `events` is an Event (one event) or a tuple of Events.
PyObject* allocate_waiter(py::Ref events, uint32_t count, bool has_timeout, uint32_t timeout_us) noexcept {
    PyObject* self = waiter_type.tp_alloc(&waiter_type, 0);
    if (self == nullptr) return nullptr;
    WaiterObject& waiter = waiter_of(self);
    new (&waiter.events) py::Ref(std::move(events));
    waiter.event_count = count;
    waiter.has_timeout = has_timeout;
    waiter.timeout_us = timeout_us;
    new (&waiter.registered) std::atomic<bool>(false);
    new (&waiter.own_abort) AbortFlag(false);
    new (&waiter.control_flag) std::shared_ptr<AbortFlag>();
    new (&waiter.current_registration) std::optional<SwapCell<WaitRegistration>>();
    new (&waiter.owner) py::Ref();
    if (count == 0) {
        waiter.control_flag = std::make_shared<AbortFlag>(false);
        waiter.current_registration.emplace();
    }
    return self;
}

AbortFlag& abort_flag_of(WaiterObject& waiter) noexcept {
    return waiter.control_flag ? *waiter.control_flag : waiter.own_abort;
}

PyObject* waiter_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "Waiter() takes no keyword arguments");
        return nullptr;
    }
    Py_ssize_t count = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!args::check_instance(PyTuple_GET_ITEM(args, i), &event_type, "events")) return nullptr;
    }
    if (count > UINT32_MAX) {
        args::raise_out_of_range();
        return nullptr;
    }
    return allocate_waiter(py::Ref::new_ref(args), static_cast<uint32_t>(count), false, 0);
}

void waiter_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    WaiterObject& waiter = waiter_of(self);
    // The cell may hold the last share of a registration that still owns its coroutine.
    waiter.current_registration.~optional();
    waiter.owner.~Ref();
    waiter.control_flag.~shared_ptr();
    waiter.own_abort.~atomic();
    waiter.registered.~atomic();
    waiter.events.~Ref();
    Py_TYPE(self)->tp_free(self);
}

int waiter_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    // Only the events: the natively held registration is not visible to the collector.
    Py_VISIT(waiter_of(self).events.get());
    return 0;
}

PyObject* waiter_checkpoint(PyObject*, PyObject*) noexcept {
    return allocate_waiter(py::Ref::steal(PyTuple_New(0)), 0, false, 0);
}

PyObject* waiter_abort(PyObject* self, PyObject*) noexcept {
    WaiterObject& waiter = waiter_of(self);
    AbortFlag& flag = abort_flag_of(waiter);
    // A second abort has the effect of the first, whatever the registry holds.
    if (flag.load(std::memory_order_seq_cst)) Py_RETURN_NONE;
    const bool controls = waiter.current_registration && waiter.current_registration->load();
    // Refused while the flag is clear: no abort is delivered without a registered runtime, and
    // the task's parked wait stays as it was.  (The registry is write-once.)
    if (controls && registered_runtime() == nullptr) {
        return raise_without_arguments(runtime_not_initialized_error_type());
    }
    bool expected = false;
    if (!flag.compare_exchange_strong(expected, true, std::memory_order_seq_cst)) Py_RETURN_NONE;
    if (!waiter.current_registration) Py_RETURN_NONE;
    std::shared_ptr<WaitRegistration> registration = waiter.current_registration->load();
    if (!registration) Py_RETURN_NONE;
    py::Ref error = new_execution_aborted();
    if (!error) return nullptr;
    // The task's own runtime, which may not be the registered one: its workers run the throw.
    abort_throw(registration, waiter.owner.get(), std::move(error));
    Py_RETURN_NONE;
}

PyObject* waiter_send(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static const args::Signature signature{"send", {"value"}, 1};
    PyObject* bound[1];
    if (!args::bind(signature, args, nargsf, kwnames, bound)) return nullptr;
    // None makes the exception without arguments, as PyErr_SetObject(StopIteration, None) does.
    // Any other value is wrapped here so that a tuple or an exception arrives whole as `value`
    // (handing the bare value to PyErr_SetObject would unpack a tuple into arguments).
    if (bound[0] == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    py::Ref stop = py::Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, bound[0]));
    if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
    return nullptr;
}

PyObject* waiter_throw(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static const args::Signature signature{"throw", {"value"}, 1};
    PyObject* bound[1];
    if (!args::bind(signature, args, nargsf, kwnames, bound)) return nullptr;
    PyObject* value = bound[0];
    if (PyExceptionInstance_Check(value)) {
        PyErr_SetRaisedException(Py_NewRef(value));
    } else if (PyExceptionClass_Check(value)) {
        PyErr_SetNone(value);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

PyObject* waiter_await(PyObject* self) noexcept { return Py_NewRef(self); }

PyObject* waiter_next(PyObject* self) noexcept {
    // Once registered, the iteration ends without a value, so `await` evaluates to None.
    if (waiter_of(self).registered.load(std::memory_order_seq_cst)) return nullptr;
    return Py_NewRef(self);
}

// An exception instance of `type` with the str `message` (empty if building that failed), or
// whatever was raised building it.
py::Ref new_error(PyObject* type, py::Ref message) noexcept {
    py::Ref error = message ? py::Ref::steal(PyObject_CallOneArg(type, message.get())) : py::Ref();
    return error ? std::move(error) : py::fetch_exception();
}

py::Ref execution_aborted() noexcept {
    py::Ref error = new_execution_aborted();
    return error ? std::move(error) : py::fetch_exception();
}

// The text of `repr(object)` as a str, even one that UTF-8 cannot encode (a lone surrogate); if
// repr raises, that error goes to the unraisable hook and the type's "<unprintable ...>" is used.
py::Ref repr_text(PyObject* object) noexcept {
    py::Ref text = py::Ref::steal(PyObject_Repr(object));
    if (text) return text;
    PyErr_WriteUnraisable(object);
    return py::Ref::steal(PyUnicode_FromFormat("<unprintable %s object>", args::type_name(Py_TYPE(object)).c_str()));
}

py::Ref refused_yield(PyObject* yielded) noexcept {
    py::Ref shown = repr_text(yielded);
    if (!shown) return py::fetch_exception();
    return new_error(PyExc_TypeError, py::Ref::steal(PyUnicode_FromFormat(
                                          "cannot await %U on the quorlin runtime: coroutines may only yield "
                                          "quorlin `Waiter` objects (a stock `asyncio.Future` yields itself and is "
                                          "not drivable here)",
                                          shown.get())));
}

// A checkpoint: the Waiter becomes the task's control handle and the task resumes at once (or
// takes the CancelledError of an abort that came first).
void register_checkpoint(PyObject* runtime, Task& task, PyObject* self) noexcept {
    WaiterObject& waiter = waiter_of(self);
    std::shared_ptr<TaskControl> previous = std::move(task.control);
    auto control = std::make_shared<TaskControl>(TaskControl{py::Ref::new_ref(self)});
    auto registration = std::make_shared<WaitRegistration>(
        Task{std::move(task.coroutine), std::move(task.context), std::move(control)}, waiter.control_flag, 0);
    waiter.owner = py::Ref::new_ref(runtime);  // registered once, so written once; before the cell
    std::shared_ptr<WaitRegistration> replaced = waiter.current_registration->exchange(registration);
    if (waiter.control_flag->load(std::memory_order_seq_cst)) {
        abort_throw(registration, runtime, execution_aborted());
    } else {
        fire(registration, runtime, 0);
    }
    // `replaced` and `previous` go here: the task's control Waiter is now this one.
}

void register_on_events(PyObject* runtime, Task& task, PyObject* self) noexcept {
    WaiterObject& waiter = waiter_of(self);
    std::shared_ptr<AbortFlag> flag;
    WaiterObject* control_waiter = nullptr;
    if (task.control) {
        control_waiter = &waiter_of(task.control->waiter.get());
        flag = control_waiter->control_flag;
    }
    auto registration = std::make_shared<WaitRegistration>(std::move(task), std::move(flag), waiter.event_count);
    std::shared_ptr<WaitRegistration> replaced;
    if (control_waiter != nullptr) replaced = control_waiter->current_registration->exchange(registration);
    // A task whose control flag is already set would otherwise park where every firing is
    // ignored; it takes the CancelledError at once, as a checkpoint does.  An abort that sets the
    // flag after this check finds the registration in the control cell and throws itself.
    if (registration->aborted()) {
        abort_throw(registration, runtime, execution_aborted());
        return;
    }
    for (uint32_t i = 0; i < waiter.event_count; ++i) event_add_wait(event_at(waiter, i), runtime, registration, i);
    if (waiter.has_timeout) add_timed_wait(record_of(runtime), registration, waiter.timeout_us);
}

PyMethodDef waiter_methods[] = {
    {"checkpoint", waiter_checkpoint, METH_NOARGS | METH_STATIC, "checkpoint()\n--\n\n"},
    {"abort", waiter_abort, METH_NOARGS, "abort($self)\n--\n\n"},
    {"send", as_method(waiter_send), METH_FASTCALL | METH_KEYWORDS, "send($self, value)\n--\n\n"},
    {"throw", as_method(waiter_throw), METH_FASTCALL | METH_KEYWORDS, "throw($self, value)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods waiter_async = {waiter_await, nullptr, nullptr, nullptr};

}  // namespace

py::Ref new_waiter(PyObject* event, bool has_timeout, uint32_t timeout_us) noexcept {
    return py::Ref::steal(allocate_waiter(py::Ref::new_ref(event), 1, has_timeout, timeout_us));
}

py::Ref register_wait(PyObject* runtime, Task& task, PyObject* yielded) noexcept {
    if (yielded == Py_None) {
        push_deferred(record_of(runtime), make_send_step(std::move(task), py::Ref::none()));
        return {};
    }
    if (!PyObject_TypeCheck(yielded, &waiter_type)) return refused_yield(yielded);
    bool expected = false;
    if (!waiter_of(yielded).registered.compare_exchange_strong(expected, true, std::memory_order_seq_cst)) {
        return new_error(PyExc_RuntimeError, py::Ref::steal(PyUnicode_FromString("Waiter already registered")));
    }
    if (waiter_of(yielded).event_count == 0) {
        register_checkpoint(runtime, task, yielded);
    } else {
        register_on_events(runtime, task, yielded);
    }
    return {};
}

PyTypeObject waiter_type = [] {
    PyTypeObject type = py::static_type();
    type.tp_name = "quorlin._quorlin.Waiter";
    type.tp_basicsize = sizeof(WaiterObject);
    type.tp_dealloc = waiter_dealloc;
    type.tp_as_async = &waiter_async;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type.tp_doc = "Waiter(*events)\n--\n\n";
    type.tp_traverse = waiter_traverse;
    type.tp_iternext = waiter_next;
    type.tp_methods = waiter_methods;
    type.tp_new = waiter_new;
    return type;
}();

}  // namespace quorlin
