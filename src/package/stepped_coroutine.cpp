// quorlin._fastpath.SteppedCoroutine: wraps the coroutine of a task so that another thread can
// look at its frames safely.
//
// A coroutine's frames belong to the thread that is stepping it: reading `cr_frame` or `cr_await`
// while a worker resumes or suspends it reads the frame state and the value stack as they change,
// and can hand back an object that the step is about to release.  A task's bookkeeping cannot
// tell a parked task from one that is still on its way out of its step, or already resumed by a
// timer.  So each step (send, throw, close) holds a lock, and `inspect_idle(fn)` calls `fn` only
// if it can take that lock without waiting: the coroutine is then suspended and stays so until
// `fn` returns; a step that arrives meanwhile waits, with its thread state detached.
#include "package/stepped_coroutine.hpp"

namespace quorlin {

namespace {

struct SteppedObject {
    PyObject_HEAD
    PyObject* coroutine;  // null only after the cyclic collector cleared it
    PyMutex step_lock;
};

SteppedObject& stepped(PyObject* self) noexcept { return *reinterpret_cast<SteppedObject*>(self); }

// PyMutex has no try-lock; this is PyMutex_Lock's own inline fast path without the slow path that
// parks.  A lock that is free but has parked waiters counts as busy, which is what it is about to be.
bool try_lock(PyMutex& mutex) noexcept {
    uint8_t expected = _Py_UNLOCKED;
    return _Py_atomic_compare_exchange_uint8(&mutex._bits, &expected, _Py_LOCKED);
}

// The wrapped coroutine, with a new reference, or null with RuntimeError set once cleared.
PyObject* coroutine_of(PyObject* self) noexcept {
    PyObject* coroutine = stepped(self).coroutine;
    if (coroutine == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the coroutine was released");
        return nullptr;
    }
    return Py_NewRef(coroutine);
}

PyObject* make_stepped(PyTypeObject* type, PyObject* coroutine) noexcept {
    PyAsyncMethods* async = Py_TYPE(coroutine)->tp_as_async;
    if (async == nullptr || async->am_send == nullptr) {
        PyErr_Format(PyExc_TypeError, "SteppedCoroutine() expects a coroutine, got %T", coroutine);
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    stepped(self).coroutine = Py_NewRef(coroutine);
    stepped(self).step_lock = PyMutex{};
    return self;
}

constexpr const char* one_argument = "SteppedCoroutine() takes exactly one positional argument";

PyObject* stepped_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    if (PyTuple_GET_SIZE(args) != 1 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, one_argument);
        return nullptr;
    }
    return make_stepped(type, PyTuple_GET_ITEM(args, 0));
}

// Every spawn makes one: called without building an argument tuple.
PyObject* stepped_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    if (PyVectorcall_NARGS(nargsf) != 1 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, one_argument);
        return nullptr;
    }
    return make_stepped(reinterpret_cast<PyTypeObject*>(type), args[0]);
}

int stepped_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(stepped(self).coroutine);
    return 0;
}

int stepped_clear(PyObject* self) noexcept {
    Py_CLEAR(stepped(self).coroutine);
    return 0;
}

void stepped_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    stepped_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PySendResult stepped_send(PyObject* self, PyObject* value, PyObject** result) noexcept {
    py::Ref coroutine = py::Ref::steal(coroutine_of(self));
    if (!coroutine) {
        *result = nullptr;
        return PYGEN_ERROR;
    }
    PyMutex& lock = stepped(self).step_lock;
    PyMutex_Lock(&lock);
    PySendResult outcome = PyIter_Send(coroutine.get(), value, result);
    PyMutex_Unlock(&lock);
    return outcome;
}

// send(value): a step as the runtime takes it, reported the way a coroutine's send reports it.
PyObject* stepped_send_method(PyObject* self, PyObject* value) noexcept {
    PyObject* result = nullptr;
    switch (stepped_send(self, value, &result)) {
    case PYGEN_NEXT:
        return result;
    case PYGEN_RETURN: {
        py::Ref returned = py::Ref::steal(result);
        py::Ref stop = py::Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, returned.get()));
        if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
        return nullptr;
    }
    case PYGEN_ERROR:
        break;
    }
    return nullptr;
}

// Interned once, when the type is readied: a throw step names its method on every call.
PyObject* throw_name = nullptr;
PyObject* close_name = nullptr;

// throw(exception) and close(): the coroutine's own methods, under the step lock.
PyObject* call_locked(PyObject* self, PyObject* name, PyObject* argument) noexcept {
    py::Ref coroutine = py::Ref::steal(coroutine_of(self));
    if (!coroutine) return nullptr;
    PyMutex& lock = stepped(self).step_lock;
    PyMutex_Lock(&lock);
    PyObject* outcome = argument != nullptr ? PyObject_CallMethodOneArg(coroutine.get(), name, argument)
                                            : PyObject_CallMethodNoArgs(coroutine.get(), name);
    PyMutex_Unlock(&lock);
    return outcome;
}

PyObject* stepped_throw(PyObject* self, PyObject* exception) noexcept { return call_locked(self, throw_name, exception); }

PyObject* stepped_close(PyObject* self, PyObject*) noexcept { return call_locked(self, close_name, nullptr); }

PyObject* stepped_inspect_idle(PyObject* self, PyObject* fn) noexcept {
    PyMutex& lock = stepped(self).step_lock;
    if (!try_lock(lock)) Py_RETURN_NONE;
    PyObject* outcome = PyObject_CallNoArgs(fn);
    PyMutex_Unlock(&lock);
    return outcome;
}

PyObject* stepped_repr(PyObject* self) noexcept {
    PyObject* coroutine = stepped(self).coroutine;
    if (coroutine == nullptr) return PyUnicode_FromString("<quorlin._fastpath.SteppedCoroutine (released)>");
    return PyObject_Repr(coroutine);  // what a report of an unhandled error names
}

PyMethodDef stepped_methods[] = {
    {"send", stepped_send_method, METH_O, "send($self, value, /)\n--\n\n"},
    {"throw", stepped_throw, METH_O, "throw($self, exception, /)\n--\n\n"},
    {"close", stepped_close, METH_NOARGS, "close($self)\n--\n\n"},
    {"inspect_idle", stepped_inspect_idle, METH_O,
     "inspect_idle($self, fn, /)\n--\n\nCalls fn() if no thread is stepping the coroutine, which then stays\n"
     "suspended until fn returns; returns what fn returned, or None if the coroutine is being stepped."},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods stepped_async = {nullptr, nullptr, nullptr, stepped_send};

}  // namespace

PyTypeObject stepped_coroutine_type = [] {
    PyTypeObject type = py::static_type();
    type.tp_name = "quorlin._fastpath.SteppedCoroutine";
    type.tp_basicsize = sizeof(SteppedObject);
    type.tp_dealloc = stepped_dealloc;
    type.tp_repr = stepped_repr;
    type.tp_as_async = &stepped_async;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type.tp_doc = "SteppedCoroutine(coroutine)\n--\n\n";
    type.tp_traverse = stepped_traverse;
    type.tp_clear = stepped_clear;
    type.tp_methods = stepped_methods;
    type.tp_new = stepped_new;
    type.tp_vectorcall = stepped_vectorcall;
    return type;
}();

int ready_stepped_coroutine_type() noexcept {
    if (throw_name == nullptr) throw_name = PyUnicode_InternFromString("throw");  // kept for the process
    if (close_name == nullptr) close_name = PyUnicode_InternFromString("close");
    if (throw_name == nullptr || close_name == nullptr) return -1;
    return PyType_Ready(&stepped_coroutine_type);
}

}  // namespace quorlin
