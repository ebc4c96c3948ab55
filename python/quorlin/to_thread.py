"""Run blocking calls in threads of the runtime's blocking pool without blocking a worker."""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import Any, TypeVar

from quorlin._core import _runtime, _Slot, _thread_origin, _wait, current_task
from quorlin._errors import Cancelled
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


def _flush_abort() -> None:
    return None


def _call_and_report(slot: _Slot, fn: Callable[..., Any], args: tuple[Any, ...], origin: Any,
                     before_report: Callable[[], None]) -> None:
    # Runs on a blocking thread, in a copy of the calling task's context.  An abort request may
    # surface anywhere in here as Cancelled; the loop below makes sure the task still hears back.
    # `before_report` runs once the call is over and before the task can resume, so that the task's
    # next call finds the limiter token given back.
    _thread_origin.set(origin)
    try:
        value, error = fn(*args), None
    except BaseException as exc:  # noqa: BLE001 - handed to the waiting task
        value, error = None, exc
    reported = False
    while True:
        try:
            if not reported:
                before_report()
                slot.fire(value, error)
                reported = True
            _flush_abort()
            return
        except Cancelled:
            continue


class _ThreadCall:
    """One call of `run_sync`: what its blocking thread needs, in one object."""

    __slots__ = ("slot", "fn", "args", "origin", "limiter", "task", "state", "released", "ctl", "abandon")

    def __init__(self, task: Any, slot: _Slot, fn: Callable[..., Any], args: tuple[Any, ...],
                 limiter: CapacityLimiter, state: Any, abandon: bool) -> None:
        self.task = task
        self.slot = slot
        self.fn = fn
        self.args = args
        self.origin = (task, slot)
        self.limiter = limiter
        self.state = state
        self.released = False
        self.ctl: Any = None
        self.abandon = abandon

    def release_token(self) -> None:
        # Called only by the call's own thread (or by the task when the call never started), so
        # the flag needs no lock.
        if self.released:
            return
        self.released = True
        self.limiter.release_on_behalf_of(self.task)

    def __call__(self) -> None:
        state = self.state
        try:
            _call_and_report(self.slot, self.fn, self.args, self.origin, self.release_token)
        finally:
            self.release_token()
            with state.lock:
                state.blocking_calls -= 1

    def abort(self) -> bool:
        if self.abandon:
            return True
        slot = self.slot
        if not slot.abort_requested:
            slot.abort_requested = True
            self.ctl.abort()
        return False


async def run_sync(fn: Callable[..., T], *args: Any, abandon_on_cancel: bool = False,
                   limiter: CapacityLimiter | None = None) -> T:
    """Runs ``fn(*args)`` in a blocking-pool thread and returns its result (or raises its error).

    The call sees a copy of the task's context variables.  At most `limiter` (default:
    `current_default_thread_limiter()`) calls run at once; waiting for a token is cancellable.
    If the task is cancelled while the call runs, with `abandon_on_cancel` the task raises
    `Cancelled` at once and the thread is left to finish on its own; otherwise the call is asked
    to stop (`Cancelled` is raised inside its Python code at the next opportunity) and the task
    waits for it to end.
    """
    task = current_task()
    if limiter is None:
        limiter = _Defaults.limiter
        if limiter is None:
            limiter = current_default_thread_limiter()
    state = _current_run()
    acquire = getattr(limiter, "_acquire_before_park", None) or limiter.acquire_on_behalf_of
    await acquire(task)
    slot = _Slot(task)
    call = _ThreadCall(task, slot, fn, args, limiter, state, abandon_on_cancel)
    with state.lock:
        state.blocking_calls += 1
    try:
        call.ctl = _runtime()._spawn_blocking(call)[0]
    except BaseException:
        with state.lock:
            state.blocking_calls -= 1
        call.release_token()
        raise
    return await _wait(slot, call.abort)
