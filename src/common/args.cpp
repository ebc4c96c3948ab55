#include "common/args.hpp"

#include <climits>
#include <string_view>

namespace quorlin::args {

namespace {

constexpr const char* out_of_range_message = "out of range integral type conversion attempted";

std::string quoted_list(const std::string* names, size_t count) {
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c' -- as the interpreter words it.
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) text += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        text += "'" + names[i] + "'";
    }
    return text;
}

bool raise_missing(const Signature& signature, PyObject** out) {
    std::string missing[16];
    size_t count = 0;
    size_t index = 0;
    for (const char* name : signature.names) {
        if (index < signature.required && out[index] == nullptr && count < 16) missing[count++] = name;
        ++index;
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 signature.function, count, count == 1 ? "" : "s", quoted_list(missing, count).c_str());
    return false;
}

bool raise_too_many(const Signature& signature, size_t given) {
    size_t total = signature.names.size();
    if (total == 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes 0 positional arguments but %zu %s given",
                     signature.function, given, given == 1 ? "was" : "were");
    } else if (signature.required == total) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zu %s given",
                     signature.function, total, total == 1 ? "" : "s", given,
                     given == 1 ? "was" : "were");
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zu %s given",
                     signature.function, signature.required, total, given, given == 1 ? "was" : "were");
    }
    return false;
}

bool place_keyword(const Signature& signature, PyObject* key, PyObject* value, PyObject** out) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &length);
    if (text == nullptr) return false;
    std::string_view keyword(text, static_cast<size_t>(length));
    size_t index = 0;
    for (const char* name : signature.names) {
        if (keyword == name) {
            if (out[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                             signature.function, name);
                return false;
            }
            out[index] = value;
            return true;
        }
        ++index;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.function, key);
    return false;
}

bool check_required(const Signature& signature, PyObject** out) {
    for (size_t i = 0; i < signature.required; ++i) {
        if (out[i] == nullptr) return raise_missing(signature, out);
    }
    return true;
}

// Exact integer of `object` through __index__, or nullptr with the error set.
py::Ref index_of(PyObject* object) { return py::Ref::steal(PyNumber_Index(object)); }

}  // namespace

bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** out) noexcept {
    size_t total = signature.names.size();
    size_t positional = static_cast<size_t>(PyVectorcall_NARGS(nargsf));
    for (size_t i = 0; i < total; ++i) out[i] = nullptr;
    if (positional > total) return raise_too_many(signature, positional);
    for (size_t i = 0; i < positional; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            if (!place_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[positional + k], out)) return false;
        }
    }
    return check_required(signature, out);
}

bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out) noexcept {
    size_t total = signature.names.size();
    size_t positional = static_cast<size_t>(PyTuple_GET_SIZE(args));
    for (size_t i = 0; i < total; ++i) out[i] = nullptr;
    if (positional > total) return raise_too_many(signature, positional);
    for (size_t i = 0; i < positional; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        // Safety: kwargs is the fresh dict the interpreter built for this call; no other thread sees it.
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!place_keyword(signature, key, value, out)) return false;
        }
    }
    return check_required(signature, out);
}

bool no_keywords(const char* function, PyObject* kwnames) noexcept {
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) return true;
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                 PyTuple_GET_ITEM(kwnames, 0));
    return false;
}

void add_argument_note(const char* name) noexcept {
    PyObject* exception = PyErr_GetRaisedException();
    if (exception == nullptr) return;
    PyObject* note = PyUnicode_FromFormat("while processing '%s'", name);
    if (note != nullptr) {
        PyObject* result = PyObject_CallMethod(exception, "add_note", "O", note);
        Py_DECREF(note);
        if (result == nullptr) PyErr_Clear();
        Py_XDECREF(result);
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exception);
}

void raise_out_of_range() noexcept { PyErr_SetString(PyExc_OverflowError, out_of_range_message); }

bool to_u64(PyObject* object, const char* name, uint64_t* out) noexcept {
    py::Ref integer = index_of(object);
    if (!integer) {
        add_argument_note(name);
        return false;
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        add_argument_note(name);
        return false;
    }
    *out = value;
    return true;
}

bool to_u32(PyObject* object, const char* name, uint32_t* out) noexcept {
    uint64_t wide = 0;
    if (!to_u64(object, name, &wide)) return false;
    if (wide > UINT32_MAX) {
        raise_out_of_range();
        add_argument_note(name);
        return false;
    }
    *out = static_cast<uint32_t>(wide);
    return true;
}

bool to_usize(PyObject* object, const char* name, size_t* out) noexcept {
    static_assert(sizeof(size_t) == sizeof(uint64_t), "64-bit platforms only");
    uint64_t wide = 0;
    if (!to_u64(object, name, &wide)) return false;
    *out = static_cast<size_t>(wide);
    return true;
}

bool to_optional_u32(PyObject* object, const char* name, bool* present, uint32_t* out) noexcept {
    if (object == nullptr || object == Py_None) {
        *present = false;
        return true;
    }
    *present = true;
    return to_u32(object, name, out);
}

bool to_i32(PyObject* object, const char* name, int32_t* out) noexcept {
    int value = PyLong_AsInt(object);
    if (value == -1 && PyErr_Occurred()) {
        add_argument_note(name);
        return false;
    }
    *out = value;
    return true;
}

bool to_strict_bool(PyObject* object, const char* name, bool* out) noexcept {
    if (!PyBool_Check(object)) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'bool'",
                     type_name(Py_TYPE(object)).c_str());
        add_argument_note(name);
        return false;
    }
    *out = object == Py_True;
    return true;
}

bool to_u8_signal(PyObject* object, const char* name, uint8_t* out) noexcept {
    long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            raise_out_of_range();
        }
        add_argument_note(name);
        return false;
    }
    if (value < 0 || value > 255) {
        raise_out_of_range();
        add_argument_note(name);
        return false;
    }
    *out = static_cast<uint8_t>(value);
    return true;
}

bool check_instance(PyObject* object, PyTypeObject* type, const char* name) noexcept {
    if (PyObject_TypeCheck(object, type)) return true;
    std::string expected = type_name(type);
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected.c_str());
    } else {
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'",
                     type_name(Py_TYPE(object)).c_str(), expected.c_str());
    }
    add_argument_note(name);
    return false;
}

std::string type_name(PyTypeObject* type) noexcept {
    PyObject* saved = PyErr_GetRaisedException();
    std::string text;
    if (PyObject* name = PyType_GetName(type)) {
        if (const char* utf8 = PyUnicode_AsUTF8(name)) text = utf8;
        Py_DECREF(name);
    }
    if (text.empty()) {
        PyErr_Clear();
        text = type->tp_name;
    }
    PyErr_SetRaisedException(saved);
    return text;
}

std::string repr_or_fallback(PyObject* object) noexcept {
    PyObject* saved = PyErr_GetRaisedException();
    std::string text;
    bool ok = false;
    if (PyObject* repr = PyObject_Repr(object)) {
        Py_ssize_t length = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(repr, &length)) {
            text.assign(utf8, static_cast<size_t>(length));
            ok = true;
        }
        Py_DECREF(repr);
    }
    if (!ok) {
        PyErr_WriteUnraisable(object);
        text = "<unprintable " + type_name(Py_TYPE(object)) + " object>";
    }
    PyErr_SetRaisedException(saved);
    return text;
}

}  // namespace quorlin::args
