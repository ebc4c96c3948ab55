// Result: a fixed number of lock-guarded value slots, and the slot vector behind it that all-of
// waits use as well.
#pragma once

#include "common/py.hpp"

#include <cstdint>
#include <mutex>
#include <vector>

namespace quorlin {

// `size` slots, each always holding an object (None until stored).  Any thread may store and
// fetch; `lock_` makes each call atomic with respect to the others.  No Python code runs while
// the lock is held: a replaced object is dropped after it is released.
class ResultSlots {
public:
    // Slot vectors of this many entries or more are refused before anything is allocated.
    static constexpr uint64_t refused_size = uint64_t{1} << 29;

    explicit ResultSlots(uint32_t size) noexcept;
    ResultSlots(const ResultSlots&) = delete;
    ResultSlots& operator=(const ResultSlots&) = delete;

    [[nodiscard]] uint32_t size() const noexcept { return size_; }

    // Puts `value` into slot `index`; false (nothing stored, no error set) when `index` is not
    // below the size.
    [[nodiscard]] bool store(py::Ref value, uint32_t index) noexcept;

    // Size 1: the object in slot 0.  Otherwise a new list of the slots in index order.
    [[nodiscard]] py::Ref fetch() const noexcept;

    // For the garbage collector, which stops every other thread while it traverses.
    int traverse(visitproc visit, void* arg) const noexcept;
    // Replaces every slot with None and drops the old objects after unlocking.
    void clear() noexcept;

private:
    const uint32_t size_;
    mutable std::mutex lock_;
    std::vector<py::Ref> values_;  // guarded by lock_; exactly size_ entries
};

// A new Result with `size` slots, all None, or an empty Ref with an error set.
[[nodiscard]] py::Ref new_result(uint32_t size) noexcept;

// Stores a new reference to `value` in slot `index` of a Result; false with an error set when the
// index is not below its size.
[[nodiscard]] bool result_store(PyObject* result, PyObject* value, uint32_t index) noexcept;

}  // namespace quorlin
