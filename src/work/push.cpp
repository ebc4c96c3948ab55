#include "work/push.hpp"

#include "runtime/record.hpp"
#include "work/global_queue.hpp"
#include "work/local_queue.hpp"
#include "work/this_worker.hpp"
#include "work/worker_set.hpp"

namespace quorlin {

namespace {

enum class Wake { Claiming, Eager };

void wake(WorkerSet& workers, Wake how) noexcept {
    if (how == Wake::Claiming) {
        workers.claiming_wake();
    } else {
        workers.eager_wake();
    }
}

void wake_one(RuntimeRecord& runtime, Wake how) noexcept {
    // A worker of this runtime holds a share of the running set: no need to go through the cell.
    const ThisWorker& worker = this_worker;
    if (worker.workers != nullptr && worker.global == runtime.global_queue.get()) {
        wake(*worker.workers, how);
        return;
    }
    // Read in place: no share of the set is taken on this path.  With no set the runtime is not
    // running, and the item waits for the next run.
    runtime.worker_set.read([how](const std::shared_ptr<WorkerSet>& workers) {
        if (workers) wake(*workers, how);
    });
}

}  // namespace

void push_soon(RuntimeRecord& runtime, ItemPtr item) noexcept {
    // Only a worker of this runtime keeps the item: a worker of another runtime would run it with
    // the wrong runtime in its context.
    const ThisWorker& worker = this_worker;
    if (worker.queue != nullptr && worker.global == runtime.global_queue.get()) {
        worker.queue->push(std::move(item));
        wake(*worker.workers, Wake::Claiming);
        return;
    }
    runtime.global_queue->push(std::move(item));
    wake_one(runtime, Wake::Claiming);
}

void push_deferred(RuntimeRecord& runtime, ItemPtr item) noexcept {
    runtime.global_queue->push(std::move(item));
    wake_one(runtime, Wake::Claiming);
}

void push_from_loop(RuntimeRecord& runtime, ItemPtr item) noexcept {
    runtime.global_queue->push(std::move(item));
    wake_one(runtime, Wake::Eager);
}

}  // namespace quorlin
