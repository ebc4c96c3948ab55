// Runtime methods, each defined beside its concept.  All take vectorcall arguments.
#pragma once

#include "common/py.hpp"

namespace quorlin {

// runtime/submission.cpp
PyObject* runtime_call_soon(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* runtime_call_soon_deferred(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                     PyObject* kwnames) noexcept;
// events/task_step.cpp
PyObject* runtime_spawn_coro(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
// runtime/run_loop.cpp
PyObject* runtime_run(PyObject* self, PyObject* unused) noexcept;
// runtime/signals.cpp
PyObject* runtime_sig_add(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* runtime_sig_rem(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
// blocking/pool.cpp
PyObject* runtime_spawn_blocking(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) noexcept;

// Casts a vectorcall-style method to the PyCFunction slot type of a method table.
template <class Function>
PyCFunction as_method(Function function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace quorlin
