"""Call into the run from plain threads (including threads started by `to_thread.run_sync`)."""

from __future__ import annotations

import concurrent.futures
import contextvars
from collections.abc import Awaitable, Callable
from typing import Any, TypeVar

from quorlin._core import _cancel_error, _make_coroutine, _running_task_code, _runtime, _thread_origin
from quorlin._errors import Cancelled, RunFinishedError

T = TypeVar("T")


def _check_caller() -> Any:
    from quorlin._run import _current_run

    if _running_task_code():
        raise RuntimeError("from_thread functions block their thread; call them from a plain thread, not a task")
    return _current_run()


def run_sync(fn: Callable[..., T], *args: Any) -> T:
    """Calls ``fn(*args)`` on a worker of the run in progress and returns its result.

    Blocks the calling thread.  Raises RunFinishedError if no run is in progress.
    """
    state = _check_caller()
    future: concurrent.futures.Future[T] = concurrent.futures.Future()
    context = contextvars.copy_context()

    def callback() -> None:
        # A callback left queued when its run ended runs early in the next run: do nothing then.
        with state.lock:
            if future.running() or future.done():
                return
            future.set_running_or_notify_cancel()
        try:
            future.set_result(context.run(fn, *args))
        except BaseException as exc:  # noqa: BLE001 - handed to the calling thread
            future.set_exception(exc)

    with state.lock:
        if state.finished:
            raise RunFinishedError("no quorlin run is in progress")
        state.pending_calls.add(future)
    try:
        _runtime()._call_soon(callback)
        return future.result()
    finally:
        with state.lock:
            state.pending_calls.discard(future)


def run(afn: Callable[..., Awaitable[T]], *args: Any) -> T:
    """Runs ``afn(*args)`` as a task of the run in progress and returns its result.

    Blocks the calling thread.  The task belongs to the run's system task group: it is cancelled
    when the run ends, and then RunFinishedError is raised here.
    """
    state = _check_caller()
    state.system_ready.wait(30)
    group = state.system_group
    if group is None:
        raise RunFinishedError("the run is not ready for calls from threads")
    future: concurrent.futures.Future[T] = concurrent.futures.Future()

    async def body() -> None:
        _thread_origin.set(None)
        try:
            result = await _make_coroutine(afn, args)
        except Cancelled:
            future.set_exception(RunFinishedError("the run ended before the call finished"))
            raise
        except BaseException as exc:  # noqa: BLE001 - handed to the calling thread
            future.set_exception(exc)
        else:
            future.set_result(result)

    try:
        group.start_soon(body, name=getattr(afn, "__qualname__", None))
    except RuntimeError:
        raise RunFinishedError("the run is ending") from None
    return future.result()


def check_cancelled() -> None:
    """In a thread started by `to_thread.run_sync`, raises `Cancelled` if the waiting task is
    cancelled (and the call was not abandoned)."""
    origin = _thread_origin.get()
    if origin is None:
        raise RuntimeError("check_cancelled() works only in threads started by quorlin.to_thread")
    task, slot = origin
    if task._evaluate(float("inf"))[0]:
        raise _cancel_error(task)
    if slot.fired:
        raise Cancelled()
