// The module's classes, defined beside their concepts and made ready by the module body.
#pragma once

#include "common/py.hpp"

namespace quorlin {

extern PyTypeObject blocking_task_ctl_type;  // blocking/task_ctl.cpp
extern PyTypeObject event_type;              // events/event.cpp
extern PyTypeObject waiter_type;             // events/waiter.cpp
extern PyTypeObject result_type;             // events/result.cpp
extern PyTypeObject scheduled_io_type;       // runtime/scheduled_io.cpp
extern PyTypeObject runtime_type;            // runtime/runtime_type.cpp

}  // namespace quorlin
