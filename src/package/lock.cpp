// quorlin._fastpath.Lock: a mutual-exclusion lock for the package's bookkeeping sections.
//
// The package takes a lock on every spawn, finish, park and wake-up, always for a few attribute
// reads and writes and never across an await.  threading.Lock parses its optional `blocking` and
// `timeout` arguments on every acquire, which costs several times the lock itself; this one takes
// no arguments and is a bare PyMutex.  PyMutex_Lock spins briefly and then parks with the thread
// state detached, so a holder on another thread can always reach a stop-the-world pause.
//
// It is not reentrant, has no timeout and cannot be interrupted by a signal: sections under it are
// short and call nothing that could block.  Releasing it unlocked raises RuntimeError, as
// threading.Lock does (PyMutex_Unlock would end the process).
#include "package/lock.hpp"

namespace quorlin {

namespace {

struct LockObject {
    PyObject_HEAD
    PyMutex mutex;
};

PyMutex& mutex_of(PyObject* self) noexcept { return reinterpret_cast<LockObject*>(self)->mutex; }

PyObject* lock_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Lock() takes no arguments");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    mutex_of(self) = PyMutex{};
    return self;
}

void lock_dealloc(PyObject* self) noexcept { Py_TYPE(self)->tp_free(self); }

PyObject* lock_acquire(PyObject* self, PyObject*) noexcept {
    PyMutex_Lock(&mutex_of(self));
    Py_RETURN_TRUE;
}

PyObject* lock_release(PyObject* self, PyObject*) noexcept {
    PyMutex& mutex = mutex_of(self);
    if (!PyMutex_IsLocked(&mutex)) {
        PyErr_SetString(PyExc_RuntimeError, "release unlocked lock");
        return nullptr;
    }
    PyMutex_Unlock(&mutex);
    Py_RETURN_NONE;
}

PyObject* lock_exit(PyObject* self, PyObject* const*, Py_ssize_t) noexcept { return lock_release(self, nullptr); }

PyObject* lock_locked(PyObject* self, PyObject*) noexcept { return PyBool_FromLong(PyMutex_IsLocked(&mutex_of(self))); }

PyObject* lock_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<quorlin._fastpath.Lock %s>", PyMutex_IsLocked(&mutex_of(self)) ? "locked" : "unlocked");
}

PyMethodDef lock_methods[] = {
    {"acquire", lock_acquire, METH_NOARGS, "acquire($self)\n--\n\n"},
    {"release", lock_release, METH_NOARGS, "release($self)\n--\n\n"},
    {"locked", lock_locked, METH_NOARGS, "locked($self)\n--\n\n"},
    {"__enter__", lock_acquire, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lock_exit)), METH_FASTCALL,
     "__exit__($self, *exc_info)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMutex* fast_lock_mutex(PyObject* object) noexcept {
    if (!PyObject_TypeCheck(object, &fast_lock_type)) {
        PyErr_Format(PyExc_TypeError, "expected a quorlin._fastpath.Lock, got %T", object);
        return nullptr;
    }
    return &mutex_of(object);
}

PyTypeObject fast_lock_type = [] {
    PyTypeObject type = py::static_type();
    type.tp_name = "quorlin._fastpath.Lock";
    type.tp_basicsize = sizeof(LockObject);
    type.tp_dealloc = lock_dealloc;
    type.tp_repr = lock_repr;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "Lock()\n--\n\n";
    type.tp_methods = lock_methods;
    type.tp_new = lock_new;
    return type;
}();

}  // namespace quorlin
