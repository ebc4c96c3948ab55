#include "common/py.hpp"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace quorlin {

void fatal(const char* message) noexcept {
    static const char prefix[] = "quorlin: fatal: ";
    (void)!::write(2, prefix, sizeof prefix - 1);
    (void)!::write(2, message, std::strlen(message));
    (void)!::write(2, "\n", 1);
    std::abort();
}

namespace py {

Ref fetch_exception() noexcept {
    PyObject* exception = PyErr_GetRaisedException();
    if (exception == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        exception = PyErr_GetRaisedException();
    }
    return Ref::steal(exception);
}

}  // namespace py
}  // namespace quorlin
