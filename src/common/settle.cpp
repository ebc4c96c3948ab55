#include "common/settle.hpp"

#include "common/py.hpp"

#include <atomic>

namespace quorlin {

namespace {

// `lambda: None`, made once and kept for the process; null if it could not be made.
PyObject* no_op_function() noexcept {
    static std::atomic<PyObject*> cached{nullptr};
    // Ordering: acquire pairs with the release below, so the function is seen complete.
    if (PyObject* function = cached.load(std::memory_order_acquire)) return function;
    py::Ref globals = py::Ref::steal(PyDict_New());
    if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return nullptr;
    py::Ref code = py::Ref::steal(Py_CompileString("lambda: None", "<quorlin settle>", Py_eval_input));
    if (!code) return nullptr;
    py::Ref function = py::Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
    if (!function) return nullptr;
    PyObject* expected = nullptr;
    if (!cached.compare_exchange_strong(expected, function.get(), std::memory_order_acq_rel)) return expected;
    return function.release();  // kept for the process
}

}  // namespace

void settle_thread() noexcept {
    PyObject* function = no_op_function();
    if (function != nullptr) {
        py::Ref result = py::Ref::steal(PyObject_CallNoArgs(function));
    }
    PyErr_Clear();
}

}  // namespace quorlin
