// PLACEHOLDER: replaced by the work that builds this concept.
#include "module/types.hpp"

namespace quorlin {

PyTypeObject result_type = [] {
    PyTypeObject type = py::static_type();
    type.tp_name = "quorlin._quorlin.Result";
    type.tp_basicsize = sizeof(PyObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "Result(size=1)\n--\n\n";
    type.tp_new = PyType_GenericNew;
    return type;
}();

}  // namespace quorlin
