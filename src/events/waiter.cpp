// PLACEHOLDER: replaced by the work that builds this concept.
#include "module/types.hpp"

namespace quorlin {

PyTypeObject waiter_type = [] {
    PyTypeObject type = py::static_type();
    type.tp_name = "quorlin._quorlin.Waiter";
    type.tp_basicsize = sizeof(PyObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "Waiter(*events)\n--\n\n";
    type.tp_new = PyType_GenericNew;
    return type;
}();

}  // namespace quorlin
