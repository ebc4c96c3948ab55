// PLACEHOLDER: replaced by the work that builds this concept.
#include "runtime/methods.hpp"

namespace quorlin {
PyObject* runtime_call_soon(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "runtime_call_soon");
    return nullptr;
}
PyObject* runtime_call_soon_deferred(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "runtime_call_soon_deferred");
    return nullptr;
}
}  // namespace quorlin
