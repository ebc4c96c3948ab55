// quorlin._fastpath: native pieces of the Python package's hot paths, apart from the runtime's
// own module.
#include "common/py.hpp"
#include "package/lock.hpp"

namespace quorlin {

namespace {

int fastpath_exec(PyObject* module) noexcept {
    if (PyType_Ready(&fast_lock_type) < 0) return -1;
    return PyModule_AddObjectRef(module, "Lock", reinterpret_cast<PyObject*>(&fast_lock_type));
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
