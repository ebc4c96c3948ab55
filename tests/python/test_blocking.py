"""Blocking calls: Runtime._spawn_blocking, its elastic pool of threads, and BlockingTaskCtl.

No run loop is needed: the tests wait for a call's Event from a plain thread, with a bound on
every wait, then read its Result.  Counting the pool's threads needs a quiet process, so those
tests run in a subprocess and count /proc/self/task.
"""

import contextvars
import os
import platform
import threading
import time

import pytest

from conftest import run_python
from quorlin._quorlin import BlockingTaskCtl, CancelledError, Runtime

WAIT = 10.0  # seconds; bounds every wait, never what a test expects


def make_runtime(threads_blocking=4, timeout=30, context=False):
    return Runtime(1, threads_blocking, timeout, context, [])


def wait_for(predicate, what, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.001)


def outcome(task):
    _ctl, event, result = task
    wait_for(event.is_set, "a blocking call to finish")
    return result.fetch()


def busy_until(deadline):
    """Python code that checks for pending exceptions on every iteration, for a bounded time."""
    while time.monotonic() < deadline:
        pass


def record_call(*args, **kwargs):
    return args, kwargs


# --- submission and outcome ---------------------------------------------------------------------


@pytest.mark.parametrize(
    ("submit", "expected"),
    [
        (lambda spawn, f: spawn(f), ((), {})),
        (lambda spawn, f: spawn(f, 1, x=2), ((1,), {"x": 2})),
        (lambda spawn, f: spawn(f=f), ((), {})),
        (lambda spawn, f: spawn(f=f, x=1, y=None), ((), {"x": 1, "y": None})),
        (lambda spawn, f: spawn(f, 1, 2, 3), ((1, 2, 3), {})),
    ],
    ids=["f-alone", "positional-and-keyword", "f-by-keyword", "f-by-keyword-with-others", "positional-only"],
)
def test_arguments_bind_as_f_star_args_star_star_kwargs(submit, expected):
    runtime = make_runtime()
    task = submit(runtime._spawn_blocking, record_call)
    ctl, event, result = task
    assert type(ctl) is BlockingTaskCtl
    assert outcome(task) == [False, expected]


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda spawn, f: spawn(), "_spawn_blocking() missing 1 required positional argument: 'f'"),
        (lambda spawn, f: spawn(x=f), "_spawn_blocking() missing 1 required positional argument: 'f'"),
        (lambda spawn, f: spawn(f, f=f), "_spawn_blocking() got multiple values for argument 'f'"),
    ],
    ids=["missing", "missing-with-keywords", "twice"],
)
def test_bad_binding_raises_type_error_and_queues_nothing(call, message):
    runtime = make_runtime(threads_blocking=1)
    calls = []
    with pytest.raises(TypeError) as info:
        call(runtime._spawn_blocking, calls.append)
    assert str(info.value) == message
    # One worker takes calls in order: anything queued by the failed call would have run first.
    assert outcome(runtime._spawn_blocking(calls.append, "after")) == [False, None]
    assert calls == ["after"]


def test_outcome_of_a_return_and_of_a_raise():
    runtime = make_runtime()
    returned = object()
    raised = ValueError("no")

    def fail():
        raise raised

    ok, error, not_callable = (runtime._spawn_blocking(f) for f in (lambda: returned, fail, 5))
    value = outcome(ok)
    assert value[0] is False and value[1] is returned
    flag, exception = outcome(error)
    assert flag is True and exception is raised
    flag, exception = outcome(not_callable)
    assert flag is True and type(exception) is TypeError


def test_the_event_is_set_only_after_both_slots_are_written():
    runtime = make_runtime(threads_blocking=1)
    for i in range(2000):  # one at a time, so that every look races the worker's report
        _ctl, event, result = runtime._spawn_blocking(list, (i,))
        deadline = time.monotonic() + WAIT
        while not event.is_set():  # look again the moment it is set
            assert time.monotonic() < deadline, "timed out waiting for a blocking call"
        assert result.fetch() == [False, [i]]


def test_the_submitters_context_is_copied_when_the_runtime_asks_for_it():
    variable = contextvars.ContextVar("variable", default="unset")
    token = variable.set("submitter")
    try:

        def read_then_change():
            seen = variable.get()
            variable.set("changed by the call")
            return seen

        assert outcome(make_runtime(context=True)._spawn_blocking(read_then_change)) == [False, "submitter"]
        assert variable.get() == "submitter"
        assert outcome(make_runtime(context=False)._spawn_blocking(variable.get)) == [False, "unset"]
    finally:
        variable.reset(token)


def test_a_runtime_without_blocking_threads_refuses_the_call():
    called = []
    runtime = make_runtime(threads_blocking=0)
    with pytest.raises(RuntimeError, match="threads_blocking is 0"):
        runtime._spawn_blocking(called.append, 1)
    assert called == []


# --- the pool -----------------------------------------------------------------------------------


def test_the_pool_grows_to_its_limit_and_a_third_call_waits_for_a_free_worker():
    runtime = make_runtime(threads_blocking=2)
    started = [threading.Event() for _ in range(3)]
    release = [threading.Event() for _ in range(3)]

    def hold(i):
        started[i].set()
        release[i].wait(WAIT)
        return threading.get_ident()

    tasks = [runtime._spawn_blocking(hold, i) for i in range(3)]
    try:
        assert started[0].wait(WAIT) and started[1].wait(WAIT)
        assert not started[2].wait(0.2), "a third worker was started beyond the limit"
        release[0].set()
        first = outcome(tasks[0])[1]
        assert started[2].wait(WAIT)
    finally:
        for event in release:
            event.set()
    idents = [outcome(task)[1] for task in tasks]
    assert len(set(idents)) == 2
    assert idents[2] == first  # the third call ran on the worker that became free


def test_concurrent_submitters_have_every_call_run_once():
    # An idle timeout of 0 makes workers end and start all the time, racing the submissions.
    runtime = make_runtime(threads_blocking=3, timeout=0)
    counts = [0] * 800
    lock = threading.Lock()

    def count(i):
        with lock:
            counts[i] += 1
        return i

    barrier = threading.Barrier(4)
    tasks = [[] for _ in range(4)]

    def submit(part):
        barrier.wait(WAIT)
        for i in range(part, len(counts), 4):
            tasks[part].append((i, runtime._spawn_blocking(count, i)))

    submitters = [threading.Thread(target=submit, args=(part,)) for part in range(4)]
    for thread in submitters:
        thread.start()
    for thread in submitters:
        thread.join(WAIT)
        assert not thread.is_alive()
    for part in tasks:
        for i, task in part:
            assert outcome(task) == [False, i]
    assert counts == [1] * len(counts)


def test_a_call_submitted_as_the_only_worker_retires_still_runs():
    # Each submission follows the previous call's event at once, racing its worker's decision to
    # end (an idle timeout of 0 ends it as soon as the queue is empty).
    runtime = make_runtime(threads_blocking=1, timeout=0)
    for i in range(3000):
        _ctl, event, result = runtime._spawn_blocking(int, i)
        deadline = time.monotonic() + WAIT
        while not event.is_set():
            assert time.monotonic() < deadline, f"call {i} was left in the queue with no worker"
        assert result.fetch() == [False, i]


POOL_PRELUDE = """
import gc, os, threading, time
from quorlin._quorlin import Runtime
WAIT = 10.0
def threads():
    return len(os.listdir("/proc/self/task"))
def wait_for(predicate, what):
    deadline = time.monotonic() + WAIT
    while not predicate():
        assert time.monotonic() < deadline, "timed out waiting for " + what
        time.sleep(0.001)
def finish(task):
    wait_for(task[1].is_set, "a blocking call")
    return task[2].fetch()
if os.environ.get("QUORLIN_SANITIZER"):
    # A sanitizer starts a helper thread of its own with the process's first new thread: start
    # and join one first, so that the count below includes it.  (Not otherwise: the stack it
    # leaves in the C library's cache would defeat the address-space limit below.)
    warm_up = threading.Thread(target=int)
    warm_up.start()
    warm_up.join()
base = threads()
"""


def run_pool_script(code):
    # One malloc arena: the C library maps and unmaps a 64 MiB arena per thread as threads come
    # and go, which moves the address space under the limit REFUSE_THREADS sets.
    completed = run_python(POOL_PRELUDE + code, env={"MALLOC_ARENA_MAX": "1"})
    assert completed.returncode == 0, completed.stderr
    return completed.stdout.split()


def test_sequential_calls_start_workers_until_the_limit_even_while_others_idle():
    out = run_pool_script(
        """
runtime = Runtime(1, 3, 3600, False, [])
counts = []
for i in range(6):
    assert finish(runtime._spawn_blocking(int, i)) == [False, i]
    counts.append(threads() - base)
print(*counts)
"""
    )
    assert out == ["1", "2", "3", "3", "3", "3"]


def test_an_idle_timeout_of_zero_retires_workers_as_soon_as_the_queue_is_empty():
    out = run_pool_script(
        """
runtime = Runtime(1, 2, 0, False, [])
for round in range(2):
    tasks = [runtime._spawn_blocking(time.sleep, 0.01) for _ in range(4)]
    assert [finish(task) for task in tasks] == [[False, None]] * 4
    wait_for(lambda: threads() == base, "the workers to retire")
print("retired")
"""
    )
    assert out == ["retired"]


def test_a_timeout_beyond_the_clock_never_retires_a_worker():
    out = run_pool_script(
        """
runtime = Runtime(1, 1, 2**64 - 1, False, [])
assert finish(runtime._spawn_blocking(int, 1)) == [False, 1]
time.sleep(0.3)  # a deadline that wrapped around would have ended the worker by now
print(threads() - base)
assert finish(runtime._spawn_blocking(int, 2)) == [False, 2]
print(threads() - base)
"""
    )
    assert out == ["1", "1"]


def test_calls_complete_after_the_runtime_is_freed_and_then_the_workers_end():
    out = run_pool_script(
        """
runtime = Runtime(1, 2, 3600, False, [])
release = threading.Event()
def hold(i):
    release.wait(WAIT)
    return i
tasks = [runtime._spawn_blocking(hold, i) for i in range(5)]  # three of them still queued
wait_for(lambda: threads() - base == 2, "two workers")
del runtime
gc.collect()
release.set()
print(*[finish(task)[1] for task in tasks])
wait_for(lambda: threads() == base, "the workers to end")
print("ended")
"""
    )
    assert out == ["0", "1", "2", "3", "4", "ended"]


# A sanitizer's shadow memory lives in the same address space, so a tight limit on it refuses
# the sanitizer's own mappings, or nothing at all, rather than the next thread's stack.
needs_address_space_limit = pytest.mark.skipif(
    bool(os.environ.get("QUORLIN_SANITIZER")),
    reason="an address-space limit does not refuse threads reliably under a sanitizer",
)

REFUSE_THREADS = """
import resource
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
def submit_without_room_for_a_thread(runtime, f, *args):
    # The address-space limit leaves no room for a new thread's stack; raising the soft limit
    # again afterwards is always allowed.
    with open("/proc/self/statm") as statm:
        size = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 20), hard))
    try:
        return runtime._spawn_blocking(f, *args)
    except RuntimeError as error:
        return str(error)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
"""


@needs_address_space_limit
def test_a_refused_thread_with_no_worker_alive_raises_and_leaves_nothing_queued():
    out = run_pool_script(
        REFUSE_THREADS
        + """
runtime = Runtime(1, 1, 0, False, [])
ran = []
print(repr(submit_without_room_for_a_thread(runtime, ran.append, "refused")))
assert finish(runtime._spawn_blocking(ran.append, "later")) == [False, None]
wait_for(lambda: threads() == base, "the worker to retire")
print(*ran)
"""
    )
    assert out == ["'failed", "to", "spawn", "thread'", "later"]


@needs_address_space_limit
def test_a_refused_thread_leaves_the_call_to_a_live_worker():
    out = run_pool_script(
        REFUSE_THREADS
        + """
runtime = Runtime(1, 2, 3600, False, [])
release = threading.Event()
first = runtime._spawn_blocking(release.wait, WAIT)
wait_for(lambda: threads() - base == 1, "the first worker")
second = submit_without_room_for_a_thread(runtime, int, 7)
print(threads() - base)
release.set()
print(finish(first)[1], finish(second)[1])
"""
    )
    assert out == ["1", "True", "7"]


# --- BlockingTaskCtl ----------------------------------------------------------------------------


def test_blocking_task_ctl_cannot_be_made_from_python():
    with pytest.raises(TypeError):
        BlockingTaskCtl()
    assert BlockingTaskCtl.__doc__ is None


def test_abort_of_a_running_python_loop_ends_the_call_with_cancelled_error():
    runtime = make_runtime()
    started = threading.Event()

    def spin():
        started.set()
        busy_until(time.monotonic() + WAIT)
        return "not aborted"

    task = runtime._spawn_blocking(spin)
    assert started.wait(WAIT)
    assert task[0].abort() is None
    flag, exception = outcome(task)
    assert flag is True and type(exception) is CancelledError
    assert task[0].abort() is None  # finished: nothing happens


def test_abort_of_a_queued_call_changes_nothing():
    runtime = make_runtime(threads_blocking=1)
    release = threading.Event()
    first = runtime._spawn_blocking(release.wait, WAIT)
    queued = runtime._spawn_blocking(lambda: "ran normally")
    assert queued[0].abort() is None
    release.set()
    assert outcome(first) == [False, True]
    assert outcome(queued) == [False, "ran normally"]


READ_SYSCALL = {"x86_64": 0, "aarch64": 63}.get(platform.machine())


def blocked_in_read(fd):
    """True when some thread of this process is inside read(fd, ...)."""
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/syscall") as file:
                fields = file.read().split()
        except OSError:
            continue
        if len(fields) > 1 and fields[0] == str(READ_SYSCALL) and int(fields[1], 16) == fd:
            return True
    return False


needs_syscall_view = pytest.mark.skipif(
    READ_SYSCALL is None or not os.path.exists("/proc/self/task"), reason="needs /proc/<pid>/task/<tid>/syscall"
)


@pytest.fixture
def pipe():
    r, w = os.pipe()
    yield r, w
    os.close(r)
    os.close(w)


@needs_syscall_view
def test_abort_does_not_cut_a_native_wait_short_and_surfaces_after_it(pipe):
    r, w = pipe
    runtime = make_runtime()

    def read_then_compute():
        data = os.read(r, 1)
        busy_until(time.monotonic() + WAIT)
        return data

    task = runtime._spawn_blocking(read_then_compute)
    wait_for(lambda: blocked_in_read(r), "the call to block in read")
    task[0].abort()
    time.sleep(0.05)
    assert blocked_in_read(r) and not task[1].is_set()
    os.write(w, b"x")
    flag, exception = outcome(task)
    assert flag is True and type(exception) is CancelledError
    os.set_blocking(r, False)
    with pytest.raises(BlockingIOError):
        os.read(r, 1)  # the read completed and took the byte


@needs_syscall_view
def test_an_abort_too_late_for_its_call_never_reaches_the_next_call(pipe):
    r, w = pipe
    runtime = make_runtime(threads_blocking=1)
    worker = outcome(runtime._spawn_blocking(threading.get_ident))[1]

    # os.read is native from start to end: an abort during it has no Python code left to surface in.
    late = runtime._spawn_blocking(os.read, r, 1)
    wait_for(lambda: blocked_in_read(r), "the call to block in read")
    late[0].abort()
    os.write(w, b"x")
    assert outcome(late) == [False, b"x"]

    started = threading.Event()

    def next_call():
        started.set()
        busy_until(time.monotonic() + 0.3)
        return threading.get_ident()

    following = runtime._spawn_blocking(next_call)
    wait_for(lambda: started.is_set() or following[1].is_set(), "the next call to start")
    late[0].abort()  # the finished call's handle no longer names the thread
    assert outcome(following) == [False, worker]
