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


WAIT = 10.0  # seconds: the bound on every wait for a thread, an event or a subprocess


def give_signal_pair(runtime):
    """Puts a fresh non-blocking socket pair in `_ssock_r` / `_ssock_w`, as every `_run` needs."""
    import socket

    signal_r, signal_w = socket.socketpair()
    signal_r.setblocking(False)
    signal_w.setblocking(False)
    runtime._ssock_r, runtime._ssock_w = signal_r, signal_w


def take_signal_pair(runtime):
    """After `_run` returned: it closed both descriptors, so the socket objects must not close the
    numbers again (by then they may name other files)."""
    for sock in (runtime._ssock_r, runtime._ssock_w):
        if hasattr(sock, "detach"):
            sock.detach()
    runtime._ssock_r = runtime._ssock_w = None


@pytest.fixture(scope="session")
def registered_runtime():
    """The process's registered runtime (write-once): two workers, context on."""
    from quorlin._quorlin import Runtime, set_runtime

    runtime = Runtime(2, 4, 10, True, b"")
    set_runtime(runtime)
    return runtime


class LoopThread:
    """Runs `runtime._run()` on a helper thread with a fresh non-blocking signal socket pair."""

    def __init__(self, runtime):
        import socket

        self.runtime = runtime
        self.signal_r, self.signal_w = socket.socketpair()
        self.signal_r.setblocking(False)
        self.signal_w.setblocking(False)
        self.ident = None
        self.result = None
        self.error = None
        self.thread = None

    def start(self, *, wait_for_workers=True):
        import threading

        self.runtime._stopping = False
        self.runtime._ssock_r = self.signal_r
        self.runtime._ssock_w = self.signal_w
        self.thread = threading.Thread(target=self._body, daemon=True)
        self.thread.start()
        if wait_for_workers:
            # The workers start after the driver's cells are published: a callback that runs
            # proves the loop is up.
            started = threading.Event()
            self.runtime._call_soon(started.set)
            assert started.wait(WAIT), "the run loop did not start"
        return self

    def _body(self):
        import threading

        self.ident = threading.get_ident()
        try:
            self.result = self.runtime._run()
        except BaseException as error:  # reported by stop()
            self.error = error

    def stop(self):
        self.runtime._stopping = True
        self.thread.join(WAIT)
        assert not self.thread.is_alive(), "_run did not return"
        # _run closed both descriptors; the socket objects must not close the numbers again.
        self.signal_r.detach()
        self.signal_w.detach()
        self.runtime._ssock_r = None
        self.runtime._ssock_w = None
        if self.error is not None:
            raise self.error
        return self.result


@pytest.fixture
def running_runtime(registered_runtime):
    """The registered runtime with `_run` going on a helper thread for the test's duration."""
    loop = LoopThread(registered_runtime).start()
    try:
        yield loop
    finally:
        if loop.thread.is_alive():
            assert loop.stop() is None
