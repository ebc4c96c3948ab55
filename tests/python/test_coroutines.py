"""Coroutines on a running runtime: spawning, stepping, waits on events, checkpoints and aborts.

Each test starts `_run` on a helper thread and stops it at the end; every wait is bounded.
Anything that needs the process-wide registry (abort) or descriptor 2 runs in a subprocess.
"""

import contextlib
import contextvars
import gc
import os
import sys
import threading
import time
import types
import weakref

import pytest

from conftest import give_signal_pair, take_signal_pair
from quorlin._quorlin import CancelledError, Event, Runtime, Waiter

WAIT = 30  # seconds: a bound on every wait, never a timing assumption


@contextlib.contextmanager
def running(threads=2, context=False):
    runtime = Runtime(threads, 2, 10, context, b"")
    give_signal_pair(runtime)
    thread = threading.Thread(target=runtime._run, daemon=True)
    thread.start()
    try:
        yield runtime
    finally:
        runtime._stopping = True
        thread.join(timeout=WAIT)
        assert not thread.is_alive(), "_run did not return"
        take_signal_pair(runtime)


def settle(runtime):
    """On a one-worker runtime: returns once everything queued on the shared queue so far has run."""
    done = threading.Event()

    async def fence():
        done.set()

    runtime._spawn_coro(fence())
    assert done.wait(WAIT)


def wait_for(condition, what):
    deadline = time.monotonic() + WAIT
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.001)


class Recorder:
    """Collects what coroutines report and lets the test wait for a count."""

    def __init__(self):
        self.items = []
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)

    def add(self, item):
        with self._lock:
            self.items.append(item)
            self._changed.notify_all()

    def wait(self, count):
        with self._lock:
            assert self._changed.wait_for(lambda: len(self.items) >= count, timeout=WAIT), (
                f"expected {count} reports, got {self.items!r}"
            )
            return list(self.items)


@pytest.fixture
def recorder():
    return Recorder()


# --------------------------------------------------------------------------------------------
# Spawning and stepping


def test_spawned_coroutine_runs_and_spawn_returns_none(recorder):
    async def body():
        recorder.add("ran")
        return 5

    with running() as runtime:
        assert runtime._spawn_coro(body()) is None
        assert runtime._spawn_coro(coro=body()) is None
        assert recorder.wait(2) == ["ran", "ran"]


def test_spawn_binding_errors():
    runtime = Runtime(1, 1, 1, False, b"")
    with pytest.raises(TypeError):
        runtime._spawn_coro()
    with pytest.raises(TypeError):
        runtime._spawn_coro(1, 2)
    with pytest.raises(TypeError):
        runtime._spawn_coro(task=1)


def test_spawn_before_run_waits_for_the_workers(recorder):
    async def body():
        recorder.add("ran")

    runtime = Runtime(1, 1, 1, False, b"")
    runtime._spawn_coro(body())
    assert recorder.items == []
    give_signal_pair(runtime)
    thread = threading.Thread(target=runtime._run, daemon=True)
    thread.start()
    try:
        assert recorder.wait(1) == ["ran"]
    finally:
        runtime._stopping = True
        thread.join(timeout=WAIT)
    assert not thread.is_alive()
    take_signal_pair(runtime)


def test_bare_yield_requeues_and_resends_the_same_value(recorder):
    first, second = Event(), Event()
    first.set()
    second.set()

    @types.coroutine
    def body():
        received = []
        for _ in range(5):
            received.append((yield))
        listed = yield Waiter(first, second)
        again = yield
        recorder.add((received, listed, again, again is listed))

    with running() as runtime:
        runtime._spawn_coro(body())
        [(received, listed, again, same)] = recorder.wait(1)
    assert received == [None] * 5
    assert listed == [None, None]
    assert again == [None, None] and same


def test_bare_yield_lets_queued_work_run_first(recorder):
    # One worker: a coroutine that yields None goes behind what is already queued.
    @types.coroutine
    def yielder():
        recorder.add("a1")
        yield
        recorder.add("a2")

    async def other():
        recorder.add("b")

    with running(threads=1) as runtime:
        gate = Event()

        async def start():
            await gate.waiter(None)
            runtime._spawn_coro(yielder())

        runtime._spawn_coro(start())
        runtime._spawn_coro(other())
        recorder.wait(1)
        gate.set()
        items = recorder.wait(3)
    assert items == ["b", "a1", "a2"]


def test_yielding_a_non_waiter_throws_type_error_into_the_coroutine(recorder):
    message = (
        "cannot await {} on the quorlin runtime: coroutines may only yield quorlin `Waiter` objects "
        "(a stock `asyncio.Future` yields itself and is not drivable here)"
    )

    @types.coroutine
    def body():
        for value in (42, "x", Event()):
            try:
                yield value
            except TypeError as error:
                recorder.add(str(error))
        recorder.add("went on")

    with running() as runtime:
        runtime._spawn_coro(body())
        items = recorder.wait(4)
    assert items[:2] == [message.format(42), message.format("'x'")]
    assert items[2].startswith("cannot await <quorlin._quorlin.Event object at ")
    assert items[3] == "went on"


def test_refused_yield_of_an_unprintable_object(python_subprocess):
    completed = run_scenario(
        python_subprocess,
        """
runtime = registered(threads=1)
done, seen = threading.Semaphore(0), []

class Unprintable:
    def __repr__(self):
        raise RuntimeError("no repr")

@types.coroutine
def body():
    try:
        yield Unprintable()
    except TypeError as error:
        seen.append(str(error).split(" on the quorlin runtime")[0])
    done.release()

runtime._spawn_coro(body())
run_until(runtime, done)
print(seen)
""",
    )
    assert completed.stdout.strip() == "['cannot await <unprintable Unprintable object>']"
    # The failed repr itself goes to the unraisable hook.
    assert "RuntimeError: no repr" in completed.stderr


def test_second_registration_of_a_waiter_is_thrown_back(recorder):
    event = Event()
    waiter = event.waiter(None)

    @types.coroutine
    def body():
        yield waiter
        recorder.add("first wait resumed")
        try:
            yield waiter
        except RuntimeError as error:
            recorder.add(str(error))

    with running() as runtime:
        runtime._spawn_coro(body())
        event.set()
        assert recorder.wait(2) == ["first wait resumed", "Waiter already registered"]


def test_awaiting_a_registered_waiter_completes_at_once(recorder):
    event = Event()
    waiter = event.waiter(None)

    async def body():
        recorder.add(await waiter)
        # Registered now: the await never reaches the runtime, although the event is clear again.
        event.clear()
        recorder.add(await waiter)
        recorder.add(await waiter)

    with running() as runtime:
        runtime._spawn_coro(body())
        event.set()
        assert recorder.wait(3) == [None, None, None]


# --------------------------------------------------------------------------------------------
# Waits on events


def test_event_set_before_registration_resumes_at_once(recorder):
    event = Event()
    event.set()

    async def body():
        recorder.add(await event.waiter(None))

    with running() as runtime:
        runtime._spawn_coro(body())
        assert recorder.wait(1) == [None]


def test_event_set_after_registration_resumes_the_waiter(recorder):
    event = Event()
    parked = threading.Event()

    async def body():
        waiter = event.waiter(None)
        parked.set()
        recorder.add(await waiter)

    with running() as runtime:
        runtime._spawn_coro(body())
        assert parked.wait(WAIT)
        assert recorder.items == []
        event.set()
        assert recorder.wait(1) == [None]


def test_waiters_are_resumed_in_registration_order(recorder):
    event = Event()
    count = 50
    registered = Recorder()

    def make(index):
        async def body():
            registered.add(index)
            await event.waiter(None)
            recorder.add(index)

        return body()

    with running(threads=1) as runtime:
        for index in range(count):
            runtime._spawn_coro(make(index))
        registered.wait(count)
        settle(runtime)  # the last one registers after reporting
        event.set()
        assert recorder.wait(count) == list(range(count))


def test_clear_after_set_does_not_unwake(recorder):
    event = Event()
    parked = Recorder()

    async def body():
        parked.add(1)
        await event.waiter(None)
        recorder.add("resumed")

    with running(threads=1) as runtime:
        runtime._spawn_coro(body())
        parked.wait(1)
        settle(runtime)
        event.set()
        event.clear()
        assert recorder.wait(1) == ["resumed"]


def test_all_of_wait_resumes_after_every_event_with_a_list(recorder):
    first, second, third = Event(), Event(), Event()
    second.set()  # set beforehand: counts at registration
    parked = threading.Event()

    async def body():
        waiter = Waiter(first, second, third)
        parked.set()
        recorder.add(await waiter)

    with running(threads=1) as runtime:
        runtime._spawn_coro(body())
        assert parked.wait(WAIT)
        first.set()
        settle(runtime)  # a wrong early resumption would have run by now
        assert recorder.items == []
        third.set()
        assert recorder.wait(1) == [[None, None, None]]


def test_all_of_wait_on_events_set_beforehand(recorder):
    first, second = Event(), Event()
    first.set()
    second.set()

    async def body():
        recorder.add(await Waiter(first, second))
        recorder.add(await Waiter(first, first))

    with running() as runtime:
        runtime._spawn_coro(body())
        assert recorder.wait(2) == [[None, None], [None, None]]


def test_waiter_without_events_behaves_as_a_checkpoint(recorder):
    async def body():
        recorder.add(await Waiter())
        recorder.add(await Waiter.checkpoint())

    with running() as runtime:
        runtime._spawn_coro(body())
        assert recorder.wait(2) == [None, None]


def test_timed_wait_woken_by_its_event_is_resumed_once(recorder):
    event = Event()
    parked = threading.Event()

    async def body():
        waiter = event.waiter(60_000_000)
        parked.set()
        recorder.add(await waiter)
        recorder.add("after")

    with running() as runtime:
        runtime._spawn_coro(body())
        assert parked.wait(WAIT)
        event.set()
        assert recorder.wait(2) == [None, "after"]


# --------------------------------------------------------------------------------------------
# Nothing is kept alive


def test_coroutine_woken_long_before_its_timeout_is_freed_when_it_returns():
    event = Event()
    parked = threading.Event()

    async def body():
        waiter = event.waiter(60_000_000)
        parked.set()
        await waiter

    with running() as runtime:
        coroutine = body()
        probe = weakref.ref(coroutine)
        runtime._spawn_coro(coroutine)
        del coroutine
        assert parked.wait(WAIT)
        event.set()
        # The timer entry stays in the heap for a minute; it must not hold the coroutine.
        wait_for(lambda: probe() is None, "the coroutine to be freed")


def test_task_that_awaited_a_checkpoint_leaves_nothing_behind():
    control = Waiter.checkpoint()
    event = Event()
    parked = threading.Event()
    baseline = sys.getrefcount(control)

    async def body(control):
        await control
        waiter = event.waiter(None)
        parked.set()
        await waiter

    with running() as runtime:
        coroutine = body(control)
        probe = weakref.ref(coroutine)
        runtime._spawn_coro(coroutine)
        del coroutine
        assert parked.wait(WAIT)
        event.set()
        wait_for(lambda: probe() is None, "the coroutine to be freed")
        gc.collect()
        wait_for(lambda: sys.getrefcount(control) == baseline, "the control Waiter to be let go")


# --------------------------------------------------------------------------------------------
# Contexts


VAR = contextvars.ContextVar("VAR", default="unset")


def test_with_contexts_the_coroutine_sees_the_submitters_context(recorder):
    async def body():
        recorder.add(VAR.get())
        VAR.set("inside")
        recorder.add(VAR.get())

    with running(context=True) as runtime:
        token = VAR.set("submitter")
        try:
            runtime._spawn_coro(body())
            assert recorder.wait(2) == ["submitter", "inside"]
            assert VAR.get() == "submitter"
        finally:
            VAR.reset(token)


def test_without_contexts_the_coroutine_runs_in_the_workers_context(recorder):
    async def body():
        recorder.add(VAR.get())

    with running(context=False) as runtime:
        token = VAR.set("submitter")
        try:
            runtime._spawn_coro(body())
            assert recorder.wait(1) == ["unset"]
        finally:
            VAR.reset(token)


def test_context_changes_survive_a_wait_but_not_a_throw_step(recorder):
    event = Event()

    @types.coroutine
    def body():
        VAR.set("before wait")
        yield event.waiter(None)
        recorder.add(VAR.get())
        try:
            yield 42  # thrown back: the next step is a throw step
        except TypeError:
            VAR.set("during throw step")
            recorder.add(VAR.get())
        # Resumed by a send step again: the throw step's change was made in a copy.
        yield
        recorder.add(VAR.get())

    with running(context=True) as runtime:
        runtime._spawn_coro(body())
        event.set()
        assert recorder.wait(3) == ["before wait", "during throw step", "before wait"]


# --------------------------------------------------------------------------------------------
# Where a resumption goes


def stay_busy_until(flag, limit=10.0):
    """Keeps the calling worker busy (computing, never waiting) until `flag` is set or `limit`
    seconds have passed; returns whether the flag was set."""
    deadline = time.monotonic() + limit
    while not flag.is_set():
        if time.monotonic() > deadline:
            return False
    return True


@pytest.mark.parametrize("waker", ["callback", "coroutine"])
def test_a_task_woken_by_a_busy_worker_is_taken_by_the_idle_one(waker):
    event = Event()
    parked, resumed = threading.Event(), threading.Event()
    waker_saw = Recorder()

    async def sleeper():
        waiter = event.waiter(None)
        parked.set()
        await waiter
        resumed.set()

    def wake_and_stay_busy():
        # Long enough for the other worker, woken when this item was taken, to go back to sleep.
        time.sleep(0.05)
        event.set()
        waker_saw.add(stay_busy_until(resumed))

    async def waking_coroutine():
        wake_and_stay_busy()

    with running(threads=2) as runtime:
        runtime._spawn_coro(sleeper())
        assert parked.wait(WAIT)
        if waker == "callback":
            runtime._call_soon(wake_and_stay_busy)
        else:
            runtime._spawn_coro(waking_coroutine())
        # The woken task must not wait for its waker to finish: the other worker is idle.
        assert waker_saw.wait(1) == [True]


def test_on_one_worker_a_woken_task_runs_after_what_its_waker_queued_later(recorder):
    event = Event()
    parked = threading.Event()

    async def sleeper():
        waiter = event.waiter(None)
        parked.set()
        await waiter
        recorder.add("woken")

    with running(threads=1) as runtime:

        def waker():
            event.set()
            runtime._call_soon(lambda: recorder.add("queued after the set"))

        runtime._spawn_coro(sleeper())
        assert parked.wait(WAIT)
        runtime._call_soon(waker)
        # The worker's own queue is last in, first out: the callback, pushed after the
        # resumption, runs first.
        assert recorder.wait(2) == ["queued after the set", "woken"]


# --------------------------------------------------------------------------------------------
# Stress


@pytest.mark.parametrize("threads", [1, 2])
def test_thousands_of_coroutines_each_resumed_exactly_once(threads):
    count = 3000
    own = [Event() for _ in range(count)]
    shared = Event()
    resumed = [0] * count
    finished = Recorder()
    parked = Recorder()

    def make(index):
        async def body():
            parked.add(index)
            await own[index].waiter(None)
            resumed[index] += 1
            await Waiter(shared, own[index])
            resumed[index] += 1
            finished.add(index)

        return body()

    with running(threads=threads) as runtime:
        for index in range(count):
            runtime._spawn_coro(make(index))
        barrier = threading.Barrier(4, timeout=WAIT)

        def setter(part):
            barrier.wait()
            for index in range(part, count, 3):
                own[index].set()

        setters = [threading.Thread(target=setter, args=(p,)) for p in range(3)]
        for thread in setters:
            thread.start()
        barrier.wait()
        for thread in setters:
            thread.join(timeout=WAIT)
            assert not thread.is_alive()
        # Everyone is resumed once by its own event and then waits on the shared one as well.
        wait_for(lambda: sum(resumed) == count, "every first resumption")
        assert finished.items == []
        shared.set()
        done = finished.wait(count)
    assert sorted(done) == list(range(count))
    assert resumed == [2] * count


# --------------------------------------------------------------------------------------------
# Aborts and standard error: in a fresh interpreter, where the runtime can be registered


PRELUDE = """
import sys, threading, time, types
from quorlin._quorlin import CancelledError, Event, Runtime, Waiter, set_runtime

WAIT = 30

def start(runtime):
    import socket
    runtime._ssock_r, runtime._ssock_w = socket.socketpair()
    runtime._ssock_r.setblocking(False)
    thread = threading.Thread(target=runtime._run, daemon=True)
    thread.start()
    return thread

def stop(runtime, thread):
    runtime._stopping = True
    thread.join(timeout=WAIT)
    assert not thread.is_alive()
    runtime._ssock_r.detach()  # _run closed both descriptors
    runtime._ssock_w.detach()

def run_until(runtime, done, count=1):
    thread = start(runtime)
    try:
        for _ in range(count):
            assert done.acquire(timeout=WAIT), "timed out"
    finally:
        stop(runtime, thread)

def registered(threads=2):
    runtime = Runtime(threads, 1, 10, False, b"")
    set_runtime(runtime)
    return runtime
"""


def run_scenario(python_subprocess, body, env=None):
    completed = python_subprocess(PRELUDE + body, timeout=WAIT * 2, env=env)
    assert completed.returncode == 0, completed.stderr
    return completed


def test_abort_throws_into_a_parked_task_and_later_firings_are_ignored(python_subprocess):
    completed = run_scenario(
        python_subprocess,
        """
runtime = registered()
control, event, parked, done = Waiter.checkpoint(), Event(), threading.Event(), threading.Semaphore(0)
seen = []

async def body():
    await control
    waiter = event.waiter(None)
    parked.set()
    try:
        await waiter
        seen.append("resumed")
    except CancelledError as error:
        seen.append((type(error).__name__, error.args))
    done.release()

runtime._spawn_coro(body())
thread = start(runtime)
assert parked.wait(WAIT)
assert control.abort() is None
assert control.abort() is None
assert done.acquire(timeout=WAIT)
event.set()
# A checkpoint coroutine behind any wrong resumption shows it would have run.
after = threading.Event()
async def fence():
    after.set()
runtime._spawn_coro(fence())
assert after.wait(WAIT)
stop(runtime, thread)
print(seen)
""",
    )
    assert completed.stdout.strip() == "[('CancelledError', ('Execution aborted',))]"
    assert completed.stderr == ""


def test_abort_reaches_an_all_of_wait(python_subprocess):
    completed = run_scenario(
        python_subprocess,
        """
runtime = registered()
control, first, second = Waiter.checkpoint(), Event(), Event()
parked, done = threading.Event(), threading.Semaphore(0)
first.set()
seen = []

async def body():
    await control
    waiter = Waiter(first, second)
    parked.set()
    try:
        seen.append(await waiter)
    except CancelledError as error:
        seen.append(str(error))
    done.release()

runtime._spawn_coro(body())
thread = start(runtime)
assert parked.wait(WAIT)
control.abort()
assert done.acquire(timeout=WAIT)
second.set()
stop(runtime, thread)
print(seen)
""",
    )
    assert completed.stdout.strip() == "['Execution aborted']"


def test_aborted_checkpoint_throws_at_once_when_awaited(python_subprocess):
    completed = run_scenario(
        python_subprocess,
        """
runtime = registered()
control, done = Waiter.checkpoint(), threading.Semaphore(0)
control.abort()
seen = []

async def body():
    try:
        await control
        seen.append("resumed")
    except CancelledError as error:
        seen.append(str(error))
    seen.append(await Waiter.checkpoint())
    done.release()

runtime._spawn_coro(body())
run_until(runtime, done)
print(seen)
""",
    )
    assert completed.stdout.strip() == "['Execution aborted', None]"


def test_abort_on_a_waiter_with_events_changes_no_wait(python_subprocess):
    completed = run_scenario(
        python_subprocess,
        """
runtime = registered()
event, parked, done = Event(), threading.Event(), threading.Semaphore(0)
waiter = event.waiter(None)
seen = []

async def body():
    await Waiter.checkpoint()
    parked.set()
    seen.append(await waiter)
    done.release()

runtime._spawn_coro(body())
thread = start(runtime)
assert parked.wait(WAIT)
assert waiter.abort() is None
event.set()
assert done.acquire(timeout=WAIT)
stop(runtime, thread)
print(seen)
""",
    )
    assert completed.stdout.strip() == "[None]"


def test_task_under_an_aborted_control_is_thrown_into_until_a_fresh_checkpoint(python_subprocess):
    # The first abort finds the task running (it is lost there); a later one is caught.  Either
    # way every later wait on events throws at once instead of parking for ever, until the task
    # awaits a fresh checkpoint.
    completed = run_scenario(
        python_subprocess,
        """
runtime = registered()
control = Waiter.checkpoint()
event, ready, aborted, done = Event(), threading.Event(), threading.Event(), threading.Semaphore(0)
event.set()
seen = []

async def body():
    await control
    ready.set()
    assert aborted.wait(WAIT)  # the abort arrives while the task runs
    for waiter in (event.waiter(None), Waiter(event, event), event.waiter(1000)):
        try:
            await waiter
            seen.append("resumed")
        except CancelledError as error:
            seen.append(str(error))
    await Waiter.checkpoint()
    seen.append(await event.waiter(None))
    done.release()

runtime._spawn_coro(body())
thread = start(runtime)
assert ready.wait(WAIT)
control.abort()
aborted.set()
assert done.acquire(timeout=WAIT)
stop(runtime, thread)
print(seen)
""",
    )
    assert completed.stdout.strip() == "['Execution aborted', 'Execution aborted', 'Execution aborted', None]"


def test_abort_without_a_registered_runtime(python_subprocess):
    completed = run_scenario(
        python_subprocess,
        """
from quorlin._quorlin import RuntimeNotInitializedError
runtime = Runtime(1, 1, 1, False, b"")
control, event, parked, done = Waiter.checkpoint(), Event(), threading.Event(), threading.Semaphore(0)

async def body():
    await control
    parked.set()
    await event.waiter(None)
    done.release()

runtime._spawn_coro(body())
thread = start(runtime)
assert parked.wait(WAIT)
try:
    control.abort()
except RuntimeNotInitializedError as error:
    print("refused", repr(str(error)))
event.set()
assert done.acquire(timeout=WAIT)
stop(runtime, thread)
""",
    )
    assert completed.stdout.strip() == "refused ''"


def test_resumed_entries_do_not_pile_up_on_an_event_never_set(python_subprocess):
    # Each entry queued on an event holds a reference to the runtime whose task waits, so that
    # runtime's reference count tells how many entries the event keeps.  Every wait here is
    # resumed by an abort.  A control Waiter holds its task's runtime too, until the collector
    # frees the finished task's cycle, so each round collects first.
    completed = run_scenario(
        python_subprocess,
        """
import gc
registered()
runtime = Runtime(2, 1, 1, False, b"")
never = Event()
thread = start(runtime)
base = sys.getrefcount(runtime)
peak = 0
for index in range(600):
    gc.collect()
    control, started = Waiter.checkpoint(), threading.Event()
    async def body(control=control, started=started):
        await control
        started.set()
        try:
            await never.waiter(3_600_000_000)
        except CancelledError:
            pass
    before = sys.getrefcount(runtime)
    runtime._spawn_coro(body())
    assert started.wait(WAIT)
    deadline = time.monotonic() + 5
    while sys.getrefcount(runtime) == before and time.monotonic() < deadline:
        time.sleep(0.0005)
    peak = max(peak, sys.getrefcount(runtime) - base)
    control.abort()
stop(runtime, thread)
print(peak)
""",
        # The event never set keeps its entries, and the runtime its hour-long timers, until the
        # process ends: held, not lost, so a leak checker has nothing to say.
        env={"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + " detect_leaks=0"},
    )
    assert 0 < int(completed.stdout) <= 64


UNHANDLED = [
    (
        "value_error",
        """
async def body():
    raise ValueError("boom")
""",
        "UNHANDLED COROUTINE ERROR <coroutine object body at ",
        "ValueError: boom",
    ),
    (
        "not_a_coroutine",
        """
def body():
    return 17
""",
        "UNHANDLED COROUTINE ERROR 17\n",
        "AttributeError: 'int' object has no attribute 'send'",
    ),
    (
        "unprintable",
        """
class Stepper:
    def __next__(self):
        raise KeyError("k")
    def __repr__(self):
        raise RuntimeError("no repr")
def body():
    return Stepper()
""",
        "UNHANDLED COROUTINE ERROR <unprintable Stepper object>\n",
        "KeyError: 'k'",
    ),
    (
        "escaped_abort",
        """
control, parked = Waiter.checkpoint(), threading.Event()
async def body():
    await control
    parked.set()
    await Event().waiter(None)
def after_start():
    assert parked.wait(WAIT)
    control.abort()
""",
        "UNHANDLED COROUTINE THROW <coroutine object body at ",
        "CancelledError: Execution aborted",
    ),
    (
        "raise_after_throw",
        """
@types.coroutine
def body():
    try:
        yield 1
    except TypeError:
        raise LookupError("after the throw")
""",
        "UNHANDLED COROUTINE THROW <generator object body at ",
        "LookupError: after the throw",
    ),
]


@pytest.mark.parametrize(("name", "code", "line", "trace"), UNHANDLED, ids=[case[0] for case in UNHANDLED])
def test_unhandled_errors_are_reported_on_descriptor_2(python_subprocess, name, code, line, trace):
    completed = run_scenario(
        python_subprocess,
        f"""
import os
runtime = registered(threads=1)
def after_start():
    pass
{code}
runtime._spawn_coro(body())
thread = start(runtime)
after_start()
# A later coroutine on the one worker shows the failed step has finished its report.
done = threading.Event()
async def fence():
    done.set()
runtime._spawn_coro(fence())
assert done.wait(WAIT)
stop(runtime, thread)
print("survived")
""",
    )
    assert completed.stdout.strip() == "survived"
    stderr = completed.stderr
    assert stderr.count("UNHANDLED COROUTINE") == 1
    assert line in stderr
    report = stderr[stderr.index(line) :]
    assert trace in report
    if name != "not_a_coroutine":  # its failure has no Python frame to show
        assert report.index("Traceback (most recent call last):") < report.index(trace)


@pytest.mark.parametrize(("code", "status", "printed"), [(7, 7, None), ("bye", 1, "bye"), (None, 0, None)])
def test_system_exit_escaping_a_throw_step_ends_the_process_with_its_code(python_subprocess, code, status, printed):
    completed = python_subprocess(
        PRELUDE
        + f"""
runtime = registered(threads=2)

@types.coroutine
def body():
    try:
        yield 1  # refused: the TypeError is thrown back in
    except TypeError:
        raise SystemExit({code!r})

runtime._spawn_coro(body())
thread = start(runtime)
threading.Event().wait(WAIT)
print("survived")
""",
        timeout=WAIT * 2,
        # The interpreter finalizes on the worker: the main thread's own caches, which only that
        # thread frees as it ends, are left to the process's exit, and a leak checker would say so.
        env={"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + " detect_leaks=0"},
    )
    assert completed.returncode == status, completed.stderr
    assert "survived" not in completed.stdout
    assert "UNHANDLED COROUTINE THROW <generator object body at " in completed.stderr
    assert "Traceback" not in completed.stderr  # SystemExit ends the process without one
    if printed is not None:
        assert printed in completed.stderr


def test_keyboard_interrupt_escaping_a_throw_step_goes_to_the_excepthook(python_subprocess):
    completed = run_scenario(
        python_subprocess,
        """
runtime = registered(threads=1)
seen = threading.Semaphore(0)
def hook(kind, value, traceback):
    print("hook", kind.__name__, value)
    seen.release()
sys.excepthook = hook

@types.coroutine
def body():
    try:
        yield 1
    except TypeError:
        raise KeyboardInterrupt("from the throw")

runtime._spawn_coro(body())
run_until(runtime, seen)
print("survived")
""",
    )
    assert completed.stdout.split("\n")[:2] == ["hook KeyboardInterrupt from the throw", "survived"]
    assert "UNHANDLED COROUTINE THROW <generator object body at " in completed.stderr


def test_clean_endings_print_nothing(python_subprocess):
    completed = run_scenario(
        python_subprocess,
        """
runtime = registered(threads=1)
control, parked, done = Waiter.checkpoint(), threading.Event(), threading.Semaphore(0)

async def returns_five():
    done.release()
    return 5

async def catches_abort():
    await control
    parked.set()
    try:
        await Event().waiter(None)
    except CancelledError:
        done.release()
        return "caught"

runtime._spawn_coro(returns_five())
runtime._spawn_coro(catches_abort())
thread = start(runtime)
assert parked.wait(WAIT)
control.abort()
for _ in range(2):
    assert done.acquire(timeout=WAIT)
fence = threading.Event()
async def after():
    fence.set()
runtime._spawn_coro(after())
assert fence.wait(WAIT)
stop(runtime, thread)
""",
    )
    assert completed.stderr == ""
