// The Result class and the slot vector behind it.
#include "events/result.hpp"

#include "common/args.hpp"
#include "module/types.hpp"
#include "runtime/methods.hpp"

#include <new>
#include <utility>

namespace quorlin {

ResultSlots::ResultSlots(uint32_t size) noexcept : size_(size) {
    values_.reserve(size);
    for (uint32_t i = 0; i < size; ++i) values_.push_back(py::Ref::none());
}

bool ResultSlots::store(py::Ref value, uint32_t index) noexcept {
    if (index >= size_) return false;
    {
        std::lock_guard guard(lock_);
        std::swap(values_[index], value);
    }
    // `value` now holds the slot's previous object; it may run a finalizer, so it goes unlocked.
    return true;
}

py::Ref ResultSlots::fetch() const noexcept {
    std::lock_guard guard(lock_);
    if (size_ == 1) return py::Ref::new_ref(values_[0].get());
    // Building a list runs no Python code (a collection it makes due is only scheduled).
    PyObject* list = PyList_New(size_);
    if (list == nullptr) fatal("out of memory building a list of result slots");
    for (uint32_t i = 0; i < size_; ++i) PyList_SET_ITEM(list, i, py::Ref::new_ref(values_[i].get()).release());
    return py::Ref::steal(list);
}

int ResultSlots::traverse(visitproc visit, void* arg) const noexcept {
    // Safety: the collector has stopped every other thread, and no thread stops while holding
    // lock_ (nothing under it checks for a pause), so the slots cannot change meanwhile.
    for (const py::Ref& value : values_) Py_VISIT(value.get());
    return 0;
}

void ResultSlots::clear() noexcept {
    std::vector<py::Ref> old;
    old.reserve(size_);
    {
        std::lock_guard guard(lock_);
        for (py::Ref& value : values_) old.push_back(std::exchange(value, py::Ref::none()));
    }
}

namespace {

struct ResultObject {
    PyObject_HEAD
    ResultSlots slots;
};

ResultSlots& slots_of(PyObject* self) noexcept { return reinterpret_cast<ResultObject*>(self)->slots; }

PyObject* allocate_result(PyTypeObject* type, uint32_t size) noexcept {
    if (size >= ResultSlots::refused_size) return PyErr_NoMemory();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&slots_of(self)) ResultSlots(size);
    return self;
}

PyObject* result_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static const args::Signature signature{"Result", {"size"}, 0};
    PyObject* bound[1];
    if (!args::bind_tuple(signature, args, kwargs, bound)) return nullptr;
    uint32_t size = 1;
    if (bound[0] != nullptr && !args::to_u32(bound[0], "size", &size)) return nullptr;
    return allocate_result(type, size);
}

void result_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    slots_of(self).~ResultSlots();
    Py_TYPE(self)->tp_free(self);
}

int result_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    return slots_of(self).traverse(visit, arg);
}

int result_clear(PyObject* self) noexcept {
    slots_of(self).clear();
    return 0;
}

bool store_impl(PyObject* self, PyObject* value, uint32_t index) noexcept {
    ResultSlots& slots = slots_of(self);
    if (slots.store(py::Ref::new_ref(value), index)) return true;
    PyErr_Format(PyExc_IndexError, "index out of bounds: the len is %u but the index is %u", slots.size(), index);
    return false;
}

PyObject* result_store_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static const args::Signature signature{"store", {"value", "index"}, 1};
    PyObject* bound[2];
    if (!args::bind(signature, args, nargsf, kwnames, bound)) return nullptr;
    bool present = false;
    uint32_t index = 0;
    if (!args::to_optional_u32(bound[1], "index", &present, &index)) return nullptr;
    if (!store_impl(self, bound[0], present ? index : 0)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* result_fetch_method(PyObject* self, PyObject*) noexcept { return slots_of(self).fetch().release(); }

PyMethodDef result_methods[] = {
    {"store", as_method(result_store_method), METH_FASTCALL | METH_KEYWORDS, "store($self, value, index=None)\n--\n\n"},
    {"fetch", result_fetch_method, METH_NOARGS, "fetch($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

py::Ref new_result(uint32_t size) noexcept { return py::Ref::steal(allocate_result(&result_type, size)); }

bool result_store(PyObject* result, PyObject* value, uint32_t index) noexcept {
    return store_impl(result, value, index);
}

PyTypeObject result_type = [] {
    PyTypeObject type = py::static_type();
    type.tp_name = "quorlin._quorlin.Result";
    type.tp_basicsize = sizeof(ResultObject);
    type.tp_dealloc = result_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type.tp_doc = "Result(size=1)\n--\n\n";
    type.tp_traverse = result_traverse;
    type.tp_clear = result_clear;
    type.tp_methods = result_methods;
    type.tp_new = result_new;
    return type;
}();

}  // namespace quorlin
