// Resuming a registration: an event or timeout firing, or an abort.
#include "events/registration.hpp"

#include "events/task_step.hpp"
#include "events/waiter.hpp"
#include "runtime/record.hpp"
#include "work/push.hpp"

namespace quorlin {

namespace {

// Called by the one winner only: moves the task out into its next step.
void resume_with_send(WaitRegistration& registration, PyObject* runtime, py::Ref value) noexcept {
    // On a worker: the back of its own queue, so the woken task runs next there unless an idle
    // worker, woken for it, steals it first.
    push_soon(record_of(runtime), make_send_step(std::move(registration.task), std::move(value)));
}

}  // namespace

void fire(const std::shared_ptr<WaitRegistration>& registration, PyObject* runtime, uint32_t index) noexcept {
    WaitRegistration& r = *registration;
    if (r.aborted()) return;
    if (r.all_of) {
        // A compare-and-swap loop rather than decrement-then-undo, so the count never passes
        // below 0 even for a moment and exactly one firing sees it go from 1 to 0.
        uint32_t old = r.outstanding.load(std::memory_order_seq_cst);
        do {
            if (old == 0) return;  // already resumed or aborted
        } while (!r.outstanding.compare_exchange_weak(old, old - 1, std::memory_order_seq_cst));
        // The slot's previous object is None too, so nothing runs under a caller's event lock.
        (void)r.slots->store(py::Ref::none(), index);
        if (old == 1) resume_with_send(r, runtime, r.slots->fetch());
        return;
    }
    bool expected = false;
    if (!r.fired.compare_exchange_strong(expected, true, std::memory_order_seq_cst)) return;
    resume_with_send(r, runtime, py::Ref::none());
}

void abort_throw(const std::shared_ptr<WaitRegistration>& registration, PyObject* runtime, py::Ref error) noexcept {
    WaitRegistration& r = *registration;
    if (r.all_of) {
        if (r.outstanding.exchange(0, std::memory_order_seq_cst) == 0) return;
    } else {
        bool expected = false;
        if (!r.fired.compare_exchange_strong(expected, true, std::memory_order_seq_cst)) return;
    }
    push_soon(record_of(runtime), make_throw_step(std::move(r.task), std::move(error)));
}

}  // namespace quorlin
