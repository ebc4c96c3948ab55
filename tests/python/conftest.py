"""Shared fixtures for the native-core tests.

The registry is write-once per process, so tests that need a pristine process run in a
subprocess (`run_python`).  Tests that need a running runtime share one registered runtime for
the session and run `_run` on a helper thread (see `running_runtime`).
"""

import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code, *, args=(), timeout=60, env=None, check=False):
    """Runs `code` in a fresh interpreter of the same venv and returns the CompletedProcess."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    completed = subprocess.run(
        [sys.executable, *args, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=full_env,
    )
    if check and completed.returncode != 0:
        raise AssertionError(
            f"subprocess failed ({completed.returncode}):\n{completed.stdout}\n{completed.stderr}"
        )
    return completed


@pytest.fixture
def python_subprocess():
    return run_python
