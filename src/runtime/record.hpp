// The runtime record: the state of one Runtime, shared by the run loop, the coroutine workers, the
// blocking workers and every Python thread.
//
// It has no lock of its own.  Each field is set once at construction, atomic, a lock-free
// structure, or guarded by its own mutex, as noted beside it.
#pragma once

#include "common/py.hpp"
#include "common/swap_cell.hpp"
#include "common/sys.hpp"
#include "io/epoll_handle.hpp"
#include "runtime/object_cell.hpp"
#include "runtime/timers.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace quorlin {

class GlobalQueue;
struct WorkerSet;
struct IoRegistration;
class IoRegistrationMap;
class SignalTable;
struct BlockingQueueEnds;

// The run loop's wake-up eventfd; closed when its last holder lets go.
struct LoopWaker {
    UniqueFd fd;
};

struct Duration {
    uint64_t seconds = 0;
    uint32_t nanoseconds = 0;
};

struct RuntimeRecord {
    RuntimeRecord(size_t threads, size_t threads_blocking, uint64_t blocking_timeout_seconds, bool context,
                  std::vector<uint8_t> signals);
    ~RuntimeRecord();
    RuntimeRecord(const RuntimeRecord&) = delete;
    RuntimeRecord& operator=(const RuntimeRecord&) = delete;

    // Live I/O registrations; open while a run goes on.  Written by ScheduledIO and close(),
    // emptied and closed by the run loop's shutdown.
    std::unique_ptr<IoRegistrationMap> io_registrations;
    // Signal number -> Event; written by _sig_add/_sig_rem, read by the run loop without a lock.
    std::unique_ptr<SignalTable> signal_events;
    // The sending end and the runtime's receiving end of the blocking pool's queue.
    std::unique_ptr<BlockingQueueEnds> blocking_queue;
    // Set once at construction.
    Duration blocking_idle_timeout;
    // Live blocking workers; shared with the workers so that it outlives the record.
    std::shared_ptr<std::atomic<size_t>> blocking_live;
    const size_t threads_blocking;
    const Instant clock_base;
    // Distinct values of the constructor's `signals`, first occurrence first.
    const std::vector<uint8_t> signal_set;
    // Fed from any thread, drained by the workers; reference-counted so a run's workers share it.
    std::shared_ptr<GlobalQueue> global_queue;
    SwapCell<EpollHandle> epoll_handle;
    // Registrations closed while a readiness report for them may be in flight; drained by the run
    // loop at the start of an iteration.
    std::mutex pending_release_mutex;
    std::vector<std::shared_ptr<IoRegistration>> pending_release;  // guarded by pending_release_mutex
    SwapCell<LoopWaker> loop_waker;
    Timers timer_heap;  // timed waits: added to from any thread, expired only by the run loop
    SwapCell<WorkerSet> worker_set;
    ObjectCell sig_wfd;
    ObjectCell ssock_r;
    ObjectCell ssock_w;
    const size_t threads;
    const bool context;
    // Flags: read and written with sequentially consistent atomics (see the users for why).
    std::atomic<uint8_t> release_pending{0};
    std::atomic<uint8_t> workers_stop{0};
    std::atomic<uint8_t> closed{0};
    // Written by the Python loop, read by the run loop once per report; relaxed is enough because
    // a change only has to be seen by some later report.
    std::atomic<uint8_t> sig_listening{0};
    // Written and exchanged by the run loop only.
    std::atomic<uint8_t> signal_delivered{0};
    std::atomic<uint8_t> stopping{0};
};

// The Python object: a pointer keeps the record's address stable for native holders.
struct RuntimeObject {
    PyObject_HEAD
    RuntimeRecord* record;
};

extern PyTypeObject runtime_type;

[[nodiscard]] inline RuntimeRecord& record_of(PyObject* runtime) noexcept {
    return *reinterpret_cast<RuntimeObject*>(runtime)->record;
}

// Wakes the run loop if it runs: writes 1 to its eventfd.  Returns 0 or an errno value.
int wake_loop(RuntimeRecord& record) noexcept;

}  // namespace quorlin
