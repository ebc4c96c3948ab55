"""The coroutine worker pool and the submission of plain callbacks (`_call_soon`,
`_call_soon_deferred`), driven through `_run` on unregistered runtimes."""

import contextlib
import gc
import os
import socket
import sys
import textwrap
import threading
import time
import weakref

import pytest

from quorlin import _quorlin

WAIT = 20  # seconds: the bound on every wait below


def make_runtime(threads):
    return _quorlin.Runtime(threads, 1, 10, False, [])


def wait_for(predicate, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.001)
    return True


@contextlib.contextmanager
def running(runtime):
    """Runs `_run` on a helper thread for the duration of the block."""
    errors = []
    # Every run takes a fresh signal socket pair and closes both descriptors when it ends.
    signal_r, signal_w = socket.socketpair()
    signal_r.setblocking(False)
    runtime._ssock_r, runtime._ssock_w = signal_r, signal_w

    def run():
        try:
            runtime._run()
        except BaseException as error:  # reported below, in the test's thread
            errors.append(error)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    try:
        yield
    finally:
        runtime._stopping = True
        thread.join(WAIT)
        assert not thread.is_alive(), "_run did not return after _stopping was set"
        runtime._stopping = False
        signal_r.detach()
        signal_w.detach()
    assert errors == []


class Probe:
    """A callable that records its calls and can be watched through a weak reference."""

    def __init__(self):
        self.calls = 0
        self.threads = []

    def __call__(self):
        self.calls += 1
        self.threads.append(threading.get_ident())


@pytest.mark.parametrize("submitted_from", ["outside", "a worker"])
def test_callbacks_run_in_parallel_on_worker_threads(submitted_from):
    runtime = make_runtime(4)
    barrier = threading.Barrier(4, timeout=WAIT)
    met = []
    lock = threading.Lock()

    def meet():
        barrier.wait()  # breaks (and raises into the unraisable hook) unless all four run at once
        with lock:
            met.append(threading.get_ident())

    def start_from_worker():
        for _ in range(3):
            runtime._call_soon(meet)  # onto this worker's own queue: the others must steal them
        meet()

    with running(runtime):
        if submitted_from == "outside":
            for _ in range(4):
                runtime._call_soon(meet)
        else:
            runtime._call_soon(start_from_worker)
        assert wait_for(lambda: len(met) == 4)
    assert len(set(met)) == 4
    assert threading.get_ident() not in met


def test_callback_queued_before_run_runs_once_the_workers_start():
    runtime = make_runtime(1)
    probe = Probe()
    runtime._call_soon(probe)
    runtime._call_soon_deferred(probe)
    assert probe.calls == 0
    with running(runtime):
        assert wait_for(lambda: probe.calls == 2)


@pytest.mark.parametrize(
    ("callback", "error_type"),
    [
        (lambda: 1 / 0, ZeroDivisionError),
        (42, TypeError),  # not examined when submitted: calling it fails on the worker
    ],
)
def test_failing_callback_goes_to_the_unraisable_hook_and_the_next_item_runs(monkeypatch, callback, error_type):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    runtime = make_runtime(1)
    after = Probe()
    runtime._call_soon(callback)
    runtime._call_soon(after)
    with running(runtime):
        assert wait_for(lambda: after.calls == 1)
    assert len(reported) == 1
    assert reported[0].exc_type is error_type
    assert reported[0].object is None


# With one worker, from inside a callback: `_call_soon` is last in, first out on the worker's
# own queue; `_call_soon_deferred` goes through the shared first-in-first-out queue, which the
# worker looks at only after its own.
@pytest.mark.parametrize(
    ("first", "second", "expected"),
    [
        ("_call_soon", "_call_soon", ["second", "first"]),
        ("_call_soon_deferred", "_call_soon_deferred", ["first", "second"]),
        ("_call_soon_deferred", "_call_soon", ["second", "first"]),
        ("_call_soon", "_call_soon_deferred", ["first", "second"]),
    ],
)
def test_order_of_submissions_from_a_worker(first, second, expected):
    runtime = make_runtime(1)
    order = []

    def submit():
        getattr(runtime, first)(lambda: order.append("first"))
        getattr(runtime, second)(lambda: order.append("second"))

    runtime._call_soon(submit)
    with running(runtime):
        assert wait_for(lambda: len(order) == 2)
    assert order == expected


def test_submissions_from_outside_keep_their_order():
    runtime = make_runtime(1)
    order = []
    runtime._call_soon(lambda: order.append(1))
    runtime._call_soon_deferred(lambda: order.append(2))
    runtime._call_soon(lambda: order.append(3))
    with running(runtime):
        assert wait_for(lambda: len(order) == 3)
    assert order == [1, 2, 3]


def test_a_self_resubmitting_callback_starves_neither_outside_nor_older_work():
    runtime = make_runtime(1)
    spinning = True
    spins = 0
    older = Probe()
    outside = Probe()

    def spin():
        nonlocal spins
        spins += 1
        if spinning:
            runtime._call_soon(spin)

    def start():
        runtime._call_soon(older)  # queued on this worker before the spinner
        runtime._call_soon(spin)

    runtime._call_soon(start)
    with running(runtime):
        try:
            assert wait_for(lambda: spins > 0)
            runtime._call_soon(outside)
            assert wait_for(lambda: older.calls == 1 and outside.calls == 1)
        finally:
            spinning = False  # else the worker never runs dry and the stop waits for it


@pytest.mark.parametrize("count", [1, 200])  # 200 fills several storage blocks of the queue
@pytest.mark.parametrize("ran_before", [False, True])
def test_destroying_a_runtime_releases_queued_callbacks_without_running_them(count, ran_before):
    runtime = make_runtime(0)  # no worker: nothing takes items off the queues
    if ran_before:
        with running(runtime):
            pass
    probes = [Probe() for _ in range(count)]
    refs = [weakref.ref(probe) for probe in probes]
    for index, probe in enumerate(probes):
        (runtime._call_soon if index % 2 else runtime._call_soon_deferred)(probe)
    if ran_before:
        with running(runtime):
            time.sleep(0.05)  # a running pool of no workers: still nothing runs
    del probe
    assert all(ref() is not None for ref in refs)  # the queue holds them
    assert all(p.calls == 0 for p in probes)
    del probes
    assert all(ref() is not None for ref in refs)
    del runtime
    gc.collect()
    assert all(ref() is None for ref in refs)


def test_callback_queued_after_a_stop_waits_for_the_next_run():
    runtime = make_runtime(2)
    with running(runtime):
        pass
    probe = Probe()
    runtime._call_soon(probe)
    time.sleep(0.05)  # no worker exists between runs
    assert probe.calls == 0
    with running(runtime):
        assert wait_for(lambda: probe.calls == 1)


def test_a_worker_of_another_runtime_queues_on_the_target_runtime():
    running_one = make_runtime(1)
    idle_one = make_runtime(1)
    probe = Probe()
    submitted = threading.Event()

    def submit_elsewhere():
        idle_one._call_soon(probe)
        submitted.set()

    running_one._call_soon(submit_elsewhere)
    with running(running_one):
        assert submitted.wait(WAIT)
    assert probe.calls == 0  # not run by running_one's worker
    with running(idle_one):
        assert wait_for(lambda: probe.calls == 1)


def test_concurrent_submissions_each_run_exactly_once():
    runtime = make_runtime(3)
    submitters, per_submitter = 4, 2000
    counts = [0] * (submitters * per_submitter)
    lock = threading.Lock()
    start = threading.Barrier(submitters + 1, timeout=WAIT)

    def bump(index):
        with lock:
            counts[index] += 1

    def submit(first):
        start.wait()
        for index in range(first, first + per_submitter):
            submit_one = runtime._call_soon if index % 2 else runtime._call_soon_deferred
            submit_one(lambda index=index: bump(index))

    threads = [threading.Thread(target=submit, args=(s * per_submitter,)) for s in range(submitters)]
    with running(runtime):
        for thread in threads:
            thread.start()
        start.wait()
        for thread in threads:
            thread.join(WAIT)
        assert wait_for(lambda: sum(counts) == len(counts))
    assert set(counts) == {1}


def live_native_threads():
    return {int(name) for name in os.listdir("/proc/self/task")}


def test_stopping_ends_every_worker_thread():
    runtime = make_runtime(4)
    workers = set()
    barrier = threading.Barrier(4, timeout=WAIT)

    def record():
        barrier.wait()  # so that all four workers take part
        workers.add(threading.get_native_id())

    with running(runtime):
        for _ in range(4):
            runtime._call_soon(record)
        assert wait_for(lambda: len(workers) == 4)
        assert workers <= live_native_threads()
    # Workers are detached: each may take a moment to finish once it has been counted out.
    assert wait_for(lambda: not workers & live_native_threads())


def test_threads_zero_runs_nothing():
    runtime = make_runtime(0)
    probe = Probe()
    with running(runtime):
        runtime._call_soon(probe)
        time.sleep(0.1)
    assert probe.calls == 0


@pytest.mark.parametrize("method", ["_call_soon", "_call_soon_deferred"])
@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "missing 1 required positional argument: 'callback'"),
        ((print, print), {}, "takes 1 positional argument but 2 were given"),
        ((), {"cb": print}, "unexpected keyword argument 'cb'"),
        ((print,), {"callback": print}, "multiple values for argument 'callback'"),
    ],
)
def test_bad_arguments_raise_and_queue_nothing(method, args, kwargs, message):
    runtime = make_runtime(1)
    with pytest.raises(TypeError, match=message):
        getattr(runtime, method)(*args, **kwargs)
    probe = Probe()
    getattr(runtime, method)(callback=probe)  # by keyword
    ref = weakref.ref(probe)
    del probe
    with running(runtime):
        assert wait_for(lambda: ref() is None)  # run, then released: nothing else was queued


def test_submission_methods_have_their_text_signatures():
    assert _quorlin.Runtime._call_soon.__text_signature__ == "($self, callback)"
    assert _quorlin.Runtime._call_soon_deferred.__text_signature__ == "($self, callback)"
    assert make_runtime(1)._call_soon(print) is None


# The interpreter exits while `_run` runs on a daemon thread: with the workers busy, or with them
# parked and one of them woken by a submission made during finalization (from a __del__ that
# runs while the module's globals are cleared).  The process must exit cleanly either way.
@pytest.mark.parametrize(
    "setup",
    [
        """
        def busy():
            time.sleep(0.001)
            runtime._call_soon(busy)
        for _ in range(4):
            runtime._call_soon(busy)
        """,
        """
        class SubmitsWhenCollected:
            def __del__(self):
                runtime._call_soon(print)
        keeper = SubmitsWhenCollected()
        """,
    ],
    ids=["busy", "woken during finalization"],
)
def test_interpreter_exit_while_the_pool_runs(python_subprocess, setup):
    head = """
        import threading, time
        from quorlin import _quorlin
        runtime = _quorlin.Runtime(2, 1, 10, False, [])
        import socket
        runtime._ssock_r, runtime._ssock_w = socket.socketpair()
        runtime._ssock_r.setblocking(False)
        """
    tail = """
        threading.Thread(target=runtime._run, daemon=True).start()
        time.sleep(0.2)
        print("leaving")
        """
    completed = python_subprocess(
        "".join(textwrap.dedent(part) for part in (head, setup, tail)),
        timeout=WAIT,
        # The process ends while its workers hold the runtime: nothing is lost, so a leak checker
        # has nothing to say.
        env={"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + " detect_leaks=0"},
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout == "leaving\n"
