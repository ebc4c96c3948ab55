// The ScheduledIO class: the Python face of one IoRegistration.
//
// Construction registers the descriptor with the running loop's epoll instance, through the
// runtime's registration table, with the record's address as token.  The arm operations ask
// for readiness (an Event and Waiter, or a callback), consume and clear take it back, close ends
// the registration and wakes what waited on a worker.
#include "common/args.hpp"
#include "errors/os_error.hpp"
#include "events/event.hpp"
#include "events/waiter.hpp"
#include "io/registration_map.hpp"
#include "io/schedule.hpp"
#include "module/registry.hpp"
#include "module/types.hpp"
#include "runtime/loop_jobs.hpp"
#include "runtime/methods.hpp"
#include "runtime/record.hpp"
#include "work/callback_item.hpp"
#include "work/push.hpp"

#include <cstdint>
#include <memory>
#include <new>
#include <sys/epoll.h>

namespace quorlin {

namespace {

using io::Direction;

// Edge-triggered, both directions, and the peer's half-close; made once, never re-armed.
constexpr uint32_t registration_events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;  // 0x80002005

struct ScheduledIoObject {
    PyObject_HEAD
    std::shared_ptr<IoRegistration> registration;  // set in tp_new, never replaced
};

IoRegistration& registration_of(PyObject* self) noexcept {
    return *reinterpret_cast<ScheduledIoObject*>(self)->registration;
}

uint64_t token_of(const IoRegistration& registration) noexcept {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&registration));
}

// Hands the run loop a share of a registration that has left the map, so that its address stays
// valid for a report already in flight; the loop drops it at the start of its next iteration.
void retire(RuntimeRecord& record, std::shared_ptr<IoRegistration> registration) noexcept {
    {
        std::lock_guard lock(record.pending_release_mutex);
        record.pending_release.push_back(std::move(registration));
    }
    // Ordering: seq_cst, paired with the loop's exchange: a share appended before this store is
    // seen by the loop's drain that reads the flag as 1.  The first retirement since the last drain
    // wakes the loop, so that a loop with nothing else to do does not keep closed records forever.
    if (record.release_pending.exchange(1, std::memory_order_seq_cst) == 0) (void)wake_loop(record);
}

PyObject* scheduled_io_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static const args::Signature signature{"ScheduledIO", {"fd"}, 1};
    PyObject* argument = nullptr;
    if (!args::bind_tuple(signature, args, kwargs, &argument)) return nullptr;
    int32_t fd = 0;
    if (!args::to_i32(argument, "fd", &fd)) return nullptr;
    PyObject* runtime = registered_runtime_or_raise();
    if (runtime == nullptr) return nullptr;
    RuntimeRecord& record = record_of(runtime);

    // Over-aligned `new` gives the 128-byte boundary the token relies on.
    std::shared_ptr<IoRegistration> registration(new IoRegistration(fd));
    registration->readiness.publish();  // before anyone else can see it
    // Refused once the run has begun to shut down, or when none goes on: the registration would
    // be in no interest set that anybody waits on.
    const int added = record.io_registrations->add(registration, registration_events, token_of(*registration));
    if (added == IoRegistrationMap::not_running) return raise_runtime_error("runtime is not running");
    if (added != 0) return raise_runtime_os_error(added);

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        // The descriptor was in epoll for a moment: undo it as close() would, without waking anyone.
        if (std::shared_ptr<IoRegistration> removed = record.io_registrations->remove(registration.get())) {
            IoWaiters none = removed->shut_down();
            retire(record, std::move(removed));
        }
        return nullptr;
    }
    new (&reinterpret_cast<ScheduledIoObject*>(self)->registration)
        std::shared_ptr<IoRegistration>(std::move(registration));
    return self;
}

void scheduled_io_dealloc(PyObject* self) noexcept {
    // Deregisters nothing: the map keeps the record until close() or the driver's shutdown.
    reinterpret_cast<ScheduledIoObject*>(self)->registration.~shared_ptr();
    Py_TYPE(self)->tp_free(self);
}

PyObject* arm_event(PyObject* self, Direction direction, const args::Signature& signature, PyObject* const* args,
                    Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    PyObject* argument = nullptr;
    if (!args::bind(signature, args, nargsf, kwnames, &argument)) return nullptr;
    bool has_timeout = false;
    uint32_t timeout_us = 0;
    if (!args::to_optional_u32(argument, "timeout", &has_timeout, &timeout_us)) return nullptr;
    IoRegistration& registration = registration_of(self);
    if (registration.ready_now(direction)) Py_RETURN_NONE;
    py::Ref event = new_event();
    if (!event) return nullptr;
    py::Ref slot_value = py::Ref::new_ref(event.get());
    if (!registration.store_unless_ready(direction, IoSlot::event, slot_value)) Py_RETURN_NONE;
    slot_value.reset();  // the event it replaced, never set
    return new_waiter(event.get(), has_timeout, timeout_us).release();
}

PyObject* arm_callback(PyObject* self, Direction direction, const args::Signature& signature, PyObject* const* args,
                       Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    PyObject* argument = nullptr;
    if (!args::bind(signature, args, nargsf, kwnames, &argument)) return nullptr;
    IoRegistration& registration = registration_of(self);
    if (registration.ready_now(direction)) Py_RETURN_TRUE;
    py::Ref slot_value = py::Ref::new_ref(argument);
    if (!registration.store_unless_ready(direction, IoSlot::callback, slot_value)) Py_RETURN_TRUE;
    slot_value.reset();  // the callback it replaced, never called
    Py_RETURN_FALSE;
}

PyObject* scheduled_io_arm_r(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static const args::Signature signature{"_arm_r", {"timeout"}, 0};
    return arm_event(self, Direction::read, signature, args, nargsf, kwnames);
}

PyObject* scheduled_io_arm_w(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static const args::Signature signature{"_arm_w", {"timeout"}, 0};
    return arm_event(self, Direction::write, signature, args, nargsf, kwnames);
}

PyObject* scheduled_io_arm_r_cb(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static const args::Signature signature{"_arm_r_cb", {"cb"}, 1};
    return arm_callback(self, Direction::read, signature, args, nargsf, kwnames);
}

PyObject* scheduled_io_arm_w_cb(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static const args::Signature signature{"_arm_w_cb", {"cb"}, 1};
    return arm_callback(self, Direction::write, signature, args, nargsf, kwnames);
}

PyObject* scheduled_io_consume_r(PyObject* self, PyObject*) noexcept {
    return PyBool_FromLong(registration_of(self).readiness.consume(Direction::read));
}

PyObject* scheduled_io_consume_w(PyObject* self, PyObject*) noexcept {
    return PyBool_FromLong(registration_of(self).readiness.consume(Direction::write));
}

PyObject* scheduled_io_clear_r(PyObject* self, PyObject*) noexcept {
    registration_of(self).readiness.clear(Direction::read);
    Py_RETURN_NONE;
}

PyObject* scheduled_io_clear_w(PyObject* self, PyObject*) noexcept {
    registration_of(self).readiness.clear(Direction::write);
    Py_RETURN_NONE;
}

PyObject* scheduled_io_close(PyObject* self, PyObject*) noexcept {
    PyObject* runtime = registered_runtime();
    if (runtime == nullptr) Py_RETURN_NONE;
    RuntimeRecord& record = record_of(runtime);
    std::shared_ptr<IoRegistration> registration = record.io_registrations->remove(&registration_of(self));
    if (!registration) Py_RETURN_NONE;  // closed already, or dropped by the driver's shutdown
    IoWaiters waiters = registration->shut_down();
    if (waiters.read_event) push_from_loop(record, make_set_event_job(std::move(waiters.read_event)));
    if (waiters.write_event) push_from_loop(record, make_set_event_job(std::move(waiters.write_event)));
    if (waiters.read_callback) push_from_loop(record, make_callback_item(std::move(waiters.read_callback)));
    if (waiters.write_callback) push_from_loop(record, make_callback_item(std::move(waiters.write_callback)));
    retire(record, std::move(registration));
    Py_RETURN_NONE;
}

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef scheduled_io_methods[] = {
    {"_arm_r", as_method(scheduled_io_arm_r), fastcall, "_arm_r($self, timeout=None)\n--\n\n"},
    {"_arm_w", as_method(scheduled_io_arm_w), fastcall, "_arm_w($self, timeout=None)\n--\n\n"},
    {"_arm_r_cb", as_method(scheduled_io_arm_r_cb), fastcall, "_arm_r_cb($self, cb)\n--\n\n"},
    {"_arm_w_cb", as_method(scheduled_io_arm_w_cb), fastcall, "_arm_w_cb($self, cb)\n--\n\n"},
    {"consume_r", scheduled_io_consume_r, METH_NOARGS, "consume_r($self)\n--\n\n"},
    {"consume_w", scheduled_io_consume_w, METH_NOARGS, "consume_w($self)\n--\n\n"},
    {"clear_r", scheduled_io_clear_r, METH_NOARGS, "clear_r($self)\n--\n\n"},
    {"clear_w", scheduled_io_clear_w, METH_NOARGS, "clear_w($self)\n--\n\n"},
    {"close", scheduled_io_close, METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject scheduled_io_type = [] {
    PyTypeObject type = py::static_type();
    type.tp_name = "quorlin._quorlin.ScheduledIO";
    type.tp_basicsize = sizeof(ScheduledIoObject);
    type.tp_dealloc = scheduled_io_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = "ScheduledIO(fd)\n--\n\n";
    type.tp_methods = scheduled_io_methods;
    type.tp_new = scheduled_io_new;
    return type;
}();

}  // namespace quorlin
