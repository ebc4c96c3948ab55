"""Runtime._run: start-up, stopping, start-up failures, timers and a pool without workers."""

import errno
import os
import socket
import tempfile
import threading

import pytest

from conftest import WAIT, LoopThread, run_python
from quorlin._quorlin import Event, Runtime

OUT_OF_RANGE = "out of range integral type conversion attempted"


def fresh_runtime(threads=1):
    return Runtime(threads, 1, 1, False, b"")


def is_closed(fd):
    try:
        os.fstat(fd)
    except OSError as error:
        return error.errno == errno.EBADF
    return False


def test_stopping_from_another_thread_ends_the_run():
    loop = LoopThread(fresh_runtime()).start()
    loop.runtime._stopping = False  # wakes the loop, which simply goes on
    loop.thread.join(0.05)
    assert loop.thread.is_alive()
    read_fd, write_fd = loop.signal_r.fileno(), loop.signal_w.fileno()
    assert loop.stop() is None
    assert loop.runtime._stopping is True  # never reset by _run
    assert is_closed(read_fd) and is_closed(write_fd)


def test_run_with_the_flag_already_set_returns_at_once():
    runtime = fresh_runtime()
    r, w = socket.socketpair()
    r.setblocking(False)
    runtime._ssock_r, runtime._ssock_w = r, w
    runtime._stopping = True
    result = []
    thread = threading.Thread(target=lambda: result.append(runtime._run()))
    thread.start()
    thread.join(WAIT)
    assert not thread.is_alive() and result == [None]
    assert is_closed(r.detach()) and is_closed(w.detach())


def test_runs_can_follow_one_another():
    runtime = fresh_runtime(threads=2)
    for _ in range(3):
        loop = LoopThread(runtime).start()
        assert loop.stop() is None


class Fileno:
    def __init__(self, value):
        self.value = value

    def fileno(self):
        return self.value


def failing_start(runtime):
    """Runs _run on this thread and returns the exception it raised."""
    with pytest.raises(BaseException) as caught:
        runtime._run()
    return caught.value


@pytest.mark.parametrize(
    ("reader", "writer", "kind", "message"),
    [
        (None, "pair", AttributeError, "'NoneType' object has no attribute 'fileno'"),
        ("pair", None, AttributeError, "'NoneType' object has no attribute 'fileno'"),
        (Fileno(-1), "pair", OverflowError, None),
        (Fileno("3"), "pair", TypeError, None),
        (Fileno(2**32), "pair", OverflowError, OUT_OF_RANGE),
        (Fileno(2**32 - 1), "pair", RuntimeError, "fd != -1"),
        ("pair", Fileno(2**32 - 1), RuntimeError, "fd != -1"),
    ],
)
def test_start_up_refusals_close_what_was_made_and_start_no_worker(reader, writer, kind, message):
    runtime = fresh_runtime()
    ran = threading.Event()
    runtime._call_soon(ran.set)
    r, w = socket.socketpair()
    r.setblocking(False)
    runtime._ssock_r = r if reader == "pair" else reader
    runtime._ssock_w = w if writer == "pair" else writer
    before = set(os.listdir("/proc/self/fd"))
    error = failing_start(runtime)
    assert type(error) is kind
    if message is not None:
        assert str(error) == message
    assert not getattr(error, "__notes__", None)  # propagated unchanged
    # The epoll instance and the eventfd are closed; the socket pair was not taken.
    assert set(os.listdir("/proc/self/fd")) <= before
    os.fstat(r.fileno())
    os.fstat(w.fileno())
    assert not ran.wait(0.05)
    # The queued callback was runnable all along: a proper run runs it.
    runtime._ssock_r, runtime._ssock_w = None, None
    loop = LoopThread(runtime).start()
    assert ran.wait(WAIT)
    assert loop.stop() is None
    r.close()
    w.close()


def test_closed_socket_raises_the_unsigned_conversion_error():
    runtime = fresh_runtime()
    r, w = socket.socketpair()
    r.close()
    runtime._ssock_r, runtime._ssock_w = r, w
    error = failing_start(runtime)
    assert type(error) is OverflowError
    os.fstat(w.fileno())
    w.close()


def test_read_end_beyond_a_signed_descriptor_closes_the_write_end():
    runtime = fresh_runtime()
    w = socket.socket()
    runtime._ssock_r, runtime._ssock_w = Fileno(2**31), w
    error = failing_start(runtime)
    assert type(error) is RuntimeError and str(error) == OUT_OF_RANGE
    assert is_closed(w.detach())


def test_read_end_that_epoll_refuses_closes_both_ends():
    runtime = fresh_runtime()
    with tempfile.TemporaryFile() as plain:
        reader = os.dup(plain.fileno())  # a regular file cannot be watched by epoll
    w = socket.socket()
    runtime._ssock_r, runtime._ssock_w = Fileno(reader), w
    error = failing_start(runtime)
    assert type(error) is RuntimeError
    assert str(error) == f"{os.strerror(errno.EPERM)} (os error {errno.EPERM})"
    assert is_closed(reader) and is_closed(w.detach())


def test_timed_waits_resume_with_none_no_earlier_than_their_timeout(running_runtime):
    runtime = running_runtime.runtime
    timeouts_us = [0, 1, 999, 1000, 1001, 5000, 20000, 50000]
    results = {}
    done = threading.Semaphore(0)

    async def wait(timeout_us):
        event = Event()
        start = runtime._clock
        value = await event.waiter(timeout_us)
        results[timeout_us] = (value, runtime._clock - start, event.is_set())
        done.release()

    for timeout_us in timeouts_us:
        runtime._spawn_coro(wait(timeout_us))
    for _ in timeouts_us:
        assert done.acquire(timeout=WAIT)
    for timeout_us, (value, elapsed_us, was_set) in results.items():
        assert value is None and not was_set
        assert elapsed_us >= timeout_us


def test_timers_stay_for_the_next_run_when_a_run_ends(registered_runtime):
    runtime = registered_runtime
    loop = LoopThread(runtime).start()
    resumed = threading.Event()

    async def wait():
        await Event().waiter(200_000)
        resumed.set()

    runtime._spawn_coro(wait())
    assert loop.stop() is None
    loop = LoopThread(runtime).start()
    assert resumed.wait(WAIT)
    assert loop.stop() is None


def test_a_runtime_without_workers_still_drives_io_and_obeys_stopping():
    out = run_python(
        """
        import socket, threading, time
        from quorlin._quorlin import Runtime, ScheduledIO, set_runtime
        runtime = Runtime(0, 1, 1, False, b"")
        set_runtime(runtime)
        r, w = socket.socketpair()
        r.setblocking(False)
        runtime._ssock_r, runtime._ssock_w = r, w
        queued = threading.Event()
        runtime._call_soon(queued.set)
        results = []
        thread = threading.Thread(target=lambda: results.append(runtime._run()))
        thread.start()
        a, b = socket.socketpair()
        deadline = time.monotonic() + 10
        while True:
            try:
                io = ScheduledIO(a.fileno())
                break
            except RuntimeError:
                assert time.monotonic() < deadline
                time.sleep(0.001)
        called = threading.Event()
        callers = []
        assert io._arm_r_cb(lambda: (callers.append(threading.get_ident()), called.set())) is False
        b.send(b"x")
        assert called.wait(10)
        runtime._stopping = True
        thread.join(10)
        print(thread.is_alive(), results, callers == [thread.ident], queued.is_set())
        r.detach(); w.detach()
        """,
        timeout=WAIT * 3,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["False", "[None]", "True", "False"]


@pytest.mark.skipif(bool(os.environ.get("QUORLIN_SANITIZER")), reason="sanitizers need the address space")
def test_a_worker_that_cannot_start_fails_the_run_after_a_full_shutdown():
    # Address space for a few dozen 2 MiB stacks only; one arena so that threads reserve no more.
    out = run_python(
        """
        import os, resource, socket, threading
        from quorlin._quorlin import Runtime, ScheduledIO, set_runtime
        runtime = Runtime(1000, 1, 1, False, b"")
        set_runtime(runtime)
        r, w = socket.socketpair()
        r.setblocking(False)
        runtime._ssock_r, runtime._ssock_w = r, w
        with open("/proc/self/statm") as statm:
            size = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (size + 96 * 1024 * 1024, hard))
        try:
            runtime._run()
        except RuntimeError as error:
            message = str(error)
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        try:
            ScheduledIO(0)
        except RuntimeError as error:
            refused = str(error)
        closed = [not os.path.exists(f"/proc/self/fd/{fd}") for fd in (r.fileno(), w.fileno())]
        r.detach(); w.detach()
        print(repr(message), repr(refused), closed)
        """,
        env={"MALLOC_ARENA_MAX": "1"},
        timeout=WAIT * 6,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "'failed to spawn thread' 'runtime is not running' [True, True]"
