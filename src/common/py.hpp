// Owning references, the detach scope, critical sections and fatal errors over the CPython C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#ifndef Py_GIL_DISABLED
#error "quorlin needs a free-threaded CPython (built with --disable-gil)"
#endif

namespace quorlin {

// Writes the message to descriptor 2 and aborts: for states that can only come from a bug.
[[noreturn]] void fatal(const char* message) noexcept;

namespace py {

// Owns one strong reference.  Move-only; no implicit conversion to PyObject*.
class Ref {
public:
    constexpr Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Takes over a reference the caller owns (may be null, e.g. a failed call).
    [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Takes a new reference to a borrowed object.
    [[nodiscard]] static Ref new_ref(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }
    [[nodiscard]] static Ref none() noexcept { return new_ref(Py_None); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void reset() noexcept { Py_CLEAR(object_); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// Releases the interpreter for a blocking call: no Ref may be made or dropped inside.
class Detached {
public:
    Detached() noexcept : state_(PyEval_SaveThread()) {}
    ~Detached() { PyEval_RestoreThread(state_); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* state_;
};

// A per-object critical section (the lock free-threaded builtins use for their own state).
class CriticalSection {
public:
    explicit CriticalSection(PyObject* object) noexcept { PyCriticalSection_Begin(&section_, object); }
    ~CriticalSection() { PyCriticalSection_End(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
    PyCriticalSection section_;
};

// Takes the raised exception out of the thread's error state (a SystemError if none is set).
[[nodiscard]] Ref fetch_exception() noexcept;

}  // namespace py
}  // namespace quorlin

namespace quorlin::py {

// A type object with the interpreter's static-object header and every slot empty; the caller
// fills the slots it needs.
inline PyTypeObject static_type() noexcept {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
    PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop
    return type;
}

}  // namespace quorlin::py
