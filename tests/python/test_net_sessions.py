"""Runs the networking tests in sessions of their own, once with one worker and once with two.

The runtime's worker count is fixed per process, so each mode needs a fresh interpreter.
"""

import pathlib
import re
import subprocess
import sys

import pytest

from quorlin import _quorlin

HERE = pathlib.Path(__file__).parent
SESSION_FILES = ["test_net_lowlevel.py", "test_net_socket.py", "test_net_streams.py"]


@pytest.mark.timeout(900)
@pytest.mark.parametrize("threads", [1, 2])
def test_networking_suite(threads, request):
    if request.config.getoption("quorlin_threads", None):
        pytest.skip("already inside a quorlin session")
    if not hasattr(_quorlin.ScheduledIO, "_arm_r_cb"):
        pytest.skip("the native core does not provide ScheduledIO yet")
    command = [
        sys.executable, "-m", "pytest", "-q", "-rs", "-p", "no:cacheprovider", f"--quorlin-threads={threads}",
        # The main thread sits in the native loop during a run, where a SIGALRM-based timeout
        # cannot fire; the thread method can.
        "-o", "timeout_method=thread",
        *(str(HERE / name) for name in SESSION_FILES),
    ]
    completed = subprocess.run(command, capture_output=True, text=True, timeout=840, cwd=HERE.parent.parent)
    tail = completed.stdout[-20000:] + completed.stderr[-5000:]
    assert completed.returncode == 0, tail
    assert re.search(r"\b[1-9]\d* passed", completed.stdout), tail
    assert "session of its own" not in completed.stdout, tail  # the inner session really ran them
    assert "UNHANDLED COROUTINE" not in completed.stderr, tail
