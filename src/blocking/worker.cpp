// The blocking worker's life.
//
// A submission that finds fewer than `threads_blocking` workers counted in `blocking_live`
// reserves a place and starts a worker.  The worker attaches to the interpreter for its whole
// life and then repeats: detach, wait on the queue until its idle deadline, re-attach and run one
// call.  When the wait times out (or the Runtime is gone and the queue is drained) it gives its
// place back at once, before re-attaching.
//
// No record may be stranded while no worker is counted.  A submission sends first and reads the
// counter afterwards; an ending worker gives its place back first and looks at the queue
// afterwards.  With the queue's mutex ordering the send against the look, either the look sees
// the record or the submission's read sees the place given back (and starts a worker).  A worker
// whose look finds records takes a place again if one is free and goes on; if none is free,
// `threads_blocking` other workers are counted, and each of them will look before it ends.
//
// Running a call: publish the thread's identifier in the call's BlockingTaskCtl (an abort reaches
// the call from then on), enter the copied context if any, call, exit the context, close the
// abort window (blocking/task_ctl.cpp), store both result slots, and only then set the event: a
// consumer woken by the event always finds the outcome.  Nothing the call raises escapes: it is
// the outcome.
#include "blocking/worker.hpp"

#include "blocking/queue.hpp"
#include "blocking/task_ctl.hpp"
#include "common/interpreter_exit.hpp"
#include "common/settle.hpp"
#include "events/event.hpp"
#include "events/result.hpp"
#include "runtime/record.hpp"

#include <limits>
#include <memory>
#include <optional>

namespace quorlin {

namespace {

struct WorkerStart {
    ChannelReceiver<TaskPtr> receiver;
    Duration idle_timeout;
    std::shared_ptr<std::atomic<size_t>> live;
    size_t limit;
};

// `threading` and the interned name "get_ident", kept for the process once published.
struct ThreadIdentSource {
    PyObject* threading;
    PyObject* get_ident;
};

std::atomic<ThreadIdentSource*> thread_ident_source{nullptr};

// The identifier threading.get_ident() returns, which PyThreadState_SetAsyncExc accepts.  It is
// PyThread_get_thread_ident() underneath, used directly should the call fail.
unsigned long current_thread_ident() noexcept {
    // Ordering: acquire pairs with the release publication, so both fields are seen complete.
    if (ThreadIdentSource* source = thread_ident_source.load(std::memory_order_acquire)) {
        py::Ref ident = py::Ref::steal(PyObject_CallMethodNoArgs(source->threading, source->get_ident));
        if (ident) {
            unsigned long value = PyLong_AsUnsignedLong(ident.get());
            if (!(value == static_cast<unsigned long>(-1) && PyErr_Occurred())) return value;
        }
        PyErr_Clear();
    }
    return PyThread_get_thread_ident();
}

// Now plus the idle timeout on the monotonic clock; none when the sum does not fit.
std::optional<Instant> deadline_after(const Duration& timeout) noexcept {
    Instant now = monotonic_now();
    uint64_t nanoseconds = static_cast<uint64_t>(now.nanoseconds) + timeout.nanoseconds;
    uint64_t carry = nanoseconds / 1'000'000'000;
    if (timeout.seconds > std::numeric_limits<uint64_t>::max() - now.seconds - carry) return std::nullopt;
    return Instant{now.seconds + timeout.seconds + carry, static_cast<uint32_t>(nanoseconds % 1'000'000'000)};
}

// Waits (detached) for the next record.  False once the worker has given its place back for good.
bool next_task(WorkerStart& start, std::optional<TaskPtr>& task) noexcept {
    for (;;) {
        Receive outcome = start.receiver.receive(task, deadline_after(start.idle_timeout));
        if (outcome == Receive::item) return true;
        // Ordering: seq_cst like every change of the counter; the look below must come after it
        // (see the top of this file).
        start.live->fetch_sub(1, std::memory_order_seq_cst);
        if (outcome == Receive::disconnected) return false;  // no sender: nothing more can come
        if (start.receiver.empty() || !reserve_blocking_worker(*start.live, start.limit)) return false;
    }
}

void store_outcome(PyObject* result, bool raised, PyObject* value) noexcept {
    if (!result_store(result, raised ? Py_True : Py_False, 0) || !result_store(result, value, 1)) {
        fatal("a blocking call's Result refused its outcome");
    }
}

void run_task(BlockingTask& task) noexcept {
    unsigned long ident = current_thread_ident();
    blocking_task_ctl_open(task.ctl.get(), ident);
    bool raised = false;
    py::Ref outcome;
    if (task.context && PyContext_Enter(task.context.get()) < 0) {
        raised = true;
        outcome = py::fetch_exception();
    } else {
        PyObject* returned = task.kwargs ? PyObject_Call(task.f.get(), task.args.get(), task.kwargs.get())
                                         : PyObject_CallObject(task.f.get(), task.args.get());
        raised = returned == nullptr;
        outcome = raised ? py::fetch_exception() : py::Ref::steal(returned);
        // Exit cannot fail for a context this worker entered and the call left balanced; a call
        // that did not is reported, not allowed to disturb the worker.
        if (task.context && PyContext_Exit(task.context.get()) < 0) PyErr_WriteUnraisable(task.f.get());
    }
    blocking_task_ctl_close(task.ctl.get(), ident);
    store_outcome(task.result.get(), raised, outcome.get());
    set_and_fire(task.event.get());
}

void worker_main(void* raw) noexcept {
    std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(raw));
    // A thread state is made and deleted only while the interpreter is not exiting, and once it
    // is, the worker touches Python no more (see common/interpreter_exit.hpp).  A worker that
    // starts too late gives its place back and ends unattached; one that wakes from its wait, or
    // finishes a call, after the interpreter began to exit sleeps detached.  Whatever it holds
    // then (a receiving end, a record) is left to the exiting process.  Re-attaching after a wait
    // needs no gate: the interpreter knows this thread state and, once it is finalizing, keeps the
    // thread in the re-attach for good, with no native lock held.
    // One that cannot make its thread state (memory refused) gives its place back too: a call it
    // leaves queued goes to the next worker, which the next submission starts if none is idle.
    interpreter_exit::ThreadAttachment attachment;
    if (attachment.outcome() != interpreter_exit::Attach::attached) {
        start->live->fetch_sub(1, std::memory_order_seq_cst);
        (void)start.release();
        return;
    }
    for (;;) {
        std::optional<TaskPtr> task;
        bool received = false;
        {
            py::Detached detached;
            received = next_task(*start, task);
            if (interpreter_exit::exiting()) interpreter_exit::ThreadAttachment::retire();
        }
        if (!received) break;
        run_task(**task);
        if (interpreter_exit::exiting()) {
            (void)task->release();
            interpreter_exit::ThreadAttachment::retire();
        }
        task.reset();  // the record's references go here, attached
        // The call may have run no Python code: without this, what it made and others dropped
        // (its result, to begin with) would never be freed (see common/settle.hpp).
        settle_thread();
    }
    // The receiving end goes while still attached: when it is the queue's last end, records sent
    // after this worker's last look are released with the queue.
    start.reset();
    if (!attachment.end()) interpreter_exit::sleep_forever();
}

}  // namespace

bool reserve_blocking_worker(std::atomic<size_t>& live, size_t limit) noexcept {
    // Ordering: seq_cst, so that reservations, give-backs and the submitters' reads of the counter
    // fall into one order with each other (see the top of this file).
    if (live.fetch_add(1, std::memory_order_seq_cst) < limit) return true;
    live.fetch_sub(1, std::memory_order_seq_cst);
    return false;
}

bool start_blocking_worker(const RuntimeRecord& record, int* error) noexcept {
    // As for concurrent.futures, no worker starts once the interpreter is exiting: it could never
    // attach (see common/interpreter_exit.hpp).
    if (interpreter_exit::exiting()) {
        *error = 0;
        return false;
    }
    auto* start = new WorkerStart{record.blocking_queue->receiver.clone(), record.blocking_idle_timeout,
                                  record.blocking_live, record.threads_blocking};
    if (spawn_detached_thread(worker_main, start, error)) return true;
    delete start;
    return false;
}

bool thread_ident_source_ready() noexcept {
    if (thread_ident_source.load(std::memory_order_acquire) != nullptr) return true;
    py::Ref threading = py::Ref::steal(PyImport_ImportModule("threading"));
    if (!threading) return false;
    py::Ref get_ident = py::Ref::steal(PyUnicode_InternFromString("get_ident"));
    if (!get_ident) return false;
    auto* source = new ThreadIdentSource{threading.get(), get_ident.get()};
    ThreadIdentSource* expected = nullptr;
    // Ordering: release publishes the fields; acq_rel on success, acquire on a lost race.
    if (thread_ident_source.compare_exchange_strong(expected, source, std::memory_order_acq_rel,
                                                    std::memory_order_acquire)) {
        (void)threading.release();  // kept for the process
        (void)get_ident.release();
    } else {
        delete source;
    }
    return true;
}

}  // namespace quorlin
