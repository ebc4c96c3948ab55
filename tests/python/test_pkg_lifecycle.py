"""Run life cycle, signals, the GIL check and the pytest plugin, each in a fresh interpreter."""

import subprocess
import sys
import textwrap

import pytest

from conftest import run_python

needs_native_run = pytest.mark.skipif("bool(__import__('test_pkg_sessions').missing_native_parts())",
                                      reason="the native run loop or blocking pool is not built yet")


def check(code, *, args=(), timeout=60):
    completed = run_python(code, args=args, timeout=timeout)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert "UNHANDLED COROUTINE" not in completed.stderr, completed.stderr
    return completed.stdout.split()


@needs_native_run
def test_two_runs_in_one_process_and_config_is_fixed():
    out = check("""
import quorlin
async def main(x):
    await quorlin.sleep(0.001)
    return x
print(quorlin.run(main, 1, threads=2, blocking_threads=3))
print(quorlin.run(main, 2))
print(quorlin.run(main, 3, threads=2))
try:
    quorlin.run(main, 4, threads=3)
except RuntimeError as error:
    print("refused" if "threads=2" in str(error) else error)
async def fails():
    raise ValueError("boom")
try:
    quorlin.run(fails)
except ValueError as error:
    print(error)
print(quorlin.lowlevel.runtime_configuration()["blocking_threads"])
""")
    assert out == ["1", "2", "3", "refused", "boom", "3"]


@needs_native_run
def test_bad_configuration_and_misuse():
    out = check("""
import threading, quorlin
async def main():
    return None
for kwargs in ({"threads": 0}, {"blocking_threads": 0}, {"threads": 1.5}, {"signals": [signal.SIGKILL]}):
    try:
        quorlin.run(main, **kwargs)
    except (ValueError, TypeError) as error:
        print(type(error).__name__)
errors = []
thread = threading.Thread(target=lambda: errors.append(pytest_raises()))
def pytest_raises():
    try:
        quorlin.run(main)
    except RuntimeError as error:
        return "main-thread" if "main thread" in str(error) else str(error)
thread.start(); thread.join(10)
print(errors[0])
async def nested():
    try:
        quorlin.run(main)
    except RuntimeError:
        return "nested-refused"
print(quorlin.run(nested))
""".replace("import threading, quorlin", "import signal, threading, quorlin"))
    assert out == ["ValueError", "ValueError", "TypeError", "ValueError", "main-thread", "nested-refused"]


def test_refuses_to_start_with_the_gil_enabled():
    completed = run_python("""
import quorlin
async def main():
    return 1
try:
    quorlin.run(main)
except RuntimeError as error:
    print("refused:", "GIL" in str(error))
""", args=("-X", "gil=1"))
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.split() == ["refused:", "True"]


@needs_native_run
def test_sigint_cancels_the_root_and_raises_keyboard_interrupt():
    out = check("""
import os, signal, quorlin
cleaned = []
async def main():
    try:
        os.kill(os.getpid(), signal.SIGINT)
        await quorlin.sleep(30)
    finally:
        cleaned.append("cleanup ran")
try:
    quorlin.run(main)
except KeyboardInterrupt:
    print("KeyboardInterrupt", len(cleaned))
async def again():
    return "second run fine"
print(quorlin.run(again).replace(" ", "-"))
""")
    assert out == ["KeyboardInterrupt", "1", "second-run-fine"]


@needs_native_run
def test_unrelated_signal_with_a_python_handler_does_not_end_the_run():
    out = check("""
import os, signal, quorlin
got = []
signal.signal(signal.SIGUSR1, lambda *a: got.append("handler"))
async def main():
    os.kill(os.getpid(), signal.SIGUSR1)
    await quorlin.sleep(0.05)
    os.kill(os.getpid(), signal.SIGUSR1)
    await quorlin.sleep(0.05)
    return "survived"
print(quorlin.run(main))
print(signal.getsignal(signal.SIGUSR1) is not None and "restored")
os.kill(os.getpid(), signal.SIGUSR1)
print(got[-1])
""")
    assert out == ["survived", "restored", "handler"]


@needs_native_run
def test_signal_receiver_gets_configured_signals():
    out = check("""
import os, signal, quorlin
async def main():
    try:
        quorlin.open_signal_receiver(signal.SIGUSR2).__enter__()
    except ValueError:
        print("unconfigured-refused")
    with quorlin.fail_after(20):
        with quorlin.open_signal_receiver(signal.SIGUSR1, signal.SIGINT) as signals:
            os.kill(os.getpid(), signal.SIGUSR1)
            print(await signals.__anext__() == signal.SIGUSR1)
            os.kill(os.getpid(), signal.SIGINT)  # goes to the receiver, not KeyboardInterrupt
            print(await signals.__anext__() == signal.SIGINT)
    return "done"
print(quorlin.run(main, signals=[signal.SIGINT, signal.SIGUSR1]))
""")
    assert out == ["unconfigured-refused", "True", "True", "done"]


@needs_native_run
def test_plugin_runs_async_tests_in_auto_mode(tmp_path):
    test_file = tmp_path / "test_sample.py"
    test_file.write_text(textwrap.dedent("""
        import quorlin

        async def test_runs_on_quorlin():
            assert quorlin.current_task() is quorlin.lowlevel.current_root_task()
            await quorlin.sleep(0)

        async def test_fails_on_quorlin():
            await quorlin.sleep(0)
            assert False, "expected failure"

        def test_sync(request):
            assert request.config.getoption("quorlin_threads") == 1
    """))
    completed = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "quorlin.testing", "--quorlin-mode=auto",
         "--quorlin-threads=1", "-p", "no:cacheprovider", str(test_file)],
        capture_output=True, text=True, timeout=120, cwd=tmp_path,
    )
    assert "1 failed, 2 passed" in completed.stdout, completed.stdout + completed.stderr
    assert "expected failure" in completed.stdout
