// BlockingTask: the record queued for one blocking call.
#pragma once

#include "common/py.hpp"

#include <memory>

namespace quorlin {

// Every field is an owned strong reference, released with the record: by the worker once it has
// reported the outcome, or unrun when the queue goes with the record still in it.  Either way the
// releasing thread is attached (see blocking/worker.cpp and the Runtime's deallocation).
struct BlockingTask {
    py::Ref event;    // Event, set when the call has finished
    py::Ref result;   // Result of two slots: raised?, returned object or exception
    py::Ref ctl;      // BlockingTaskCtl
    py::Ref f;        // the callable
    py::Ref args;     // tuple of the positional arguments after f
    py::Ref kwargs;   // dict of the other keyword arguments, or empty when there were none
    py::Ref context;  // the submitter's context copied, or empty when the runtime does not copy
};

using TaskPtr = std::unique_ptr<BlockingTask>;

}  // namespace quorlin
