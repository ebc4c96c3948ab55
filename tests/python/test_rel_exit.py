"""Process exit while the runtime is busy: the process ends with its own status, at once.

Each case runs in a fresh interpreter.  The main thread sets up some activity (a run with parked
or busy workers, blocking calls in Python or native code, threads coming and going), then ends
in one of three ways: it returns, calls `sys.exit(3)`, or dies of an unhandled exception.  The
process must exit with 0, 3 or 1, print nothing of its own on standard error, and not hang (the
subprocess timeout bounds it; no timing is asserted).
"""

import os

import pytest

from conftest import run_python

TIMEOUT = 120  # seconds: a hang shows up as a failure, never as a stuck suite

# These processes end while their threads still hold runtimes and tasks: what a leak checker would
# find at exit is in use, not lost.
ENV = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + " detect_leaks=0"}

PRELUDE = """
import os, socket, sys, threading, time, types
from quorlin._quorlin import Event, Runtime, Waiter, set_runtime

WAIT = 60

def give_signal_sockets(runtime):
    read_end, write_end = socket.socketpair()
    read_end.setblocking(False)
    runtime._ssock_r, runtime._ssock_w = read_end, write_end

def start_run(runtime):
    give_signal_sockets(runtime)
    thread = threading.Thread(target=runtime._run, daemon=True)
    thread.start()
    return thread

def started(threads=2, blocking=2, idle=3600):
    runtime = Runtime(threads, blocking, idle, False, [])
    start_run(runtime)
    return runtime

def confirmed(count=1):
    # Returns a callable to report with and waits (bounded) for `count` reports.
    seen = threading.Semaphore(0)
    def wait():
        for _ in range(count):
            assert seen.acquire(timeout=WAIT), "the activity never started"
    return seen.release, wait

@types.coroutine
def yield_none():
    yield

def until_exit(submit):
    # Calls `submit` again and again; once the interpreter is exiting the runtime refuses to start
    # or wake threads, which ends the loop quietly.
    try:
        while True:
            submit()
    except RuntimeError as error:
        assert "exiting" in str(error) or "failed to spawn thread" in str(error), error
"""

# Each leaves the activity running when the main thread ends.
ACTIVITIES = {
    "workers parked on an event": """
runtime = started()
report, wait = confirmed()
async def parked():
    report()
    await Event().waiter(None)
runtime._spawn_coro(parked())
wait()
""",
    "coroutines spinning through the queues": """
runtime = started(threads=2)
report, wait = confirmed(4)
async def spin():
    report()
    while True:
        await yield_none()
        await Waiter.checkpoint()
for _ in range(4):
    runtime._spawn_coro(spin())
wait()
""",
    "a callback looping in Python": """
runtime = started(threads=2)
report, wait = confirmed()
def forever():
    report()
    while True:
        pass
runtime._call_soon(forever)
wait()
""",
    "a callback sleeping in native code": """
runtime = started(threads=1)
report, wait = confirmed()
def sleeper():
    report()
    time.sleep(3600)
runtime._call_soon(sleeper)
wait()
""",
    "timed waits expiring": """
runtime = started(threads=2)
report, wait = confirmed(2)
async def ticking():
    report()
    while True:
        await Event().waiter(100)
runtime._spawn_coro(ticking())
runtime._spawn_coro(ticking())
wait()
""",
    "blocking calls in Python and in native code": """
runtime = Runtime(1, 4, 3600, False, [])
report, wait = confirmed(2)
def spin():
    report()
    while True:
        pass
def nap():
    report()
    time.sleep(3600)
runtime._spawn_blocking(spin)
runtime._spawn_blocking(nap)
wait()
""",
    "blocking workers starting and retiring": """
runtime = Runtime(1, 2, 0, False, [])
report, wait = confirmed()
def call():
    _ctl, event, _result = runtime._spawn_blocking(int, 1)
    while not event.is_set():
        pass
def churn():
    report()
    until_exit(call)
threading.Thread(target=churn, daemon=True).start()
wait()
""",
    "blocking workers starting by the dozen": """
runtime = Runtime(1, 64, 0, False, [])
report, wait = confirmed()
def calls():
    events = [runtime._spawn_blocking(int, 1)[1] for _ in range(64)]
    while not all(event.is_set() for event in events):
        pass
def churn():
    report()
    until_exit(calls)
threading.Thread(target=churn, daemon=True).start()
wait()
time.sleep(0.05)
""",
    "runs starting and stopping": """
report, wait = confirmed()
def run():
    runtime = Runtime(16, 1, 1, False, [])
    give_signal_sockets(runtime)
    runtime._stopping = True
    runtime._run()
def runs():
    # Each run starts its workers and stops them at once.  The runs share one thread: a Python
    # thread started as the interpreter exits is a hazard of CPython's own.
    report()
    until_exit(run)
threading.Thread(target=runs, daemon=True).start()
wait()
time.sleep(0.05)
""",
    "a registered runtime": """
runtime = Runtime(2, 2, 3600, False, [])
set_runtime(runtime)
start_run(runtime)
report, wait = confirmed()
async def parked():
    report()
    await Event().waiter(None)
runtime._spawn_coro(parked())
wait()
""",
}

ENDINGS = {
    "return": ("", 0, None),
    "sys.exit": ("sys.exit(3)", 3, None),
    "unhandled exception": ("raise ValueError('the main thread gives up')", 1, "ValueError: the main thread gives up"),
}


@pytest.mark.timeout(TIMEOUT + 30)
@pytest.mark.parametrize("ending", ENDINGS)
@pytest.mark.parametrize("activity", ACTIVITIES)
def test_the_process_exits_with_its_own_status(activity, ending):
    code, status, message = ENDINGS[ending]
    completed = run_python(PRELUDE + ACTIVITIES[activity] + code + "\n", timeout=TIMEOUT, env=ENV)
    assert completed.returncode == status, completed.stderr
    if message is None:
        assert completed.stderr == ""
    else:
        # The interpreter's own traceback, nothing else.
        assert completed.stderr.startswith("Traceback"), completed.stderr
        assert completed.stderr.rstrip().endswith(message), completed.stderr


# Threads that start just as the interpreter begins to exit are the rare case: run those activities
# a few more times (each run is one chance for a thread state to be made behind the interpreter's
# back).
@pytest.mark.timeout(TIMEOUT * 3)
@pytest.mark.parametrize("activity", ["blocking workers starting by the dozen", "runs starting and stopping"])
def test_threads_starting_as_the_interpreter_exits(activity):
    repeats = 3 if os.environ.get("QUORLIN_SANITIZER") else 12
    for _ in range(repeats):
        completed = run_python(PRELUDE + ACTIVITIES[activity], timeout=TIMEOUT, env=ENV)
        assert (completed.returncode, completed.stderr) == (0, "")


def test_exit_handlers_may_use_the_runtime_until_quorlin_stops_starting_threads():
    # atexit handlers run last-registered first.  One registered after the module was imported
    # runs before the module stops starting threads, and can still run work; one registered
    # before the import runs after, and gets a clear refusal instead of a wait that never ends.
    completed = run_python(
        """
import atexit, socket, threading

def attempt(name):
    from quorlin._quorlin import Event, Runtime
    runtime = Runtime(1, 1, 1, False, [])
    try:
        _ctl, event, result = runtime._spawn_blocking(int, "7")
        deadline = threading.Event()
        for _ in range(10_000):
            if event.is_set() or deadline.wait(0.001):
                break
        print(name, "blocking", result.fetch())
    except RuntimeError as error:
        print(name, "blocking refused:", error)
    read_end, write_end = socket.socketpair()
    read_end.setblocking(False)
    runtime._ssock_r, runtime._ssock_w = read_end, write_end
    ran = threading.Event()
    async def body():
        ran.set()
        runtime._stopping = True
    runtime._spawn_coro(body())
    try:
        runtime._run()
        print(name, "run", ran.is_set())
    except RuntimeError as error:
        print(name, "run refused:", error)

atexit.register(attempt, "before-import")
from quorlin import _quorlin
atexit.register(attempt, "after-import")
""",
        timeout=TIMEOUT,
        env=ENV,
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.splitlines() == [
        "after-import blocking [False, 7]",
        "after-import run True",
        "before-import blocking refused: cannot run a blocking call: the interpreter is exiting",
        "before-import run refused: failed to spawn thread",
    ]
