#include "errors/os_error.hpp"

#include "common/sys.hpp"

#include <cerrno>

namespace quorlin {

namespace {

PyObject* os_error_class(int error) noexcept {
    switch (error) {
        case ENOENT: return PyExc_FileNotFoundError;
        case EACCES:
        case EPERM: return PyExc_PermissionError;
        case ECONNREFUSED: return PyExc_ConnectionRefusedError;
        case ECONNRESET: return PyExc_ConnectionResetError;
        case ECONNABORTED: return PyExc_ConnectionAbortedError;
        case EPIPE: return PyExc_BrokenPipeError;
        case EEXIST: return PyExc_FileExistsError;
        case EAGAIN: return PyExc_BlockingIOError;
        case ENOTDIR: return PyExc_NotADirectoryError;
        case EISDIR: return PyExc_IsADirectoryError;
        case ETIMEDOUT: return PyExc_TimeoutError;
        case EINTR: return PyExc_InterruptedError;
        case ENOMEM: return PyExc_MemoryError;
        default: return PyExc_OSError;
    }
}

}  // namespace

PyObject* raise_os_error(int error) noexcept {
    PyErr_SetString(os_error_class(error), os_error_text(error).c_str());
    return nullptr;
}

PyObject* raise_runtime_os_error(int error) noexcept {
    PyErr_SetString(PyExc_RuntimeError, os_error_text(error).c_str());
    return nullptr;
}

PyObject* raise_runtime_error(const char* message) noexcept {
    PyErr_SetString(PyExc_RuntimeError, message);
    return nullptr;
}

}  // namespace quorlin
