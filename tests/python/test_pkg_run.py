"""`quorlin.run` refusals: what is wrong is said, and a refused first run configures nothing.

Each case runs in a fresh interpreter, since the first run fixes the process's configuration.
"""

import pytest

from conftest import run_python

needs_native_run = pytest.mark.skipif("bool(__import__('test_pkg_sessions').missing_native_parts())",
                                      reason="the native run loop or blocking pool is not built yet")


def check(code, *, timeout=60):
    completed = run_python(code, timeout=timeout)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert "UNHANDLED COROUTINE" not in completed.stderr, completed.stderr
    return completed.stdout.splitlines()


@needs_native_run
@pytest.mark.parametrize("call, error", [
    ("quorlin.run(42, threads=2)", "TypeError"),
    ("quorlin.run(main, 1, 2, threads=2)", "TypeError"),
    ("quorlin.run(lambda: None, threads=2)", "TypeError"),
    ("quorlin.run(main, threads=2, signals=[32])", "ValueError"),  # reserved by the C library
    ("quorlin.run(main, threads=2, signals='2')", "TypeError"),
    ("quorlin.run(main, threads=2, signals=[signal.SIGUSR1, 'x'])", "TypeError"),
])
def test_a_first_run_refused_on_its_arguments_configures_nothing(call, error):
    out = check(f"""
import signal, quorlin, warnings
warnings.simplefilter("error")
async def main():
    return quorlin.lowlevel.runtime_configuration()["threads"]
try:
    {call}
except Exception as refused:
    print(type(refused).__name__)
print(quorlin.lowlevel.runtime_configuration())
print(quorlin.run(main, threads=3))
""")
    assert out == [error, "None", "3"]


@needs_native_run
def test_misplaced_runs_say_what_is_wrong():
    out = check("""
import threading, quorlin
async def main():
    return None
def attempt():
    try:
        quorlin.run(main)
    except RuntimeError as error:
        return str(error)
    return "ran"
def on_thread():
    results = []
    thread = threading.Thread(target=lambda: results.append(attempt()))
    thread.start()
    thread.join(20)
    return results[0]
async def from_a_task():
    return attempt()
async def from_a_blocking_call():
    return await quorlin.to_thread.run_sync(attempt)
async def from_a_thread_during_the_run():
    return await quorlin.to_thread.run_sync(on_thread)
print(on_thread())
print(quorlin.run(from_a_task))
print(quorlin.run(from_a_blocking_call))
print(quorlin.run(from_a_thread_during_the_run))
print(attempt())
""")
    assert len(out) == 5, out
    assert "must be called from the main thread" in out[0]
    assert "inside a quorlin task" in out[1] and "await the async function" in out[1]
    assert "already running" in out[2] and "from_thread" in out[2]
    assert "already running" in out[3]
    assert out[4] == "ran"
