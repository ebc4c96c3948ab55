// Runtime._run: the run loop, which is also the I/O driver and the only reader of the timer heap.
//
// Start-up makes an epoll instance and a wake-up eventfd, registers the eventfd (token 0) and the
// read end of the signal socket pair (token 1), publishes a duplicate of the epoll descriptor in
// `epoll_handle` and the eventfd in `loop_waker` (from then on ScheduledIO and wake_loop work from
// any thread), and starts the coroutine workers.
//
// One iteration:
//   1. Drop the registrations that close() retired since the last iteration.  They could still be
//      named by a report of the previous batch, which has been dispatched by now; a report fetched
//      by the coming wait cannot name them, because close() removed them from epoll first.
//   2. Compute the wait from the earliest timer, rounded up to whole milliseconds so that the loop
//      never wakes before a deadline (no timer: wait without limit).
//   3. Wait on epoll, detached from the interpreter.  A wait interrupted by a signal is repeated
//      once at once without a limit of time, to pick up the byte the signal handler just wrote.
//   4. Dispatch each report by its token: the eventfd needs nothing (edge triggering reports every
//      write, so it is never read); the signal socket is drained and each byte sets the Event
//      registered for that number; anything else is the address of an IoRegistration, which gets
//      the readiness bits and a tick, and whose waiting events are handed to the workers and whose
//      callbacks are called here, on this thread.
//   5. Hand every expired timer entry, in deadline order, to the workers.
//   6. Decide: a successful wait goes on unless `_stopping` is set; a failed wait shuts down and
//      raises; an interrupted wait goes on only if a registered signal was delivered since the last
//      interruption (the signal socket is read directly for it, and its byte is given a moment to
//      arrive: see registered_signal_since_interruption), and otherwise ends the run as a normal
//      return.
//
// Shutdown first closes the registration table, so that no registration can be made any more, and
// drops every I/O registration without waking its waiters (their events are not set and their
// callbacks are not called); it then empties `pending_release`, stops the workers and waits until
// every one has ended, empties the cells and closes the descriptors, the signal socket's included.
// The timer heap is left alone: its entries wait for the next run.
//
// Locks taken here, one at a time and briefly: `pending_release_mutex`, the timers' mutex, the
// registration table's mutex (at start-up and shutdown), a registration's lock (inside
// take_waiters), and the pool's LiveWorkers mutex (inside stop_workers).  References and work
// items are moved out of the locked sections before they are dropped or pushed, and callbacks
// run with no lock held.
#include "common/sys.hpp"
#include "errors/os_error.hpp"
#include "events/registration.hpp"
#include "io/registration_map.hpp"
#include "io/schedule.hpp"
#include "runtime/loop_jobs.hpp"
#include "runtime/methods.hpp"
#include "runtime/record.hpp"
#include "runtime/signal_table.hpp"
#include "runtime/wait_timeout.hpp"
#include "work/pool.hpp"
#include "work/push.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <vector>

namespace quorlin {

namespace {

constexpr uint64_t wake_token = 0;
constexpr uint64_t signal_token = 1;
// Edge-triggered readability and the peer's half-close; made once, never re-armed.
constexpr uint32_t loop_events = EPOLLIN | EPOLLRDHUP | EPOLLET;  // 0x80002001
constexpr int event_capacity = 128;
constexpr size_t signal_buffer_size = 4096;
// The lowest number the epoll duplicate may take: never one of the standard streams.
constexpr int lowest_duplicate = 3;
// How long an interrupted wait waits for the byte of a signal that another thread is handling:
// far longer than a handler takes, short enough that a signal meant to end the run still ends it
// at once to a person's eye.
constexpr unsigned __int128 signal_grace_us = 50'000;

// `fileno()` of the object in `cell` as an unsigned 32-bit number.  A Python error from the call
// or the conversion is left set, unchanged; false then.
bool descriptor_of(const ObjectCell& cell, uint32_t* out) noexcept {
    py::Ref object = cell.get();
    py::Ref result = py::Ref::steal(PyObject_CallMethod(object.get(), "fileno", nullptr));
    if (!result) return false;
    py::Ref integer = py::Ref::steal(PyNumber_Index(result.get()));
    if (!integer) return false;
    unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (value > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

bool add_to_epoll(int epoll, int fd, uint32_t events, uint64_t token) noexcept {
    epoll_event interest{};
    interest.events = events;
    interest.data.u64 = token;
    return ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &interest) == 0;
}

// Lets a start-up step raise and report failure in one statement.
constexpr bool failed(PyObject*) noexcept { return false; }

void call_callback(py::Ref callback) noexcept {
    if (!callback) return;
    py::Ref result = py::Ref::steal(PyObject_CallNoArgs(callback.get()));
    if (!result) PyErr_WriteUnraisable(nullptr);
}

class RunLoop {
public:
    explicit RunLoop(PyObject* runtime) noexcept
        : runtime_(py::Ref::new_ref(runtime)), record_(record_of(runtime)) {}

    PyObject* run() noexcept {
        if (!start()) return nullptr;
        if (!record_.stopping.load(std::memory_order_seq_cst)) {
            const int error = loop();
            if (error != 0) {
                shutdown();
                return raise_os_error(error);
            }
        }
        shutdown();
        Py_RETURN_NONE;
    }

private:
    // Start-up; on failure everything made so far is closed (by the owners' destructors) and the
    // Python error is set.
    bool start() noexcept {
        epoll_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
        if (!epoll_) return failed(raise_os_error(errno));
        UniqueFd waker(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!waker) return failed(raise_os_error(errno));
        if (!add_to_epoll(epoll_.get(), waker.get(), loop_events, wake_token)) return failed(raise_os_error(errno));

        uint32_t read_end = 0;
        uint32_t write_end = 0;
        if (!descriptor_of(record_.ssock_r, &read_end)) return false;
        if (!descriptor_of(record_.ssock_w, &write_end)) return false;
        if (read_end == UINT32_MAX || write_end == UINT32_MAX) return failed(raise_runtime_error("fd != -1"));
        // From here on both descriptors are the run's own, closed when it ends.  One descriptor
        // given for both ends is closed once: a second close could hit a number reused meanwhile.
        signal_read_ = UniqueFd(static_cast<int>(read_end));
        if (write_end != read_end) signal_write_ = UniqueFd(static_cast<int>(write_end));
        if (read_end > static_cast<uint32_t>(INT_MAX)) {
            return failed(raise_runtime_error("out of range integral type conversion attempted"));
        }
        if (!add_to_epoll(epoll_.get(), signal_read_.get(), loop_events, signal_token)) {
            return failed(raise_runtime_os_error(errno));
        }

        UniqueFd duplicate(::fcntl(epoll_.get(), F_DUPFD_CLOEXEC, lowest_duplicate));
        if (!duplicate) return failed(raise_os_error(errno));

        events_ = std::make_unique<epoll_event[]>(event_capacity);
        signal_buffer_ = std::make_unique<uint8_t[]>(signal_buffer_size);  // zero-filled

        auto epoll_handle = std::make_shared<EpollHandle>();
        epoll_handle->fd = std::move(duplicate);
        auto loop_waker = std::make_shared<LoopWaker>();
        loop_waker->fd = std::move(waker);
        record_.io_registrations->open(epoll_handle);
        record_.epoll_handle.exchange(std::move(epoll_handle)).reset();
        record_.loop_waker.exchange(std::move(loop_waker)).reset();

        int spawn_error = 0;
        if (!start_workers(runtime_.get(), &spawn_error)) {
            shutdown();
            return failed(raise_runtime_error("failed to spawn thread"));
        }
        return true;
    }

    // Iterates until a stop; returns 0, or the error of a failed wait.
    int loop() noexcept {
        for (;;) {
            release_retired();
            const int wait_error = wait_and_dispatch(next_timeout_ms());
            if (wait_error == EINTR) {
                if (!registered_signal_since_interruption()) return 0;
            } else if (wait_error != 0) {
                return wait_error;
            }
            if (record_.stopping.load(std::memory_order_seq_cst)) return 0;
        }
    }

    // One wait, its reports dispatched and the expired timers handed out; returns 0 or the error
    // of the first wait.  A wait interrupted by a signal is followed at once by one that does not
    // block, repeated while signals keep interrupting it, to pick up the byte just written.
    int wait_and_dispatch(int timeout_ms) noexcept {
        int count = 0;
        int wait_error = 0;
        {
            // The caller's thread: the interpreter knows its thread state, so if it begins to
            // finalize during the wait, re-attaching keeps this thread here for good, with no
            // native lock held.
            py::Detached detached;
            count = ::epoll_wait(epoll_.get(), events_.get(), event_capacity, timeout_ms);
            if (count < 0) {
                wait_error = errno;
                count = 0;
                if (wait_error == EINTR) {
                    do {
                        count = ::epoll_wait(epoll_.get(), events_.get(), event_capacity, 0);
                    } while (count < 0 && errno == EINTR);
                    if (count < 0) count = 0;
                }
            }
        }
        for (int i = 0; i < count; ++i) dispatch(events_[i]);
        expire_timers();
        return wait_error;
    }

    // After an interrupted wait: whether a registered signal was delivered since the previous
    // interruption (otherwise the run ends, so that the Python side can act on the signal).
    //
    // Two things can hide the byte of a registered signal from the reports.  In a storm, edge
    // triggering reports only new data, a report is drained 4096 bytes at most, and a full socket
    // drops the byte (the unread ones then include earlier signals): so the socket is read
    // directly.  And a signal sent to the process can interrupt this thread's wait while another
    // thread takes it and runs its handler, which writes the byte a moment later: so before
    // deciding that nothing registered came, the loop waits for it a little while longer
    // (`signal_grace_us`), dispatching whatever else arrives meanwhile.
    bool registered_signal_since_interruption() noexcept {
        const unsigned __int128 deadline = microseconds_since(record_.clock_base) + signal_grace_us;
        for (;;) {
            deliver_signals();
            // Ordering: relaxed; only this thread reads or writes `signal_delivered`.
            if (record_.signal_delivered.exchange(0, std::memory_order_relaxed) != 0) return true;
            const unsigned __int128 now = microseconds_since(record_.clock_base);
            if (now >= deadline) return false;
            const int wait_error = wait_and_dispatch(wait_timeout_ms(deadline, now));
            if (wait_error != 0 && wait_error != EINTR) return false;  // the next wait reports it
        }
    }

    void release_retired() noexcept {
        // Ordering: seq_cst, paired with close(): a share appended before its store of 1 is
        // seen here once the exchange reads 1.
        if (record_.release_pending.exchange(0, std::memory_order_seq_cst) == 0) return;
        {
            std::lock_guard lock(record_.pending_release_mutex);
            retired_.swap(record_.pending_release);
        }
        retired_.clear();  // attached and unlocked: a record may release the last slot references
    }

    int next_timeout_ms() noexcept { return record_.timer_heap.wait_ms(record_.clock_base); }

    void dispatch(const epoll_event& event) noexcept {
        const uint64_t token = event.data.u64;
        if (token == wake_token) return;
        if (token == signal_token) return deliver_signals();
        // Safety: the token is the address of a live IoRegistration.  The map holds a share from
        // before the descriptor entered epoll until close() or shutdown removes it; close() takes
        // the descriptor out of epoll and then hands its share to `pending_release`, which is
        // dropped only at the start of the next iteration, after this batch.  Shutdown runs on this
        // thread, after the last batch.
        auto* registration = reinterpret_cast<IoRegistration*>(static_cast<uintptr_t>(token));
        const uint32_t bits = io::readiness_from_epoll(event.events);
        registration->readiness.report(bits);
        if ((bits & io::all_interest) == 0) return;  // a report with no readiness still ticks
        IoWaiters waiters = registration->take_waiters(bits);
        if (waiters.read_event) push_from_loop(record_, make_set_event_job(std::move(waiters.read_event)));
        if (waiters.write_event) push_from_loop(record_, make_set_event_job(std::move(waiters.write_event)));
        call_callback(std::move(waiters.read_callback));
        call_callback(std::move(waiters.write_callback));
    }

    void deliver_signals() noexcept {
        uint8_t* buffer = signal_buffer_.get();
        size_t held = 0;
        while (held < signal_buffer_size) {
            // MSG_DONTWAIT: a read end left in blocking mode must not hang the loop while attached.
            const ssize_t got = ::recv(signal_read_.get(), buffer + held, signal_buffer_size - held, MSG_DONTWAIT);
            if (got > 0) {
                held += static_cast<size_t>(got);
            } else if (got == 0 || errno != EINTR) {
                break;
            }
        }
        // Ordering: relaxed; a change of `_sig_listening` only has to reach some later report.
        if (held == 0 || record_.sig_listening.load(std::memory_order_relaxed) == 0) return;
        for (size_t i = 0; i < held; ++i) {
            std::shared_ptr<ObjectBox> registered = record_.signal_events->find(buffer[i]);
            if (!registered) continue;
            record_.signal_delivered.store(1, std::memory_order_relaxed);  // this thread only
            push_from_loop(record_, make_set_event_job(py::Ref::new_ref(registered->object.get())));
        }
    }

    void expire_timers() noexcept {
        record_.timer_heap.take_expired(record_.clock_base, expired_);
        // Pushed unlocked (a push may take a parker's lock), still in deadline order.  A wait that
        // ended some other way needs no job: its firing would find it resumed.
        for (TimerEntry& entry : expired_) {
            if (!entry.registration->resumed()) push_deferred(record_, make_timer_expiry_job(std::move(entry)));
        }
        expired_.clear();
    }

    void shutdown() noexcept {
        // First, so that no registration can be made from here on (a worker or another thread
        // may still be creating one): it would be in no interest set that anybody waits on.
        std::vector<std::shared_ptr<IoRegistration>> live = record_.io_registrations->take_all_and_close();
        for (const std::shared_ptr<IoRegistration>& registration : live) {
            IoWaiters dropped = registration->shut_down();  // not woken, not called
        }
        live.clear();

        uint32_t read_end = 0;
        if (descriptor_of(record_.ssock_r, &read_end)) {
            (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, static_cast<int>(read_end), nullptr);
        } else {
            PyErr_Clear();
        }

        record_.release_pending.store(0, std::memory_order_seq_cst);
        {
            std::lock_guard lock(record_.pending_release_mutex);
            retired_.swap(record_.pending_release);
        }
        retired_.clear();

        stop_workers(runtime_.get());

        record_.loop_waker.take().reset();
        record_.epoll_handle.take().reset();

        events_.reset();
        signal_buffer_.reset();
        epoll_.reset();
        signal_read_.reset();
        signal_write_.reset();
    }

    py::Ref runtime_;  // held for the whole call
    RuntimeRecord& record_;
    UniqueFd epoll_;
    UniqueFd signal_read_;
    UniqueFd signal_write_;
    std::unique_ptr<epoll_event[]> events_;
    std::unique_ptr<uint8_t[]> signal_buffer_;
    std::vector<TimerEntry> expired_;                         // reused by every iteration
    std::vector<std::shared_ptr<IoRegistration>> retired_;  // reused by every iteration
};

}  // namespace

PyObject* runtime_run(PyObject* self, PyObject*) noexcept {
    RunLoop loop(self);
    return loop.run();
}

}  // namespace quorlin
