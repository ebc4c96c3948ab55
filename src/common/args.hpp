// Argument binding and conversion with the module's messages.
//
// Hot methods use the vectorcall conventions; `bind` maps positional and keyword arguments to
// named parameters and raises TypeError in the interpreter's own wording for a missing,
// duplicated or unexpected argument.  Converters add the note "while processing '<name>'".
#pragma once

#include "common/py.hpp"

#include <cstdint>
#include <initializer_list>
#include <string>

namespace quorlin::args {

// The parameters of one callable: its name in messages, the parameter names in order, and how
// many of them (the first ones) are required.
struct Signature {
    const char* function;
    std::initializer_list<const char*> names;
    size_t required;
};

// Binds vectorcall arguments; `out` gets one borrowed reference per parameter, nullptr for an
// omitted optional one.  Returns false with TypeError set.
[[nodiscard]] bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames, PyObject** out) noexcept;

// The same for tp_new / tp_init style arguments (a tuple and an optional dict).
[[nodiscard]] bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs,
                              PyObject** out) noexcept;

// Refuses any keyword argument (for *args-only callables).  Returns false with TypeError set.
[[nodiscard]] bool no_keywords(const char* function, PyObject* kwnames) noexcept;

// Adds the note "while processing '<name>'" to the exception being raised.
void add_argument_note(const char* name) noexcept;

// Unsigned conversions through __index__: negative values and values beyond 64 bits raise the
// interpreter's OverflowError; values past the target width raise OverflowError "out of range
// integral type conversion attempted".  On failure the note for `name` is added.
[[nodiscard]] bool to_u32(PyObject* object, const char* name, uint32_t* out) noexcept;
[[nodiscard]] bool to_u64(PyObject* object, const char* name, uint64_t* out) noexcept;
[[nodiscard]] bool to_usize(PyObject* object, const char* name, size_t* out) noexcept;
// `None` gives `present = false`.
[[nodiscard]] bool to_optional_u32(PyObject* object, const char* name, bool* present,
                                   uint32_t* out) noexcept;
// A signed 32-bit value (a descriptor) with the interpreter's int conversion.
[[nodiscard]] bool to_i32(PyObject* object, const char* name, int32_t* out) noexcept;
// Only an instance of bool is accepted.
[[nodiscard]] bool to_strict_bool(PyObject* object, const char* name, bool* out) noexcept;
// A signal number: an int in 0..255 (PyLong_AsLong conversion).
[[nodiscard]] bool to_u8_signal(PyObject* object, const char* name, uint8_t* out) noexcept;

// TypeError "'<type>' object is not an instance of '<class>'" (or "'None' is not an instance
// of '<class>'") with the note for `name`, unless `object` is an instance of `type`.
[[nodiscard]] bool check_instance(PyObject* object, PyTypeObject* type, const char* name) noexcept;

// Raises the out-of-range OverflowError.
void raise_out_of_range() noexcept;

// repr(object) as UTF-8; if repr raises, the error goes to the unraisable hook and the text is
// "<unprintable <type> object>".
[[nodiscard]] std::string repr_or_fallback(PyObject* object) noexcept;

// The short name of a type (its __name__).
[[nodiscard]] std::string type_name(PyTypeObject* type) noexcept;

}  // namespace quorlin::args
