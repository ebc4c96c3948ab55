// quorlin._fastpath: native pieces of the Python package's hot paths, apart from the runtime's
// own module.
#include "common/py.hpp"
#include "package/fire_slot.hpp"
#include "package/lock.hpp"
#include "package/stepped_coroutine.hpp"

namespace quorlin {

namespace {

PyMethodDef fastpath_functions[] = {
    {"fire_slot", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fire_slot)), METH_FASTCALL,
     "fire_slot(slot, value, error, /)\n--\n\nCompletes a task slot's park once, as its fire() does, without running\n"
     "Python code; returns False if it was already completed."},
    {"call_and_report", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_and_report)), METH_FASTCALL,
     "call_and_report(slot, origin_var, origin, before_report, fn, args, /)\n--\n\nSets origin_var to origin, calls\n"
     "fn(*args), calls before_report (unless None), then fires slot with the call's outcome."},
    {nullptr, nullptr, 0, nullptr},
};

int fastpath_exec(PyObject* module) noexcept {
    if (PyType_Ready(&fast_lock_type) < 0) return -1;
    if (PyModule_AddObjectRef(module, "Lock", reinterpret_cast<PyObject*>(&fast_lock_type)) < 0) return -1;
    if (ready_stepped_coroutine_type() < 0) return -1;
    if (PyModule_AddObjectRef(module, "SteppedCoroutine", reinterpret_cast<PyObject*>(&stepped_coroutine_type)) < 0) {
        return -1;
    }
    return PyModule_AddFunctions(module, fastpath_functions);
}

PyModuleDef_Slot fastpath_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(fastpath_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef fastpath_definition = {
    PyModuleDef_HEAD_INIT, "_fastpath", "", 0, nullptr, fastpath_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace quorlin

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__fastpath() {
    return PyModuleDef_Init(&quorlin::fastpath_definition);
}
