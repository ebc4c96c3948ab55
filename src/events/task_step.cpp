// PLACEHOLDER: replaced by the work that builds this concept.
#include "runtime/methods.hpp"

namespace quorlin {
PyObject* runtime_spawn_coro(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "runtime_spawn_coro");
    return nullptr;
}
}  // namespace quorlin
