#include "io/schedule.hpp"

#include <utility>

namespace quorlin {

bool IoRegistration::ready_now(io::Direction direction) noexcept {
    if (!readiness.ready(direction)) return false;
    readiness.remember_tick(direction);
    return true;
}

bool IoRegistration::store_unless_ready(io::Direction direction, IoSlot slot, py::Ref& value) noexcept {
    {
        std::lock_guard guard(lock_);
        if (!readiness.ready(direction)) {
            // The swap leaves the replaced occupant with the caller, who drops it unlocked.
            std::swap(slot_locked(direction, slot), value);
            return true;
        }
    }
    readiness.remember_tick(direction);
    return false;
}

IoWaiters IoRegistration::take_waiters(uint32_t mask) noexcept {
    IoWaiters taken;
    std::lock_guard guard(lock_);
    if (mask & io::read_interest) {
        taken.read_event = std::move(read_event_);
        taken.read_callback = std::move(read_callback_);
    }
    if (mask & io::write_interest) {
        taken.write_event = std::move(write_event_);
        taken.write_callback = std::move(write_callback_);
    }
    return taken;
}

py::Ref& IoRegistration::slot_locked(io::Direction direction, IoSlot slot) noexcept {
    if (direction == io::Direction::read) return slot == IoSlot::event ? read_event_ : read_callback_;
    return slot == IoSlot::event ? write_event_ : write_callback_;
}

}  // namespace quorlin
