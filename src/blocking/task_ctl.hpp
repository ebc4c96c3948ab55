// BlockingTaskCtl: the handle that aborts one blocking call.
#pragma once

#include "common/py.hpp"

namespace quorlin {

// A new handle for a call no worker has picked up yet, or an empty Ref with an error set.
[[nodiscard]] py::Ref new_blocking_task_ctl() noexcept;

// Called by the worker before the call starts: from here on an abort reaches thread `ident`.
void blocking_task_ctl_open(PyObject* ctl, unsigned long ident) noexcept;

// Called by the worker (attached) once the call has returned and before it reports: no abort of
// this handle can reach the thread afterwards, and a request that arrived too late to surface in
// the call is withdrawn, so that nothing the thread runs later sees it.
void blocking_task_ctl_close(PyObject* ctl, unsigned long ident) noexcept;

}  // namespace quorlin
