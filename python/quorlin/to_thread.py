"""Run blocking calls in threads of the runtime's blocking pool without blocking a worker."""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import Any, TypeVar

from quorlin import _quorlin
from quorlin._core import _always, _cancel_error, _never, _runtime, _Slot, _thread_origin, _wait, current_task
from quorlin._errors import as_cancelled
from quorlin._fastpath import call_and_report as _call_and_report
from quorlin._run import _current_run
from quorlin._sync import CapacityLimiter

T = TypeVar("T")

_DEFAULT_TOKENS = 40


class _Defaults:
    lock = threading.Lock()
    limiter: CapacityLimiter | None = None
    active = 0


def current_default_thread_limiter() -> CapacityLimiter:
    """The limiter `run_sync` uses by default: 40 tokens, at most the runtime's blocking threads."""
    limiter = _Defaults.limiter
    if limiter is None:
        from quorlin._run import _Process

        config = _Process.config
        tokens = _DEFAULT_TOKENS if config is None else min(_DEFAULT_TOKENS, config.blocking_threads)
        with _Defaults.lock:
            if _Defaults.limiter is None:
                _Defaults.limiter = CapacityLimiter(tokens)
            limiter = _Defaults.limiter
    return limiter


class _ThreadCall:
    """One call of `run_sync`: what its blocking thread needs, in one object."""

    __slots__ = ("slot", "origin", "limiter", "task", "state", "released", "ctl", "abandon")

    def __init__(self, task: Any, slot: _Slot, limiter: CapacityLimiter, state: Any, abandon: bool) -> None:
        self.task = task
        self.slot = slot
        self.origin = (task, slot)
        self.limiter = limiter
        self.state = state
        self.released = False
        self.ctl: Any = None
        self.abandon = abandon

    def finish(self) -> None:
        """The call's bookkeeping once it is over: its limiter token and the run's count.

        Made by the task once the report has woken it, or, with abandon_on_cancel (the task may
        have left, and the call is never aborted), by the call's own thread before it reports, so
        that the task's next call finds the token given back.  Never both for one call.
        """
        if self.released:
            return
        self.released = True
        self.limiter.release_on_behalf_of(self.task)
        state = self.state
        with state.lock:
            state.blocking_calls -= 1

    def interrupt(self) -> bool:
        slot = self.slot
        if not slot.abort_requested:
            slot.abort_requested = True
            self.ctl.abort()
        return False


async def run_sync(fn: Callable[..., T], *args: Any, abandon_on_cancel: bool = False,
                   interrupt_on_cancel: bool = False, limiter: CapacityLimiter | None = None) -> T:
    """Runs ``fn(*args)`` in a blocking-pool thread and returns its result (or raises its error).

    The call sees a copy of the task's context variables.  At most `limiter` (default:
    `current_default_thread_limiter()`) calls run at once; waiting for a token is cancellable.
    If the task is cancelled while the call runs, by default the task waits for the call to
    finish and gets its outcome, and the cancellation takes effect at its next checkpoint; the
    call may look for it with `from_thread.check_cancelled()`.  With `abandon_on_cancel` the task
    raises `Cancelled` at once and the thread is left to finish on its own.  With
    `interrupt_on_cancel` an exception is raised inside the call's Python code at the next
    opportunity (it may land anywhere, even in a `finally` block or while a lock is held, so use
    it only for code written for it) and the task waits for the call to end; in the thread that
    exception is the native core's CancelledError, of which `Cancelled` is a subclass.
    """
    if abandon_on_cancel and interrupt_on_cancel:
        raise ValueError("abandon_on_cancel and interrupt_on_cancel exclude each other")
    task = current_task()
    if limiter is None:
        limiter = _Defaults.limiter
        if limiter is None:
            limiter = current_default_thread_limiter()
    state = _current_run()
    acquire = getattr(limiter, "_acquire_before_park", None) or limiter.acquire_on_behalf_of
    await acquire(task)
    slot = _Slot(task)
    call = _ThreadCall(task, slot, limiter, state, abandon_on_cancel)
    with state.lock:
        state.blocking_calls += 1
    # On the blocking thread everything around the call is native: an abort surfaces as
    # Cancelled at any bytecode check there, and must neither skip the report nor leave the
    # task's lock held.  Calls that are never aborted (abandon_on_cancel) give their token back
    # before the report, so that the task's next call finds it.
    try:
        call.ctl = _runtime()._spawn_blocking(_call_and_report, slot, _thread_origin, call.origin,
                                               call.finish if abandon_on_cancel else None, fn, args)[0]
    except BaseException:
        call.finish()
        raise
    if abandon_on_cancel:
        return await _wait(slot, _always)
    try:
        return await _wait(slot, call.interrupt if interrupt_on_cancel else _never)
    except _quorlin.CancelledError as exc:
        if type(exc) is not _quorlin.CancelledError:
            raise
        # The core's abort surfaced in the call: the task sees the package's Cancelled.
        converted = _cancel_error(task) if task._evaluate(float("inf"))[0] else as_cancelled(exc)
        raise converted.with_traceback(exc.__traceback__) from None
    finally:
        call.finish()
