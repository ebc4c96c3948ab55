#include "errors/exceptions.hpp"

#include <atomic>
#include <mutex>

namespace quorlin {

namespace {

// A write-once cell for one exception class.  The first caller creates the class while holding
// `creating`; callers that arrive meanwhile wait for the mutex detached, so that the creation
// (which runs Python code and may stop the world) is never held up by them.
class ExceptionClassCell {
public:
    constexpr ExceptionClassCell(const char* name, const char* doc, PyObject* const* base)
        : name_(name), doc_(doc), base_(base) {}

    PyObject* get() noexcept {
        // Ordering: acquire pairs with the release store below, so a reader sees a complete class.
        if (PyObject* type = type_.load(std::memory_order_acquire)) return type;
        {
            py::Detached detached;
            creating_.lock();
        }
        PyObject* type = type_.load(std::memory_order_acquire);
        if (type == nullptr) {
            type = PyErr_NewExceptionWithDoc(name_, doc_, *base_, nullptr);
            if (type != nullptr) type_.store(type, std::memory_order_release);  // kept for the process
        }
        creating_.unlock();
        if (type == nullptr && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, "Failed to initialize new exception type.");
        }
        return type;
    }

private:
    const char* name_;
    const char* doc_;
    PyObject* const* base_;
    std::atomic<PyObject*> type_{nullptr};
    std::mutex creating_;
};

ExceptionClassCell cancelled_error{"_quorlin.CancelledError", "CancelledError", &PyExc_BaseException};
ExceptionClassCell already_initialized{"_quorlin.RuntimeAlreadyInitializedError",
                                       "RuntimeAlreadyInitializedError", &PyExc_RuntimeError};
ExceptionClassCell not_initialized{"_quorlin.RuntimeNotInitializedError", "RuntimeNotInitializedError",
                                   &PyExc_RuntimeError};

}  // namespace

PyObject* cancelled_error_type() noexcept { return cancelled_error.get(); }
PyObject* runtime_already_initialized_error_type() noexcept { return already_initialized.get(); }
PyObject* runtime_not_initialized_error_type() noexcept { return not_initialized.get(); }

PyObject* raise_without_arguments(PyObject* type) noexcept {
    if (type != nullptr) PyErr_SetNone(type);
    return nullptr;
}

py::Ref new_execution_aborted() noexcept {
    PyObject* type = cancelled_error_type();
    if (type == nullptr) return {};
    py::Ref message = py::Ref::steal(PyUnicode_FromString("Execution aborted"));
    if (!message) return {};
    return py::Ref::steal(PyObject_CallOneArg(type, message.get()));
}

}  // namespace quorlin
