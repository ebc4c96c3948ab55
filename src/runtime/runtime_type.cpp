// The Runtime class: constructor, attributes and method table.
#include "common/args.hpp"
#include "module/types.hpp"
#include "runtime/methods.hpp"
#include "runtime/record.hpp"

#include <algorithm>
#include <new>

namespace quorlin {

namespace {

constexpr const char runtime_doc[] =
    "Runtime(threads, threads_blocking, threads_blocking_timeout, context, signals)\n--\n\n";

PyObject* cached_sequence_abc() noexcept {
    static std::atomic<PyObject*> cached{nullptr};
    if (PyObject* abc = cached.load(std::memory_order_acquire)) return abc;
    py::Ref module = py::Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!module) return nullptr;
    PyObject* abc = PyObject_GetAttrString(module.get(), "Sequence");
    if (abc == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (!cached.compare_exchange_strong(expected, abc, std::memory_order_acq_rel)) {
        Py_DECREF(abc);
        return expected;
    }
    return abc;  // kept for the process
}

bool signal_number_from_item(PyObject* item, uint8_t* out) noexcept {
    long value = PyLong_AsLong(item);
    if (value == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            args::raise_out_of_range();
        }
        return false;
    }
    if (value < 0 || value > 255) {
        args::raise_out_of_range();
        return false;
    }
    *out = static_cast<uint8_t>(value);
    return true;
}

bool convert_signals(PyObject* object, std::vector<uint8_t>* out) noexcept {
    auto take_bytes = [&](const char* data, Py_ssize_t size) {
        out->assign(reinterpret_cast<const uint8_t*>(data), reinterpret_cast<const uint8_t*>(data) + size);
    };
    if (PyBytes_Check(object)) {
        take_bytes(PyBytes_AS_STRING(object), PyBytes_GET_SIZE(object));
        return true;
    }
    if (PyByteArray_Check(object)) {
        py::CriticalSection section(object);
        take_bytes(PyByteArray_AS_STRING(object), PyByteArray_GET_SIZE(object));
        return true;
    }
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PyList_Check(object) && !PyTuple_Check(object)) {
        PyObject* sequence_abc = cached_sequence_abc();
        if (sequence_abc == nullptr) return false;
        int is_sequence = PyObject_IsInstance(object, sequence_abc);
        if (is_sequence < 0) return false;
        if (is_sequence == 0) {
            PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                         args::type_name(Py_TYPE(object)).c_str());
            return false;
        }
    }
    py::Ref iterator = py::Ref::steal(PyObject_GetIter(object));
    if (!iterator) return false;
    while (py::Ref item = py::Ref::steal(PyIter_Next(iterator.get()))) {
        uint8_t number = 0;
        if (!signal_number_from_item(item.get(), &number)) return false;
        out->push_back(number);
    }
    return !PyErr_Occurred();
}

std::vector<uint8_t> distinct_in_order(const std::vector<uint8_t>& values) {
    bool seen[256] = {};
    std::vector<uint8_t> distinct;
    for (uint8_t value : values) {
        if (!seen[value]) {
            seen[value] = true;
            distinct.push_back(value);
        }
    }
    return distinct;
}

PyObject* runtime_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static const args::Signature signature{
        "Runtime", {"threads", "threads_blocking", "threads_blocking_timeout", "context", "signals"}, 5};
    PyObject* bound[5];
    if (!args::bind_tuple(signature, args, kwargs, bound)) return nullptr;
    size_t threads = 0;
    size_t threads_blocking = 0;
    uint64_t blocking_timeout = 0;
    bool context = false;
    std::vector<uint8_t> signals;
    if (!args::to_usize(bound[0], "threads", &threads)) return nullptr;
    if (!args::to_usize(bound[1], "threads_blocking", &threads_blocking)) return nullptr;
    if (!args::to_u64(bound[2], "threads_blocking_timeout", &blocking_timeout)) return nullptr;
    if (!args::to_strict_bool(bound[3], "context", &context)) return nullptr;
    if (!convert_signals(bound[4], &signals)) {
        args::add_argument_note("signals");
        return nullptr;
    }
    auto* record = new RuntimeRecord(threads, threads_blocking, blocking_timeout, context, distinct_in_order(signals));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        delete record;
        return nullptr;
    }
    reinterpret_cast<RuntimeObject*>(self)->record = record;
    return self;
}

void runtime_dealloc(PyObject* self) noexcept {
    delete std::exchange(reinterpret_cast<RuntimeObject*>(self)->record, nullptr);
    Py_TYPE(self)->tp_free(self);
}

RuntimeRecord& record(PyObject* self) noexcept { return record_of(self); }

PyObject* get_clock(PyObject* self, void*) noexcept {
    unsigned __int128 elapsed = microseconds_since(record(self).clock_base);
    // Python ints are arbitrary precision; build the 128-bit value from its two halves.
    uint64_t high = static_cast<uint64_t>(elapsed >> 64);
    uint64_t low = static_cast<uint64_t>(elapsed);
    if (high == 0) return PyLong_FromUnsignedLongLong(low);
    py::Ref high_value = py::Ref::steal(PyLong_FromUnsignedLongLong(high));
    py::Ref shift = py::Ref::steal(PyLong_FromLong(64));
    py::Ref shifted = py::Ref::steal(PyNumber_Lshift(high_value.get(), shift.get()));
    py::Ref low_value = py::Ref::steal(PyLong_FromUnsignedLongLong(low));
    if (!shifted || !low_value) return nullptr;
    return PyNumber_Or(shifted.get(), low_value.get());
}

PyObject* get_context(PyObject* self, void*) noexcept { return PyBool_FromLong(record(self).context); }

int refuse_delete(PyObject* value) noexcept {
    if (value != nullptr) return 0;
    PyErr_SetString(PyExc_AttributeError, "property has no deleter");
    return -1;
}

PyObject* get_closed(PyObject* self, void*) noexcept {
    return PyBool_FromLong(record(self).closed.load(std::memory_order_seq_cst));
}

int set_closed(PyObject* self, PyObject* value, void*) noexcept {
    bool flag = false;
    if (refuse_delete(value) < 0 || !args::to_strict_bool(value, "val", &flag)) return -1;
    record(self).closed.store(flag, std::memory_order_seq_cst);
    return 0;
}

PyObject* get_stopping(PyObject* self, void*) noexcept {
    return PyBool_FromLong(record(self).stopping.load(std::memory_order_seq_cst));
}

int set_stopping(PyObject* self, PyObject* value, void*) noexcept {
    bool flag = false;
    if (refuse_delete(value) < 0 || !args::to_strict_bool(value, "val", &flag)) return -1;
    // Ordering: seq_cst so that the run loop, woken below, reads the new value in its stop decision.
    record(self).stopping.store(flag, std::memory_order_seq_cst);
    (void)wake_loop(record(self));  // a failed wake is ignored: the loop sees the flag next iteration
    return 0;
}

PyObject* get_sig_listening(PyObject* self, void*) noexcept {
    return PyBool_FromLong(record(self).sig_listening.load(std::memory_order_relaxed));
}

int set_sig_listening(PyObject* self, PyObject* value, void*) noexcept {
    bool flag = false;
    if (refuse_delete(value) < 0 || !args::to_strict_bool(value, "val", &flag)) return -1;
    record(self).sig_listening.store(flag, std::memory_order_relaxed);
    return 0;
}

PyObject* get_sigset(PyObject* self, void*) noexcept {
    const std::vector<uint8_t>& numbers = record(self).signal_set;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(numbers.size()));
    if (list == nullptr) return nullptr;
    for (size_t i = 0; i < numbers.size(); ++i) {
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), PyLong_FromLong(numbers[i]));
    }
    return list;
}

template <ObjectCell RuntimeRecord::* Cell>
PyObject* get_object_cell(PyObject* self, void*) noexcept {
    return (record(self).*Cell).get().release();
}

template <ObjectCell RuntimeRecord::* Cell>
int set_object_cell(PyObject* self, PyObject* value, void*) noexcept {
    if (refuse_delete(value) < 0) return -1;
    (record(self).*Cell).set(value);
    return 0;
}

PyGetSetDef runtime_getset[] = {
    {"_clock", get_clock, nullptr, nullptr, nullptr},
    {"_context", get_context, nullptr, nullptr, nullptr},
    {"_closed", get_closed, set_closed, nullptr, nullptr},
    {"_stopping", get_stopping, set_stopping, nullptr, nullptr},
    {"_sig_listening", get_sig_listening, set_sig_listening, nullptr, nullptr},
    {"_sigset", get_sigset, nullptr, nullptr, nullptr},
    {"_sig_wfd", get_object_cell<&RuntimeRecord::sig_wfd>, set_object_cell<&RuntimeRecord::sig_wfd>, nullptr, nullptr},
    {"_ssock_r", get_object_cell<&RuntimeRecord::ssock_r>, set_object_cell<&RuntimeRecord::ssock_r>, nullptr, nullptr},
    {"_ssock_w", get_object_cell<&RuntimeRecord::ssock_w>, set_object_cell<&RuntimeRecord::ssock_w>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef runtime_methods[] = {
    {"_call_soon", as_method(runtime_call_soon), fastcall, "_call_soon($self, callback)\n--\n\n"},
    {"_call_soon_deferred", as_method(runtime_call_soon_deferred), fastcall,
     "_call_soon_deferred($self, callback)\n--\n\n"},
    {"_spawn_coro", as_method(runtime_spawn_coro), fastcall, "_spawn_coro($self, coro)\n--\n\n"},
    {"_run", runtime_run, METH_NOARGS, "_run($self)\n--\n\n"},
    {"_sig_add", as_method(runtime_sig_add), fastcall, "_sig_add($self, sig)\n--\n\n"},
    {"_sig_rem", as_method(runtime_sig_rem), fastcall, "_sig_rem($self, sig)\n--\n\n"},
    {"_spawn_blocking", as_method(runtime_spawn_blocking), fastcall,
     "_spawn_blocking($self, f, *args, **kwargs)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject runtime_type = [] {
    PyTypeObject type = py::static_type();
    type.tp_name = "quorlin._quorlin.Runtime";
    type.tp_basicsize = sizeof(RuntimeObject);
    type.tp_dealloc = runtime_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = runtime_doc;
    type.tp_methods = runtime_methods;
    type.tp_getset = runtime_getset;
    type.tp_new = runtime_new;
    return type;
}();

}  // namespace quorlin
