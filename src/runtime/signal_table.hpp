// Signal number -> Event, read by the run loop without a lock.
#pragma once

#include "runtime/object_cell.hpp"

#include <array>
#include <cstdint>

namespace quorlin {

// One swappable cell per possible signal byte: lookups are a single atomic load; a replaced or
// removed event lives on until the last reader that saw it lets go.
class SignalTable {
public:
    // The event registered for `number`, or an empty pointer.
    [[nodiscard]] std::shared_ptr<ObjectBox> find(uint8_t number) const noexcept { return cells_[number].load(); }

    // Registers `event` for `number`; returns what was registered before (released by the caller).
    [[nodiscard]] std::shared_ptr<ObjectBox> replace(uint8_t number, PyObject* event) noexcept {
        return cells_[number].exchange(std::make_shared<ObjectBox>(py::Ref::new_ref(event)));
    }

    // Removes the registration of `number`; returns it (empty if there was none).
    [[nodiscard]] std::shared_ptr<ObjectBox> remove(uint8_t number) noexcept { return cells_[number].take(); }

private:
    std::array<SwapCell<ObjectBox>, 256> cells_;
};

}  // namespace quorlin
