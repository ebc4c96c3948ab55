// PLACEHOLDER: replaced by the work that builds this concept.
#include "module/types.hpp"

namespace quorlin {

PyTypeObject event_type = [] {
    PyTypeObject type = py::static_type();
    type.tp_name = "quorlin._quorlin.Event";
    type.tp_basicsize = sizeof(PyObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = "Event()\n--\n\n";
    type.tp_new = PyType_GenericNew;
    return type;
}();

}  // namespace quorlin
