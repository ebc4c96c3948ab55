// PLACEHOLDER: replaced by the work that builds this concept.
#include "runtime/methods.hpp"

namespace quorlin {
PyObject* runtime_run(PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "runtime_run");
    return nullptr;
}
}  // namespace quorlin
