#include "work/callback_item.hpp"

#include "work/worker_context.hpp"

namespace quorlin {

namespace {

struct CallbackItem : WorkItem {
    py::Ref callable;
};

void run_callback(ItemPtr item, const WorkerContext&) noexcept {
    // Called in whatever context the worker has: callbacks carry no context of their own.
    py::Ref result = py::Ref::steal(PyObject_CallNoArgs(item.as<CallbackItem>().callable.get()));
    if (!result) PyErr_WriteUnraisable(nullptr);
}

void release_callback(WorkItem* raw) noexcept { delete static_cast<CallbackItem*>(raw); }

constexpr WorkItemOps callback_ops{run_callback, release_callback};

}  // namespace

ItemPtr make_callback_item(py::Ref callable) noexcept {
    return ItemPtr(new CallbackItem{{&callback_ops}, std::move(callable)});
}

}  // namespace quorlin
