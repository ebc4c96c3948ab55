// Starting and stopping the coroutine workers of one run, and the life of a worker thread.
#include "work/pool.hpp"

#include "common/interpreter_exit.hpp"
#include "common/settle.hpp"
#include "common/sys.hpp"
#include "runtime/record.hpp"
#include "work/global_queue.hpp"
#include "work/this_worker.hpp"
#include "work/worker_context.hpp"
#include "work/worker_loop.hpp"
#include "work/worker_set.hpp"

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

namespace quorlin {

namespace {

// Whether the workers of one start could all attach.  A thread can start and still fail to make its
// thread state (memory refused): the run must then fail as if the thread had not started, rather
// than go on with a worker short, so the start waits for every worker's report.
class StartReports {
public:
    explicit StartReports(size_t workers) noexcept : pending_(workers) {}

    void report(bool attached) noexcept {
        std::lock_guard lock(mutex_);
        if (!attached) any_failed_ = true;
        if (--pending_ == 0) all_in_.notify_all();
    }

    // Blocks until every worker has reported; the caller must not be attached to the interpreter.
    [[nodiscard]] bool all_attached() noexcept {
        std::unique_lock lock(mutex_);
        all_in_.wait(lock, [this] { return pending_ == 0; });
        return !any_failed_;
    }

private:
    std::mutex mutex_;
    std::condition_variable all_in_;
    size_t pending_;  // guarded by mutex_
    bool any_failed_ = false;  // guarded by mutex_
};

// What a new worker thread is given; the thread owns and frees it.
struct WorkerStart {
    size_t index;
    std::shared_ptr<WorkerSet> workers;
    py::Ref runtime;
    std::shared_ptr<StartReports> reports;
};

// The interpreter side of a worker: attachment, the stop flag, running items.
//
// Once the interpreter has begun to exit, a worker that wakes from a park or finishes an item
// touches Python no more (see common/interpreter_exit.hpp): it leaves the live count, so that a
// shutdown waiting for it goes on, and sleeps detached, leaving its queue, its reference to the
// runtime and its thread state to the exiting process.
class AttachedHost {
public:
    AttachedHost(PyObject* runtime, WorkerSet& workers, size_t index) noexcept
        : record_(record_of(runtime)),
          live_(workers.live),
          context_{runtime, workers.stealers[index].get(), &workers, index} {}

    bool stop_requested() const noexcept { return record_.workers_stop.load(std::memory_order_seq_cst) != 0; }

    // Items may have run no Python code (native jobs, callbacks in C): before it goes idle, the
    // worker lets the interpreter free what it made and others dropped (see common/settle.hpp).
    // Work that this pushes is found by the look that follows the announcement.  A worker that
    // ran nothing since it last did so (woken, found nothing) has nothing new to settle.
    void going_idle() noexcept {
        if (!ran_since_settle_) return;
        ran_since_settle_ = false;
        settle_thread();
    }
    void gave_up_search() noexcept {}
    void going_to_park() noexcept {}

    bool park(Parker& parker) noexcept {
        // Re-attaching a thread state the interpreter knows needs no gate: if it has begun
        // finalizing meanwhile, it keeps this thread in the re-attach for good, with no native
        // lock held.
        py::Detached detached;
        parker.park();
        if (interpreter_exit::exiting()) retire();
        return true;
    }

    void run(ItemPtr item) noexcept {
        ran_since_settle_ = true;
        item.run(context_);
        // Items report their own failures; an error left behind must not reach the next item.
        if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
        if (interpreter_exit::exiting()) retire();
    }

private:
    [[noreturn]] void retire() noexcept {
        live_.leave();
        interpreter_exit::ThreadAttachment::retire();
    }

    RuntimeRecord& record_;
    LiveWorkers& live_;
    const WorkerContext context_;
    bool ran_since_settle_ = false;
};

// The end of a worker: leaves the live count and drops its share of the set.  The last share
// may be dropped here, detached: the set holds no Python object by then, since a worker ends
// only with its own queue empty and nobody else pushes onto it.
void leave(std::unique_ptr<WorkerStart> start) noexcept {
    this_worker = {};
    std::shared_ptr<WorkerSet> workers = std::move(start->workers);
    workers->live.leave();
}

void worker_main(void* raw) noexcept {
    std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(raw));
    WorkerSet& workers = *start->workers;
    RuntimeRecord& record = record_of(start->runtime.get());

    // A thread state is made and deleted only while the interpreter is not exiting (see
    // common/interpreter_exit.hpp).  A worker that starts too late ends at once, unattached: its
    // reference to the runtime is left to the exiting process, and it leaves the live count so that
    // a shutdown waiting for it goes on.
    // One that cannot make its thread state ends the same way, and fails the start.
    interpreter_exit::ThreadAttachment attachment;
    if (attachment.outcome() != interpreter_exit::Attach::attached) {
        (void)start->runtime.release();
        std::shared_ptr<StartReports> reports = std::move(start->reports);
        leave(std::move(start));
        reports->report(false);
        return;
    }
    std::exchange(start->reports, nullptr)->report(true);
    this_worker = ThisWorker{workers.stealers[start->index].get(), record.global_queue.get(), &workers};
    {
        AttachedHost host(start->runtime.get(), workers, start->index);
        WorkerLoop<AttachedHost> loop(workers, start->index, *record.global_queue, host);
        (void)loop.run();  // the host's park always re-attaches
    }
    this_worker = {};
    start->runtime.reset();
    if (attachment.end()) {
        leave(std::move(start));
        return;
    }
    // The interpreter is exiting: detached, the worker still leaves the live count, then sleeps.
    leave(std::move(start));
    interpreter_exit::sleep_forever();
}

}  // namespace

bool start_workers(PyObject* runtime, int* spawn_error) noexcept {
    // As for concurrent.futures, no worker starts once the interpreter is exiting: it could never
    // attach (see common/interpreter_exit.hpp).
    if (interpreter_exit::exiting()) {
        *spawn_error = 0;
        return false;
    }
    RuntimeRecord& record = record_of(runtime);
    auto workers = std::make_shared<WorkerSet>(record.threads);
    record.workers_stop.store(0, std::memory_order_seq_cst);
    std::shared_ptr<WorkerSet> previous = record.worker_set.exchange(workers);
    previous.reset();
    auto reports = std::make_shared<StartReports>(record.threads);
    for (size_t index = 0; index < record.threads; ++index) {
        auto* start = new WorkerStart{index, workers, py::Ref::new_ref(runtime), reports};
        if (!spawn_detached_thread(worker_main, start, spawn_error)) {
            delete start;
            workers->live.leave(record.threads - index);  // these will never run
            return false;
        }
    }
    bool all_attached = false;
    {
        py::Detached detached;  // a worker's attach may wait for a pause that needs this thread
        all_attached = reports->all_attached();
    }
    if (!all_attached) *spawn_error = ENOMEM;
    return all_attached;
}

void stop_workers(PyObject* runtime) noexcept {
    RuntimeRecord& record = record_of(runtime);
    record.workers_stop.store(1, std::memory_order_seq_cst);
    std::shared_ptr<WorkerSet> workers = record.worker_set.load();
    if (!workers) return;
    workers->unpark_all();
    {
        // The run loop's thread, whose thread state the interpreter knows: if it finalizes
        // meanwhile, re-attaching keeps this thread here for good, with the mutex released.
        py::Detached detached;
        workers->live.wait_for_none();
    }
    (void)record.worker_set.take();
}

}  // namespace quorlin
