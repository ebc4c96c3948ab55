"""ScheduledIO: registration, readiness through socket pairs and pipes, arming, consuming,
clearing, callbacks, close and the driver's shutdown."""

import errno
import gc
import os
import socket
import sys
import threading
import time
import weakref

import pytest

from conftest import WAIT, LoopThread, run_python
from quorlin._quorlin import CancelledError, ScheduledIO, Waiter

OUT_OF_RANGE = "out of range integral type conversion attempted"


def os_text(number):
    return f"{os.strerror(number)} (os error {number})"


def wait_until(predicate):
    deadline = time.monotonic() + WAIT
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached"
        time.sleep(0.001)


class Calls:
    """A callback that records the threads it was called on."""

    def __init__(self, fail=False):
        self.idents = []
        self.called = threading.Event()
        self.fail = fail

    def __call__(self):
        self.idents.append(threading.get_ident())
        self.called.set()
        if self.fail:
            raise ValueError("callback failed")

    def wait(self):
        assert self.called.wait(WAIT), "callback not called"


def spawn(runtime, coroutine):
    """Runs `coroutine` on the workers; returns (done, box) with its value or error in box."""
    done = threading.Event()
    box = {}

    async def wrapper():
        try:
            box["value"] = await coroutine
        except BaseException as error:
            box["error"] = error
        finally:
            done.set()

    runtime._spawn_coro(wrapper())
    return done, box


@pytest.fixture
def pair(running_runtime):
    """A connected socket pair (a, b) with `a` registered: (a, b, io)."""
    a, b = socket.socketpair()
    a.setblocking(False)
    b.setblocking(False)
    io = ScheduledIO(a.fileno())
    yield a, b, io
    io.close()
    a.close()
    b.close()


def test_construction_needs_a_registered_runtime():
    out = run_python(
        """
        from quorlin._quorlin import ScheduledIO, RuntimeNotInitializedError
        try:
            ScheduledIO(0)
        except RuntimeNotInitializedError as error:
            print(repr(error.args))
        """
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "()"


def test_construction_outside_a_run_is_refused(registered_runtime):
    a, b = socket.socketpair()
    with pytest.raises(RuntimeError) as caught:
        ScheduledIO(a.fileno())
    assert str(caught.value) == "runtime is not running"
    a.close()
    b.close()


@pytest.mark.parametrize(
    ("argument", "kind", "message"),
    [
        ("3", TypeError, None),
        (2**31, OverflowError, None),
        (-(2**31) - 1, OverflowError, None),
    ],
)
def test_descriptor_conversion(running_runtime, argument, kind, message):
    with pytest.raises(kind) as caught:
        ScheduledIO(argument)
    assert caught.value.__notes__ == ["while processing 'fd'"]
    with pytest.raises(TypeError):
        ScheduledIO()
    with pytest.raises(TypeError):
        ScheduledIO(fd=1, other=2)


def test_second_registration_of_a_descriptor_fails_and_the_first_stays(pair):
    a, b, io = pair
    with pytest.raises(RuntimeError) as caught:
        ScheduledIO(fd=a.fileno())
    assert str(caught.value) == os_text(errno.EEXIST)
    calls = Calls()
    assert io._arm_r_cb(calls) is False
    b.send(b"x")
    calls.wait()


def test_closed_descriptor_is_refused(running_runtime):
    a, b = socket.socketpair()
    fd = a.detach()
    os.close(fd)
    with pytest.raises(RuntimeError) as caught:
        ScheduledIO(fd)
    assert str(caught.value) == os_text(errno.EBADF)
    b.close()


def test_subclass_instances_work(running_runtime):
    class Watched(ScheduledIO):
        pass

    a, b = socket.socketpair()
    io = Watched(a.fileno())
    wait_until(lambda: io._arm_w() is None)
    io.close()
    a.close()
    b.close()


def test_arm_returns_a_waiter_until_ready_and_none_once_ready(pair, running_runtime):
    a, b, io = pair
    waiter = io._arm_r()
    assert type(waiter) is Waiter
    done, box = spawn(running_runtime.runtime, waiter_value(waiter))
    b.send(b"x")
    assert done.wait(WAIT)
    assert box == {"value": None}
    assert io._arm_r() is None
    assert io._arm_r(timeout=5) is None
    wait_until(lambda: io._arm_w() is None)  # a socket is writable from the start


async def waiter_value(waiter):
    return await waiter


def test_callbacks_run_on_the_run_thread_and_a_ready_direction_keeps_none(pair, running_runtime):
    a, b, io = pair
    calls = Calls()
    assert io._arm_r_cb(calls) is False
    b.send(b"x")
    calls.wait()
    assert calls.idents == [running_runtime.ident]
    late = Calls()
    assert io._arm_r_cb(late) is True
    # A write callback is taken by the same report as the data (a report carries every ready
    # direction), so once it ran, that report has been dispatched without `late`.
    wait_until(lambda: io._arm_w() is None)
    assert io.consume_w() is True
    fence = Calls()
    assert io._arm_w_cb(fence) is False
    b.send(b"y")
    fence.wait()
    assert not late.called.is_set()


def test_a_second_arm_replaces_the_first(pair):
    a, b, io = pair
    first, second = Calls(), Calls()
    probe = weakref.ref(first)
    assert io._arm_r_cb(first) is False
    assert io._arm_r_cb(second) is False
    del first
    gc.collect()
    assert probe() is None  # released when replaced, never called
    b.send(b"x")
    second.wait()


def test_raising_callback_neither_stops_the_loop_nor_the_other_callback(pair, monkeypatch):
    a, b, io = pair
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: seen.append(info.exc_value))
    wait_until(lambda: io._arm_w() is None)
    assert io.consume_w() is True
    failing, writer = Calls(fail=True), Calls()
    assert io._arm_w_cb(writer) is False
    assert io._arm_r_cb(failing) is False
    b.send(b"x")  # the report carries the readable and the (still) writable state
    failing.wait()
    writer.wait()
    assert len(seen) == 1 and str(seen[0]) == "callback failed"
    again = Calls()
    assert io.consume_r() is True
    assert io._arm_r_cb(again) is False
    b.send(b"y")
    again.wait()


def test_hang_up_makes_both_directions_ready(pair):
    a, b, io = pair
    calls = Calls()
    wait_until(lambda: io._arm_w() is None)
    assert io.consume_w() is True
    assert io._arm_r_cb(calls) is False
    b.close()
    calls.wait()
    assert io._arm_r() is None
    assert io._arm_w() is None
    assert io.consume_r() is True
    assert io.consume_w() is True


def test_pipe_read_end_hang_up(running_runtime):
    r, w = os.pipe()
    io = ScheduledIO(r)
    calls = Calls()
    assert io._arm_r_cb(calls) is False
    assert type(io._arm_w()) is Waiter
    os.close(w)
    calls.wait()
    assert io._arm_r() is None
    assert io._arm_w() is None  # a hang-up closes the writing side too
    io.close()
    os.close(r)


@pytest.mark.parametrize("first", ["consume_r", "consume_w"])
def test_pipe_write_end_error_belongs_to_both_directions(running_runtime, first):
    r, w = os.pipe()
    io = ScheduledIO(w)
    wait_until(lambda: io._arm_w() is None)
    calls = Calls()
    assert io._arm_r_cb(calls) is False
    os.close(r)  # no reader left: the write end reports an error
    calls.wait()
    assert io._arm_r() is None
    assert getattr(io, first)() is True
    if first == "consume_w":
        assert io.consume_r() is False  # its only read bit was the error, consumed with the write side
    else:
        assert io.consume_w() is True  # writable stays after the error went with the read side
    io.close()
    os.close(w)


def report(io, b):
    """Makes exactly one read report: takes the read bits, arms a callback and waits for it."""
    io.consume_r()
    calls = Calls()
    assert io._arm_r_cb(calls) is False
    b.send(b"x")
    calls.wait()


def test_clear_takes_readiness_back_only_without_a_new_report(pair):
    a, b, io = pair
    report(io, b)
    assert io._arm_r() is None  # remembers the tick
    io.clear_r()
    assert type(io._arm_r()) is Waiter

    report(io, b)
    assert io._arm_r() is None
    report(io, b)  # a report since the arm: clear leaves the readiness alone
    io.clear_r()
    assert io._arm_r() is None
    io.clear_r()  # the arm above remembered the new tick
    assert type(io._arm_r()) is Waiter


@pytest.mark.parametrize(("reports", "cleared"), [(255, False), (256, True)])
def test_the_tick_wraps_after_256_reports(pair, reports, cleared):
    a, b, io = pair
    report(io, b)
    assert io._arm_r() is None
    for _ in range(reports):
        report(io, b)
        a.recv(4096)
    io.clear_r()
    assert (type(io._arm_r()) is Waiter) is cleared


def test_arm_timeout_conversion_happens_first(pair):
    a, b, io = pair
    for method in (io._arm_r, io._arm_w):
        for argument, kind in [(-1, OverflowError), (2**32, OverflowError), ("1", TypeError), (1.5, TypeError)]:
            with pytest.raises(kind) as caught:
                method(argument)
            assert caught.value.__notes__ == ["while processing 'timeout'"]
        with pytest.raises(OverflowError, match=OUT_OF_RANGE):
            method(timeout=2**32)
        with pytest.raises(TypeError):
            method(1, 2)
    with pytest.raises(TypeError):
        io._arm_r_cb()


def test_timed_arm_resumes_with_none_after_the_timeout(pair, running_runtime):
    a, b, io = pair
    runtime = running_runtime.runtime

    async def timed():
        waiter = io._arm_r(20000)
        start = runtime._clock
        value = await waiter
        return value, runtime._clock - start

    done, box = spawn(runtime, timed())
    assert done.wait(WAIT)
    value, elapsed = box["value"]
    assert value is None and elapsed >= 20000
    assert type(io._arm_r()) is Waiter  # nothing arrived


def test_close_wakes_waiters_and_calls_callbacks_on_a_worker(pair, running_runtime):
    a, b, io = pair
    calls = Calls()
    assert io._arm_r_cb(calls) is False
    done, box = spawn(running_runtime.runtime, waiter_value(io._arm_r()))
    assert io.close() is None
    calls.wait()
    assert done.wait(WAIT) and box == {"value": None}
    assert calls.idents[0] not in (running_runtime.ident, threading.get_ident())
    assert io._arm_r() is None
    late = Calls()
    assert io._arm_w_cb(late) is True
    assert io.close() is None
    assert not late.called.wait(0.05)
    # The descriptor left epoll: it can be registered again.
    again = ScheduledIO(a.fileno())
    again.close()


def test_shutdown_drops_waiters_without_waking_them(registered_runtime):
    runtime = registered_runtime
    loop = LoopThread(runtime).start()
    a, b = socket.socketpair()
    io = ScheduledIO(a.fileno())
    calls = Calls()
    dropped = threading.Event()
    weakref.finalize(calls, dropped.set)
    assert io._arm_r_cb(calls) is False
    waiter = io._arm_r()
    assert type(waiter) is Waiter
    resumed, cancelled, parked = threading.Event(), threading.Event(), threading.Event()
    control = Waiter.checkpoint()

    async def wait():
        await control
        parked.set()
        try:
            await waiter
            resumed.set()
        except CancelledError:
            cancelled.set()

    runtime._spawn_coro(wait())
    assert parked.wait(WAIT)
    assert loop.stop() is None
    del calls
    gc.collect()
    assert dropped.wait(WAIT)
    assert not resumed.is_set()
    assert io._arm_r() is None  # shut down for good
    assert io.close() is None
    a.close()
    b.close()
    # Nothing can set the dropped event any more; the task still ends when cancelled (otherwise
    # it would stay parked, holding its objects, until the process exits).
    control.abort()
    loop = LoopThread(runtime).start()
    assert cancelled.wait(WAIT)
    assert loop.stop() is None
    assert not resumed.is_set()


def test_close_after_the_number_was_reused_leaves_the_new_registration(running_runtime):
    a, b = socket.socketpair()
    c, d = socket.socketpair()
    d.setblocking(False)
    io = ScheduledIO(a.fileno())
    number = a.detach()
    os.close(number)  # the kernel drops the descriptor from epoll with the file
    os.dup2(c.fileno(), number)  # the same number now names another file
    c.close()
    reused = ScheduledIO(number)
    io.close()  # must not take the number's new registration out of epoll
    calls = Calls()
    assert reused._arm_r_cb(calls) is False
    d.send(b"x")
    calls.wait()
    reused.close()
    os.close(number)
    b.close()
    d.close()


def test_creation_once_shutdown_has_begun_is_refused(registered_runtime):
    # A callback still running on a worker while the run shuts down creates a registration; it
    # would live in no epoll set, and a Waiter it armed would never be woken.
    runtime = registered_runtime
    loop = LoopThread(runtime).start()
    a, b = socket.socketpair()
    c, d = socket.socketpair()
    watched = ScheduledIO(a.fileno())
    started, box = threading.Event(), {}

    def during_shutdown():
        started.set()
        deadline = time.monotonic() + WAIT
        # The shutdown has dropped the live registrations: `watched` counts as ready for good.
        while watched._arm_r() is not None:
            if time.monotonic() > deadline:
                box["error"] = "shutdown not seen"
                return
            time.sleep(0.001)
        try:
            late = ScheduledIO(c.fileno())
        except RuntimeError as error:
            box["error"] = str(error)
        else:
            box["armed"] = late._arm_r()
            late.close()

    runtime._call_soon(during_shutdown)
    assert started.wait(WAIT)
    assert loop.stop() is None
    assert box == {"error": "runtime is not running"}
    with pytest.raises(RuntimeError, match="^runtime is not running$"):
        ScheduledIO(c.fileno())
    watched.close()
    for sock in (a, b, c, d):
        sock.close()


def current_rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("kind", ["socket", "idle pipe"])
def test_create_arm_close_cycles_leave_memory_and_references_flat(running_runtime, kind):
    # A socket reports "writable" on every registration, which wakes the loop; an idle pipe never
    # reports, so only the closes themselves get the closed records released.
    if kind == "socket":
        a, b = socket.socketpair()
        fd, others = a.fileno(), (a, b)
    else:
        fd, write_end = os.pipe()
        others = ()
    lock = threading.Lock()
    count = [0]
    total = [0]
    finished = threading.Event()

    def callback():  # called on the workers, two at a time
        with lock:
            count[0] += 1
            if count[0] == total[0]:
                finished.set()

    def cycles(n, batch=1000):
        # In batches, so that a loaded machine's backlog of queued callbacks does not pass for growth.
        for _ in range(n // batch):
            with lock:
                count[0] = 0
                total[0] = batch
            finished.clear()
            for _ in range(batch):
                io = ScheduledIO(fd)
                assert type(io._arm_r()) is Waiter
                assert io._arm_r_cb(callback) is False
                io.close()
            assert finished.wait(WAIT)

    cycles(5000)
    gc.collect()
    references = sys.getrefcount(callback)
    before = current_rss_bytes()
    cycles(50000)
    # The last callback items drop their reference just after the call that set `finished`.
    deadline = time.monotonic() + WAIT
    while sys.getrefcount(callback) != references and time.monotonic() < deadline:
        time.sleep(0.01)
    gc.collect()
    grown = current_rss_bytes() - before
    assert sys.getrefcount(callback) == references
    if not os.environ.get("QUORLIN_SANITIZER"):  # sanitizers keep freed memory in quarantine
        assert grown < 4 * 1024 * 1024, f"grew by {grown} bytes"
    for sock in others:
        sock.close()
    if kind != "socket":
        os.close(fd)
        os.close(write_end)
