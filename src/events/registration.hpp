// The record of one parked coroutine (WaitRegistration), the task it resumes, and the handle a
// task keeps on its control Waiter (TaskControl).
//
// A registration is shared by the queues of the events it waits on, the timer heap (for a timed
// wait) and the current_registration cell of the task's control Waiter.  Exactly one resumer wins
// it: for zero or one event the first firing, timeout or abort (the `fired` exchange); for two or
// more events the firing that takes `outstanding` from 1 to 0, or an abort that takes it to 0.
// The winner moves the task (coroutine, context, control) out of the record into the step that
// resumes it, so that the record the losers, the event queues and the timer heap still hold is
// small and keeps no Python object alive.
#pragma once

#include "common/py.hpp"
#include "events/result.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

namespace quorlin {

// A task's handle on its control Waiter (the zero-event Waiter it last awaited).  Every step and
// registration of the task carries the same one until it awaits another zero-event Waiter.
struct TaskControl {
    py::Ref waiter;
};

// What a resumption steps.  `context` is present exactly when the runtime runs coroutines in
// contexts.  Dropping a Task releases Python references: only on an attached thread, with no
// native lock held.
struct Task {
    py::Ref coroutine;
    py::Ref context;
    std::shared_ptr<TaskControl> control;
};

using AbortFlag = std::atomic<bool>;

struct WaitRegistration {
    // `events` is the number of events waited on: two or more make an all-of wait.
    WaitRegistration(Task task_, std::shared_ptr<AbortFlag> abort_flag_, uint32_t events) noexcept
        : all_of(events >= 2),
          outstanding(events >= 2 ? events : 0),
          abort_flag(std::move(abort_flag_)),
          task(std::move(task_)) {
        if (all_of) slots.emplace(events);
    }
    WaitRegistration(const WaitRegistration&) = delete;
    WaitRegistration& operator=(const WaitRegistration&) = delete;

    // True once something has resumed the coroutine (or taken it for an abort).
    [[nodiscard]] bool resumed() const noexcept {
        // Ordering: seq_cst like every other access to these two; a stale `false` only delays a
        // queue's pruning of this entry.
        return all_of ? outstanding.load(std::memory_order_seq_cst) == 0 : fired.load(std::memory_order_seq_cst);
    }

    [[nodiscard]] bool aborted() const noexcept {
        return abort_flag && abort_flag->load(std::memory_order_seq_cst);
    }

    const bool all_of;
    // All-of only: one value per event, then fetched as the list sent to the coroutine.
    std::optional<ResultSlots> slots;
    // All-of only: events still to fire.  Decremented by firings (compare-and-swap, never below
    // 0) on any thread, taken to 0 by an abort; read by queue sweeps.
    // Ordering: seq_cst, so the one transition to 0 also orders the winner's access to `task`
    // after its publication.
    std::atomic<uint32_t> outstanding;
    // Zero or one event: set by the first firing, timeout or abort (exchange on any thread);
    // read by queue sweeps.  Ordering: seq_cst, as for `outstanding`.
    std::atomic<bool> fired{false};
    // The flag abort() sets: the control Waiter's flag, a checkpoint's own flag, or null when
    // nothing can abort this wait.
    const std::shared_ptr<AbortFlag> abort_flag;
    // Safety: written before the registration is published (under an event lock, the timer lock,
    // or the control Waiter's cell, each of which orders it before any resumer's access); after
    // that touched only by the one winner, which moves it out, and by the destructor.
    Task task;
};

}  // namespace quorlin
