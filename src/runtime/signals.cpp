// PLACEHOLDER: replaced by the work that builds this concept.
#include "runtime/methods.hpp"

namespace quorlin {
PyObject* runtime_sig_add(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "runtime_sig_add");
    return nullptr;
}
PyObject* runtime_sig_rem(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "runtime_sig_rem");
    return nullptr;
}
}  // namespace quorlin
