// A swappable cell holding any Python object (the `_ssock_r`, `_ssock_w`, `_sig_wfd` attributes).
#pragma once

#include "common/py.hpp"
#include "common/swap_cell.hpp"

namespace quorlin {

// A Python object kept in a shared record, so that a reader may keep using it after a writer
// swapped it out.  Every holder is an attached thread, so the last one may drop the reference.
struct ObjectBox {
    explicit ObjectBox(py::Ref value) noexcept : object(std::move(value)) {}
    py::Ref object;
};

class ObjectCell {
public:
    ObjectCell() noexcept : cell_(std::make_shared<ObjectBox>(py::Ref::none())) {}

    // A new reference to the object in the cell.
    [[nodiscard]] py::Ref get() const noexcept {
        std::shared_ptr<ObjectBox> box = cell_.load();
        return py::Ref::new_ref(box->object.get());
    }

    void set(PyObject* value) noexcept {
        std::shared_ptr<ObjectBox> old = cell_.exchange(std::make_shared<ObjectBox>(py::Ref::new_ref(value)));
        old.reset();  // may run the old object's finalizer: the caller is attached and holds no lock
    }

private:
    SwapCell<ObjectBox> cell_;
};

}  // namespace quorlin
