// _sig_add and _sig_rem: the signal numbers whose bytes on the signal socket set an Event.
// Delivery itself is part of the run loop (run_loop.cpp), which reads `signal_events` without a
// lock.
#include "common/args.hpp"
#include "events/event.hpp"
#include "runtime/methods.hpp"
#include "runtime/record.hpp"
#include "runtime/signal_table.hpp"

namespace quorlin {

PyObject* runtime_sig_add(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static const args::Signature signature{"_sig_add", {"sig"}, 1};
    PyObject* argument = nullptr;
    if (!args::bind(signature, args, nargsf, kwnames, &argument)) return nullptr;
    uint8_t number = 0;
    if (!args::to_u8_signal(argument, "sig", &number)) return nullptr;
    py::Ref event = new_event();
    if (!event) return nullptr;
    // The replaced event is not set; a run-loop lookup that raced this may still set it once.
    std::shared_ptr<ObjectBox> replaced = record_of(self).signal_events->replace(number, event.get());
    replaced.reset();  // attached and unlocked: the old event may be freed here
    return event.release();
}

PyObject* runtime_sig_rem(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static const args::Signature signature{"_sig_rem", {"sig"}, 1};
    PyObject* argument = nullptr;
    if (!args::bind(signature, args, nargsf, kwnames, &argument)) return nullptr;
    uint8_t number = 0;
    if (!args::to_u8_signal(argument, "sig", &number)) return nullptr;
    std::shared_ptr<ObjectBox> removed = record_of(self).signal_events->remove(number);
    return PyBool_FromLong(removed != nullptr);
}

}  // namespace quorlin
