// _call_soon and _call_soon_deferred: plain callbacks submitted to the worker pool.
#include "common/args.hpp"
#include "runtime/methods.hpp"
#include "runtime/record.hpp"
#include "work/callback_item.hpp"
#include "work/push.hpp"

namespace quorlin {

namespace {

using Push = void (*)(RuntimeRecord&, ItemPtr) noexcept;

PyObject* submit_callback(PyObject* self, const args::Signature& signature, Push push, PyObject* const* args,
                          Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    PyObject* callback = nullptr;
    if (!args::bind(signature, args, nargsf, kwnames, &callback)) return nullptr;
    // Any object is accepted: whether it can be called shows when a worker calls it.
    push(record_of(self), make_callback_item(py::Ref::new_ref(callback)));
    Py_RETURN_NONE;
}

}  // namespace

PyObject* runtime_call_soon(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static const args::Signature signature{"_call_soon", {"callback"}, 1};
    return submit_callback(self, signature, push_soon, args, nargsf, kwnames);
}

PyObject* runtime_call_soon_deferred(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                     PyObject* kwnames) noexcept {
    static const args::Signature signature{"_call_soon_deferred", {"callback"}, 1};
    return submit_callback(self, signature, push_deferred, args, nargsf, kwnames);
}

}  // namespace quorlin
