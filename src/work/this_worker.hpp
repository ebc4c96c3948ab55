// The calling thread's own queue, when the thread is a coroutine worker.
#pragma once

namespace quorlin {

class GlobalQueue;
class LocalQueue;
struct WorkerSet;

struct ThisWorker {
    LocalQueue* queue = nullptr;        // the worker's own queue; null on every other thread
    const GlobalQueue* global = nullptr;  // identifies the runtime the worker belongs to
    // The worker's set, which the worker keeps a share of while it runs: a push from the worker
    // reaches it without going through the runtime's swappable cell.
    WorkerSet* workers = nullptr;
};

// Set by a worker when it starts and cleared when it ends; read by push_soon on the same thread.
inline thread_local ThisWorker this_worker{};

}  // namespace quorlin
