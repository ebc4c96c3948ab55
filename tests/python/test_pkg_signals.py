"""Python signal handlers during a run, each case in a fresh interpreter.

A handler installed with `signal.signal` must run while the run goes on (on the main thread), and
what it raises must end the run the way Ctrl-C does: the root task is cancelled and `run` raises.
"""

import pytest

from conftest import run_python

needs_native_run = pytest.mark.skipif("bool(__import__('test_pkg_sessions').missing_native_parts())",
                                      reason="the native run loop or blocking pool is not built yet")


def check(code, *, timeout=60):
    completed = run_python(code, timeout=timeout)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert "UNHANDLED COROUTINE" not in completed.stderr, completed.stderr
    return completed.stdout.split()


# Each way of sending reaches another thread first: the process (any thread that does not block
# it), the main thread (inside the native loop's wait), the worker that sends it, and the kernel's
# interval timer.  The task waits, bounded, for the handler to set an event: a handler that only
# runs after the run fails the wait.
HANDLER_RUNS_DURING_THE_RUN = """
import os, signal, threading, quorlin
seen = []
woken = None
def handler(signum, frame):
    seen.append((signum, threading.current_thread() is threading.main_thread()))
    woken.set()
signal.signal(signal.SIGUSR1, handler)
signal.signal(signal.SIGALRM, handler)
def send(how):
    if how == "kill":
        os.kill(os.getpid(), signal.SIGUSR1)
    elif how == "main-thread":
        signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)
    elif how == "this-worker":
        signal.pthread_kill(threading.get_ident(), signal.SIGUSR1)
    else:
        signal.setitimer(signal.ITIMER_REAL, 0.01)
async def main():
    global woken
    results = []
    for how in ("kill", "main-thread", "this-worker", "alarm"):
        # Again and again: the relay must re-arm after every signal, and a signal that comes
        # while the loop is dispatching the previous one must not be left pending.
        for _ in range(10 if how == "alarm" else 200):
            woken = quorlin.Event()
            send(how)
            with quorlin.move_on_after(10) as scope:
                await woken.wait()
            if scope.cancelled_caught:
                results.append(f"{how}:not-run")
                break
        else:
            signum, on_main = seen[-1]
            results.append(f"{how}:{signal.Signals(signum).name}:{'main' if on_main else 'other'}")
    return results
print(" ".join(quorlin.run(main, threads=THREADS)))
print("still-installed" if signal.getsignal(signal.SIGUSR1) is handler else "lost")
"""


@needs_native_run
@pytest.mark.parametrize("threads", [1, 2])
def test_python_handlers_run_on_the_main_thread_during_the_run(threads):
    out = check(HANDLER_RUNS_DURING_THE_RUN.replace("THREADS", str(threads)))
    assert out == ["kill:SIGUSR1:main", "main-thread:SIGUSR1:main", "this-worker:SIGUSR1:main",
                   "alarm:SIGALRM:main", "still-installed"]


@needs_native_run
@pytest.mark.parametrize("signals, sig, raised", [
    # The default SIGINT handler, when the run does not take SIGINT itself: Ctrl-C as in trio.
    ("()", "SIGINT", "KeyboardInterrupt"),
    # Any exception from any handler ends the run the same way.
    ("(signal.SIGINT,)", "SIGUSR1", "ValueError"),
    ("(signal.SIGINT,)", "SIGALRM", "ValueError"),
])
def test_a_raising_handler_cancels_the_run_and_run_raises_it(signals, sig, raised):
    out = check(f"""
import os, signal, quorlin
def failing(signum, frame):
    raise ValueError("from the handler")
if "{sig}" != "SIGINT":
    signal.signal(signal.{sig}, failing)
before = signal.getsignal(signal.{sig})
async def main():
    try:
        if "{sig}" == "SIGALRM":
            signal.setitimer(signal.ITIMER_REAL, 0.01)
        else:
            os.kill(os.getpid(), signal.{sig})
        await quorlin.sleep(30)
        print("not-cancelled")
    finally:
        print("cleanup-ran")
try:
    quorlin.run(main, signals={signals})
    print("returned")
except BaseException as error:
    print("raised", type(error).__name__)
print("restored" if signal.getsignal(signal.{sig}) is before else "changed")
async def again():
    await quorlin.sleep(0)
    return "next-run-fine"
print(quorlin.run(again))
""")
    assert out == ["cleanup-ran", "raised", raised, "restored", "next-run-fine"]


@needs_native_run
def test_a_python_sigint_handler_with_signals_off_keeps_the_run_going():
    out = check("""
import os, signal, quorlin
calls = []
signal.signal(signal.SIGINT, lambda signum, frame: calls.append(signum))
async def main():
    for _ in range(3):
        os.kill(os.getpid(), signal.SIGINT)
        with quorlin.fail_after(10):
            while len(calls) < _ + 1:
                await quorlin.sleep(0.001)
    return "finished"
print(quorlin.run(main, signals=()), len(calls))
""")
    assert out == ["finished", "3"]


@needs_native_run
def test_a_handler_runs_while_the_only_worker_is_busy():
    # The classic pattern: an alarm handler sets a flag that a computation polls.  With one
    # worker held by the root task from its first step, the handler must still get to run.
    out = check("""
import signal, time, quorlin
stop = []
signal.signal(signal.SIGALRM, lambda signum, frame: stop.append(signum))
async def main():
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    bound = time.monotonic() + 20
    while not stop and time.monotonic() < bound:
        pass
    return "interrupted" if stop else "not-run"
print(quorlin.run(main, threads=1))
""")
    assert out == ["interrupted"]
