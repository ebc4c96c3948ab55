"""Runs the package's in-run test files in sessions of their own, once with one worker and once
with two.

The runtime is configured once per process, so each worker count needs its own process; and a
separate process keeps these runs away from whatever runtime the rest of the suite registers.
"""

import functools
import os
import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).parent
# Files whose tests start interpreters of their own (runs, signals, pytest sessions) rather than
# run inside this session's runs.
OWN_PROCESS_FILES = ("test_pkg_sessions.py", "test_pkg_lifecycle.py", "test_pkg_signals.py", "test_pkg_plugin.py",
                     "test_pkg_run.py")
IN_RUN_FILES = sorted(str(path) for path in HERE.glob("test_pkg_*.py") if path.name not in OWN_PROCESS_FILES)

# Checks, in a fresh process, that the native core offers what the package stands on: a run loop
# whose timed waits expire, and the blocking pool.
PROBE = """
import socket
from quorlin import _quorlin
runtime = _quorlin.Runtime(1, 1, 1, True, b"")
_quorlin.set_runtime(runtime)
missing = []
try:
    runtime._spawn_blocking(int)
except NotImplementedError:
    missing.append("_spawn_blocking")
async def timed_wait():
    await _quorlin.Event().waiter(1000)
    runtime._stopping = True
reader, writer = socket.socketpair()
reader.setblocking(False)
runtime._ssock_r, runtime._ssock_w = reader, writer
runtime._spawn_coro(timed_wait())
try:
    runtime._run()
except NotImplementedError:
    missing.append("_run")
print(" ".join(missing))
"""


@functools.cache
def missing_native_parts():
    try:
        completed = subprocess.run([sys.executable, "-c", PROBE], capture_output=True, text=True, timeout=20)
    except subprocess.TimeoutExpired:
        return ["timers of _run"]
    assert completed.returncode == 0, completed.stderr
    return completed.stdout.split()


@pytest.mark.timeout(900)
@pytest.mark.parametrize("threads", [1, 2])
def test_package_suite(threads, request):
    if request.config.getoption("quorlin_threads", None):
        pytest.skip("already inside a quorlin session")
    missing = missing_native_parts()
    if missing:
        pytest.skip(f"the native core does not provide {', '.join(missing)} yet")
    command = [
        sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
        f"--quorlin-threads={threads}",
        *IN_RUN_FILES,
    ]
    # A session may end while the blocking pool still holds a call (queued, or with its worker
    # not yet started): held at exit, not lost, so a leak checker has nothing to say.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + " detect_leaks=0")
    completed = subprocess.run(command, capture_output=True, text=True, timeout=840, cwd=HERE.parent.parent,
                               env=env)
    tail = completed.stdout[-20000:] + completed.stderr[-5000:]
    assert completed.returncode == 0, tail
    assert " passed" in completed.stdout and "UNHANDLED COROUTINE" not in completed.stderr, tail
