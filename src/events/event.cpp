// The Event class.
//
// No wait is lost between set() and a registration: set() turns `set_flag` on before it takes
// `lock`, and a registration reads the flag while holding `lock`.  A registration that sees the
// flag off queues its entry under the lock, so the set() that turned the flag on drains it; one
// that sees the flag on fires at once without queueing.
//
// Entries whose registration something else has already resumed (their timeout, another event of
// an all-of wait, an abort) would otherwise stay until the next set().  An event that is waited
// on with timeouts again and again and never set would grow without bound, so queueing sweeps
// them out whenever the queue has doubled since the last sweep.
#include "events/event.hpp"

#include "common/args.hpp"
#include "events/registration.hpp"
#include "events/waiter.hpp"
#include "module/types.hpp"
#include "runtime/methods.hpp"

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

namespace quorlin {

namespace {

// One wait queued on an event.
struct PendingWait {
    py::Ref runtime;  // whose worker queues receive the resumed coroutine
    std::shared_ptr<WaitRegistration> registration;
    uint32_t index;  // this event's position in the awaited Waiter's events
};

// Queues are swept once they reach this many entries, and again each time they double.
constexpr size_t first_sweep = 16;

struct EventObject {
    PyObject_HEAD
    // Ordering: seq_cst everywhere; the no-lost-wake argument above needs the flag store of
    // set() and the flag load of a registration ordered against the lock.
    std::atomic<bool> set_flag;
    std::mutex lock;
    // Guarded by lock; oldest first.  A vector: an event typically has one waiter at a time, and
    // an empty vector costs no allocation to make, swap or destroy.
    std::vector<PendingWait> pending;
    size_t sweep_at;                  // guarded by lock
};

EventObject& event_of(PyObject* self) noexcept { return *reinterpret_cast<EventObject*>(self); }

// Moves the entries of resumed registrations out of `pending` (order kept) into `stale`, which the
// caller drops after unlocking.
void sweep_locked(EventObject& event, std::vector<PendingWait>& stale) noexcept {
    std::vector<PendingWait> live;
    live.reserve(event.pending.size());
    for (PendingWait& entry : event.pending) {
        if (entry.registration->resumed()) {
            stale.push_back(std::move(entry));
        } else {
            live.push_back(std::move(entry));
        }
    }
    event.pending.swap(live);
    event.sweep_at = std::max(first_sweep, 2 * event.pending.size());
}

PyObject* allocate_event(PyTypeObject* type) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    EventObject& event = event_of(self);
    new (&event.set_flag) std::atomic<bool>(false);
    new (&event.lock) std::mutex();
    new (&event.pending) std::vector<PendingWait>();
    event.sweep_at = first_sweep;
    return self;
}

PyObject* event_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    // A subclass with its own __init__ may take arguments; Event itself takes none.
    if (type->tp_init == event_type.tp_init) {
        static const args::Signature signature{"Event", {}, 0};
        PyObject* unused[1];
        if (!args::bind_tuple(signature, args, kwargs, unused)) return nullptr;
    }
    return allocate_event(type);
}

void event_dealloc(PyObject* self) noexcept {
    EventObject& event = event_of(self);
    {
        // Queued waits are released unfired; their coroutines stay with their other holders.
        std::vector<PendingWait> pending = std::move(event.pending);
    }
    event.pending.~vector();
    event.lock.~mutex();
    event.set_flag.~atomic();
    Py_TYPE(self)->tp_free(self);
}

PyObject* event_set(PyObject* self, PyObject*) noexcept {
    set_and_fire(self);
    Py_RETURN_NONE;
}

PyObject* event_clear(PyObject* self, PyObject*) noexcept {
    // Only the flag changes.  A set() that turned the flag on before this has already claimed the
    // entries queued at that moment, and it fires them: those waiters registered before the set.
    bool expected = true;
    (void)event_of(self).set_flag.compare_exchange_strong(expected, false, std::memory_order_seq_cst);
    Py_RETURN_NONE;
}

PyObject* event_is_set(PyObject* self, PyObject*) noexcept {
    return PyBool_FromLong(event_of(self).set_flag.load(std::memory_order_seq_cst));
}

PyObject* event_waiter(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static const args::Signature signature{"waiter", {"timeout"}, 1};
    PyObject* bound[1];
    if (!args::bind(signature, args, nargsf, kwnames, bound)) return nullptr;
    bool has_timeout = false;
    uint32_t timeout_us = 0;
    if (!args::to_optional_u32(bound[0], "timeout", &has_timeout, &timeout_us)) return nullptr;
    return new_waiter(self, has_timeout, timeout_us).release();
}

PyMethodDef event_methods[] = {
    {"set", event_set, METH_NOARGS, "set($self)\n--\n\n"},
    {"clear", event_clear, METH_NOARGS, "clear($self)\n--\n\n"},
    {"is_set", event_is_set, METH_NOARGS, "is_set($self)\n--\n\n"},
    {"waiter", as_method(event_waiter), METH_FASTCALL | METH_KEYWORDS, "waiter($self, timeout)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

py::Ref new_event() noexcept { return py::Ref::steal(allocate_event(&event_type)); }

void set_and_fire(PyObject* self) noexcept {
    EventObject& event = event_of(self);
    bool expected = false;
    if (!event.set_flag.compare_exchange_strong(expected, true, std::memory_order_seq_cst)) return;
    std::vector<PendingWait> drained;
    {
        std::lock_guard guard(event.lock);
        drained.swap(event.pending);
        event.sweep_at = first_sweep;
        // Fired under the lock, in registration order; firing only queues steps.
        for (PendingWait& entry : drained) fire(entry.registration, entry.runtime.get(), entry.index);
    }
    // `drained` goes here, unlocked: it drops runtime references and registration shares.
}

void event_add_wait(PyObject* self, PyObject* runtime, const std::shared_ptr<WaitRegistration>& registration,
                    uint32_t index) noexcept {
    EventObject& event = event_of(self);
    std::vector<PendingWait> stale;
    {
        std::lock_guard guard(event.lock);
        if (event.set_flag.load(std::memory_order_seq_cst)) {
            fire(registration, runtime, index);
        } else {
            if (event.pending.size() >= event.sweep_at) sweep_locked(event, stale);
            event.pending.push_back(PendingWait{py::Ref::new_ref(runtime), registration, index});
        }
    }
    // `stale` goes here, unlocked.
}

PyTypeObject event_type = [] {
    PyTypeObject type = py::static_type();
    type.tp_name = "quorlin._quorlin.Event";
    type.tp_basicsize = sizeof(EventObject);
    type.tp_dealloc = event_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = "Event()\n--\n\n";
    type.tp_methods = event_methods;
    type.tp_new = event_new;
    return type;
}();

}  // namespace quorlin
