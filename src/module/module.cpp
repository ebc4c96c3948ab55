// The module definition and its body.
#include "common/interpreter_exit.hpp"
#include "common/py.hpp"
#include "errors/exceptions.hpp"
#include "module/registry.hpp"
#include "module/types.hpp"
#include "module/version.hpp"

namespace quorlin {

namespace {

int add_type(PyObject* module, PyTypeObject* type, const char* name) noexcept {
    if (PyType_Ready(type) < 0) return -1;
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

int add_exception(PyObject* module, PyObject* type, const char* name) noexcept {
    if (type == nullptr) return -1;
    return PyModule_AddObjectRef(module, name, type);
}

PyMethodDef get_runtime_def = {"get_runtime", module_get_runtime, METH_NOARGS, "get_runtime()\n--\n\n"};
PyMethodDef set_runtime_def = {"set_runtime", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_set_runtime)),
                               METH_FASTCALL | METH_KEYWORDS, "set_runtime(runtime)\n--\n\n"};

int add_function(PyObject* module, PyMethodDef* definition) noexcept {
    PyObject* function = PyCFunction_NewEx(definition, nullptr, PyModule_GetNameObject(module));
    if (function == nullptr) return -1;
    return PyModule_Add(module, definition->ml_name, function);
}

// Adds the attributes in their documented order; stops at the first failure.
int module_exec(PyObject* module) noexcept {
    if (PyModule_AddStringConstant(module, "__version__", converted_build_version().c_str()) < 0) return -1;
    if (PyModule_AddStringConstant(module, "__build_profile__", build_profile) < 0) return -1;
    if (add_function(module, &get_runtime_def) < 0) return -1;
    if (add_function(module, &set_runtime_def) < 0) return -1;
    if (add_type(module, &blocking_task_ctl_type, "BlockingTaskCtl") < 0) return -1;
    if (add_exception(module, cancelled_error_type(), "CancelledError") < 0) return -1;
    if (add_exception(module, runtime_already_initialized_error_type(), "RuntimeAlreadyInitializedError") < 0) return -1;
    if (add_exception(module, runtime_not_initialized_error_type(), "RuntimeNotInitializedError") < 0) return -1;
    if (add_type(module, &event_type, "Event") < 0) return -1;
    if (add_type(module, &waiter_type, "Waiter") < 0) return -1;
    if (add_type(module, &result_type, "Result") < 0) return -1;
    if (add_type(module, &scheduled_io_type, "ScheduledIO") < 0) return -1;
    if (add_type(module, &runtime_type, "Runtime") < 0) return -1;
    // Not an attribute: keeps the module's threads from making or deleting thread states once the
    // interpreter exits.
    return interpreter_exit::watch();
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_quorlin",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace quorlin

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__quorlin() {
    return PyModuleDef_Init(&quorlin::module_definition);
}
