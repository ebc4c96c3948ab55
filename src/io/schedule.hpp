// IoRegistration: the shared record behind one ScheduledIO.
//
// The driver fills `readiness` from edge-triggered epoll reports and then empties the slots of
// the directions it reported (`take_waiters`).  An arm operation stores an event or a callback
// only while holding `lock` and after re-reading `readiness` under it.  Either the arm sees the
// driver's new bits and reports ready, or the driver's `take_waiters` comes after the arm let go
// of `lock` and takes what it stored: no wake-up is lost.
//
// Ownership: the ScheduledIO object, the runtime's `io_registrations` (from creation until close
// or the driver's shutdown) and, after close, `pending_release` until the run loop's next
// iteration.  The address is the epoll token, so the record must outlive any report in flight;
// see run_loop.cpp.  Every holder drops its share while attached to the interpreter, because the
// last one releases whatever the slots still hold.
#pragma once

#include "common/py.hpp"
#include "io/readiness.hpp"

#include <cstdint>
#include <mutex>

namespace quorlin {

// What `take_waiters` hands back; the caller owns the references.
struct IoWaiters {
    py::Ref read_event;
    py::Ref write_event;
    py::Ref read_callback;
    py::Ref write_callback;
};

enum class IoSlot { event, callback };

// Aligned to 128 bytes so that its address, the epoll token, is never 0 or 1 (the tokens of the
// wake-up descriptor and the signal socket) and the record shares no cache line with another.
struct alignas(128) IoRegistration {
    explicit IoRegistration(int32_t fd_) noexcept : fd(fd_) {}
    IoRegistration(const IoRegistration&) = delete;
    IoRegistration& operator=(const IoRegistration&) = delete;

    // True (and the tick remembered) when `direction` is ready now.
    [[nodiscard]] bool ready_now(io::Direction direction) noexcept;

    // Stores `value` in the slot unless the direction is ready.  Returns true when it stored it:
    // `value` then holds what the slot held before, for the caller to drop outside the lock.
    // Returns false when the direction turned out ready (tick remembered); `value` is untouched.
    [[nodiscard]] bool store_unless_ready(io::Direction direction, IoSlot slot, py::Ref& value) noexcept;

    // Takes the read slots if `mask` has read interest and the write slots if it has write interest.
    [[nodiscard]] IoWaiters take_waiters(uint32_t mask) noexcept;

    // Closes the registration for good (both directions ready from now on) and hands back what
    // waited, for the caller to wake (close()) or drop (the driver's shutdown).
    [[nodiscard]] IoWaiters shut_down() noexcept {
        readiness.shut_down();
        return take_waiters(io::all_interest);
    }

    const int32_t fd;  // not owned: the registration never closes it
    io::ReadinessWord readiness;

private:
    [[nodiscard]] py::Ref& slot_locked(io::Direction direction, IoSlot slot) noexcept;

    std::mutex lock_;
    py::Ref read_event_;      // guarded by lock_
    py::Ref write_event_;     // guarded by lock_
    py::Ref read_callback_;   // guarded by lock_
    py::Ref write_callback_;  // guarded by lock_
};

static_assert(alignof(IoRegistration) == 128);

}  // namespace quorlin
