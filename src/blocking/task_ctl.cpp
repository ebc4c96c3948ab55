// PLACEHOLDER: replaced by the work that builds this concept.
#include "module/types.hpp"

namespace quorlin {

PyTypeObject blocking_task_ctl_type = [] {
    PyTypeObject type = py::static_type();
    type.tp_name = "quorlin._quorlin.BlockingTaskCtl";
    type.tp_basicsize = sizeof(PyObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    type.tp_doc = nullptr;
    type.tp_new = PyType_GenericNew;
    return type;
}();

}  // namespace quorlin
