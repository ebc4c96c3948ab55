// What a worker hands to every item it runs.
#pragma once

#include "common/py.hpp"

#include <cstddef>

namespace quorlin {

class LocalQueue;
struct WorkerSet;

struct WorkerContext {
    PyObject* runtime;  // borrowed for the duration of the call
    LocalQueue* local_queue;
    WorkerSet* workers;
    size_t index;
};

}  // namespace quorlin
