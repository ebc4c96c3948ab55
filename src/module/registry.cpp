#include "module/registry.hpp"

#include "common/args.hpp"
#include "common/leak_check.hpp"
#include "errors/exceptions.hpp"
#include "runtime/record.hpp"

#include <atomic>
#include <mutex>

namespace quorlin {

namespace {

// Ordering: published once with release, read with acquire, so a reader that sees the pointer
// sees the fully constructed, immortal runtime.
std::atomic<PyObject*> registry{nullptr};
std::mutex registry_once;

// Makes the object immortal in the free-threaded header: owned by no thread, a local count of
// all ones and a shared count of 0, so no reference operation can ever free it.
void make_immortal(PyObject* object) noexcept {
    __atomic_store_n(&object->ob_ref_local, UINT32_MAX, __ATOMIC_RELAXED);
    __atomic_store_n(&object->ob_ref_shared, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&object->ob_tid, 0, __ATOMIC_RELEASE);
}

PyObject* cached_sys_module() noexcept {
    static std::atomic<PyObject*> cached{nullptr};
    if (PyObject* module = cached.load(std::memory_order_acquire)) return module;
    PyObject* module = PyImport_ImportModule("sys");
    if (module == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (!cached.compare_exchange_strong(expected, module, std::memory_order_acq_rel)) {
        Py_DECREF(module);  // another thread cached it first; both are the same module
        return expected;
    }
    return module;  // kept for the process
}

}  // namespace

PyObject* registered_runtime() noexcept { return registry.load(std::memory_order_acquire); }

PyObject* registered_runtime_or_raise() noexcept {
    PyObject* runtime = registered_runtime();
    if (runtime == nullptr) raise_without_arguments(runtime_not_initialized_error_type());
    return runtime;
}

PyObject* module_get_runtime(PyObject*, PyObject*) noexcept {
    PyObject* runtime = registered_runtime_or_raise();
    return runtime == nullptr ? nullptr : Py_NewRef(runtime);
}

PyObject* module_set_runtime(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static const args::Signature signature{"set_runtime", {"runtime"}, 1};
    PyObject* runtime = nullptr;
    if (!args::bind(signature, args, nargsf, kwnames, &runtime)) return nullptr;
    if (!args::check_instance(runtime, &runtime_type, "runtime")) return nullptr;
    py::Ref held = py::Ref::new_ref(runtime);

    PyObject* sys = cached_sys_module();
    if (sys == nullptr) return nullptr;
    py::Ref enabled = py::Ref::steal(PyObject_CallMethod(sys, "_is_gil_enabled", nullptr));
    if (!enabled) return nullptr;
    if (!PyBool_Check(enabled.get())) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'bool'",
                     args::type_name(Py_TYPE(enabled.get())).c_str());
        return nullptr;
    }
    if (enabled.get() == Py_True) {
        PyErr_SetString(PyExc_RuntimeError, "GIL detected");
        return nullptr;
    }

    make_immortal(runtime);
    (void)held.release();  // an immortal object's count no longer matters
    // Immortal, so its record is never freed; the checker cannot see it through the object.
    leak_check::ignore(&record_of(runtime));
    bool registered_now = false;
    {
        py::Detached detached;  // a racing writer waits here without holding up the interpreter
        std::lock_guard lock(registry_once);
        if (registry.load(std::memory_order_acquire) == nullptr) {
            registry.store(runtime, std::memory_order_release);
            registered_now = true;
        }
    }
    if (!registered_now) return raise_without_arguments(runtime_already_initialized_error_type());
    Py_RETURN_NONE;
}

}  // namespace quorlin
