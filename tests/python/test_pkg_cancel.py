"""Cancel scopes, deadlines and timeouts: where Cancelled surfaces, as a table."""

import contextvars
import math
import threading

import pytest

import quorlin
from quorlin import Cancelled, CancelScope

pytestmark = [
    pytest.mark.quorlin,
    pytest.mark.skipif("not config.getoption('quorlin_threads', None)",
                       reason="needs a session of its own (test_pkg_sessions.py runs it)"),
]


async def cancel_then_checkpoint(log):
    with CancelScope() as scope:
        scope.cancel()
        log.append("before")
        await quorlin.checkpoint()
        log.append("not reached")
    return scope.cancelled_caught


async def nested_outer_cancelled(log):
    with CancelScope() as outer:
        with CancelScope() as inner:
            outer.cancel()
            await quorlin.sleep(5)
        log.append("not reached")
    return outer.cancelled_caught, inner.cancelled_caught


async def both_cancelled_inner_catches(log):
    with CancelScope() as outer:
        with CancelScope() as inner:
            outer.cancel()
            inner.cancel()
            await quorlin.checkpoint()
        log.append("between")  # level-triggered: the outer cancel is still in force
        await quorlin.checkpoint()
        log.append("not reached")
    return outer.cancelled_caught, inner.cancelled_caught


async def shield_keeps_outer_out(log):
    with CancelScope() as outer:
        outer.cancel()
        with CancelScope(shield=True) as shielded:
            await quorlin.sleep(0.01)
            log.append("slept in shield")
        await quorlin.checkpoint()
        log.append("not reached")
    return outer.cancelled_caught, shielded.cancelled_caught


async def shield_dropped_while_parked(log):
    with CancelScope() as outer:
        outer.cancel()
        with CancelScope(shield=True) as shielded:
            async with quorlin.TaskGroup() as tg:
                async def unshield():
                    await quorlin.sleep(0.02)
                    shielded.shield = False
                tg.start_soon(unshield)
                await quorlin.sleep(10)
            log.append("not reached")
    return outer.cancelled_caught, shielded.cancelled_caught


async def deadline_passes_while_parked(log):
    with quorlin.move_on_after(0.02) as scope:
        await quorlin.sleep_forever()
    return scope.cancelled_caught, scope.cancel_called


async def deadline_moved_earlier_while_parked(log):
    with CancelScope() as scope:
        async with quorlin.TaskGroup() as tg:
            async def move():
                await quorlin.sleep(0.02)
                scope.deadline = quorlin.current_time() + 0.01
            tg.start_soon(move)
            await quorlin.sleep_forever()
    return scope.cancelled_caught, scope.deadline != math.inf


async def deadline_moved_later(log):
    with quorlin.move_on_after(0.01) as scope:
        scope.deadline += 30
        await quorlin.sleep(0.05)
        log.append("slept past the first deadline")
    return scope.cancelled_caught, scope.cancel_called


async def cancel_from_plain_thread_while_parked(log):
    with CancelScope() as scope:
        timer = threading.Timer(0.02, scope.cancel)
        timer.start()
        try:
            await quorlin.sleep(10)
        finally:
            timer.join(10)
    return scope.cancelled_caught, timer.is_alive()


async def cancel_from_plain_thread_while_running(log):
    with CancelScope() as scope:
        thread = threading.Thread(target=scope.cancel)
        thread.start()
        thread.join(10)
        log.append("still running without a checkpoint")
        await quorlin.checkpoint()
        log.append("not reached")
    return scope.cancelled_caught, thread.is_alive()


async def cancel_another_task_while_running(log):
    async def busy():
        me = quorlin.current_task()
        canceller = threading.Thread(target=me.cancel)
        canceller.start()
        canceller.join(10)  # blocks this worker: the cancel arrives while the task runs
        log.append("ran on")
        await quorlin.checkpoint()
        log.append("not reached")

    async with quorlin.TaskGroup() as tg:
        task = tg.create_task(busy)
    return task.cancelled(), None


async def fail_after_raises_timeout(log):
    try:
        with quorlin.fail_after(0.01):
            await quorlin.sleep_forever()
    except TimeoutError:
        return "TimeoutError", None


async def fail_after_cancelled_explicitly(log):
    with quorlin.fail_after(30) as scope:
        scope.cancel()
        await quorlin.checkpoint()
    return scope.cancelled_caught, "no TimeoutError"


async def fail_at_in_the_past(log):
    try:
        with quorlin.fail_at(quorlin.current_time() - 1):
            log.append("entered")
            await quorlin.checkpoint()
    except TimeoutError:
        return "TimeoutError", None


async def cancelled_error_caught_inside(log):
    with CancelScope() as scope:
        scope.cancel()
        try:
            await quorlin.checkpoint()
        except Cancelled:
            log.append("caught")
        await quorlin.sleep(1)  # still cancelled: level-triggered
    return scope.cancelled_caught, None


async def effective_deadlines(log):
    now = quorlin.current_time()
    log.append(quorlin.current_effective_deadline() <= now + 20)  # the test's own fail_after
    with CancelScope(shield=True), quorlin.move_on_at(now + 100):
        with quorlin.move_on_at(now + 50):
            log.append(quorlin.current_effective_deadline() == now + 50)
            with CancelScope(shield=True):
                log.append(quorlin.current_effective_deadline() == math.inf)
        with CancelScope() as cancelled:
            cancelled.cancel()
            log.append(quorlin.current_effective_deadline() == -math.inf)
    return None, None


CASES = {
    "cancel then checkpoint": (cancel_then_checkpoint, True, ["before"]),
    "outer cancelled": (nested_outer_cancelled, (True, False), []),
    "both cancelled": (both_cancelled_inner_catches, (True, True), ["between"]),
    "shield": (shield_keeps_outer_out, (True, False), ["slept in shield"]),
    "shield dropped": (shield_dropped_while_parked, (True, False), []),
    "deadline passes": (deadline_passes_while_parked, (True, True), []),
    "deadline moved earlier": (deadline_moved_earlier_while_parked, (True, True), []),
    "deadline moved later": (deadline_moved_later, (False, False), ["slept past the first deadline"]),
    "thread cancels parked": (cancel_from_plain_thread_while_parked, (True, False), []),
    "thread cancels running": (cancel_from_plain_thread_while_running, (True, False),
                               ["still running without a checkpoint"]),
    "cancel running task": (cancel_another_task_while_running, (True, None), ["ran on"]),
    "fail_after": (fail_after_raises_timeout, ("TimeoutError", None), []),
    "fail_after cancelled": (fail_after_cancelled_explicitly, (True, "no TimeoutError"), []),
    "fail_at past": (fail_at_in_the_past, ("TimeoutError", None), ["entered"]),
    "Cancelled caught inside": (cancelled_error_caught_inside, (True, None), ["caught"]),
    "effective deadline": (effective_deadlines, (None, None), [True, True, True, True]),
}


@pytest.mark.parametrize("case", list(CASES))
async def test_cancellation(case):
    body, expected, expected_log = CASES[case]
    log = []
    with quorlin.fail_after(20):
        outcome = await body(log)
    assert outcome == expected
    assert log == expected_log


request_id = contextvars.ContextVar("request_id", default="none")


async def test_contextvar_reset_in_a_cancelled_finally():
    seen = []

    async def handler():
        token = request_id.set("r1")
        try:
            await quorlin.sleep_forever()
        finally:
            seen.append(request_id.get())
            request_id.reset(token)  # raises ValueError if the finally ran in another context
            seen.append(request_id.get())

    with quorlin.fail_after(20):
        async with quorlin.TaskGroup() as tg:
            task = tg.create_task(handler)
            await quorlin.sleep(0.01)
            task.cancel()
    assert task.cancelled()
    assert seen == ["r1", "none"]


async def test_long_waits_are_chunked(monkeypatch):
    import quorlin._core as core

    monkeypatch.setattr(core, "_MAX_WAIT_US", 2_000)  # pretend the native limit is 2 ms
    with quorlin.fail_after(20):
        start = quorlin.current_time()
        await quorlin.sleep(0.03)
        assert quorlin.current_time() - start >= 0.03
        with quorlin.move_on_after(0.03) as scope:
            await quorlin.sleep_forever()
        assert scope.cancelled_caught


@pytest.mark.parametrize("bad", [-1, math.nan])
async def test_bad_durations(bad):
    with pytest.raises(ValueError):
        await quorlin.sleep(bad)
    with pytest.raises(ValueError):
        quorlin.move_on_after(bad)


async def test_scope_misuse():
    scope = CancelScope()
    with scope:
        pass
    with pytest.raises(RuntimeError, match="only once"):
        with scope:
            pass
    outer, inner = CancelScope(), CancelScope()
    outer.__enter__()
    inner.__enter__()
    with pytest.raises(RuntimeError, match="innermost first"):
        outer.__exit__(None, None, None)
    inner.__exit__(None, None, None)
    outer.__exit__(None, None, None)
    with pytest.raises(TypeError):
        scope.shield = 1


async def catch_cancelled(body, caught):
    """Runs `body(scope)` inside a fresh scope, keeping the Cancelled that came out of it."""
    with CancelScope() as scope:
        try:
            await body(scope)
        except Cancelled as exc:
            caught.append(exc)
            raise


async def by_deadline(scope):
    scope.deadline = quorlin.current_time() - 1
    await quorlin.checkpoint()


async def by_cancel_with_reason(scope):
    scope.cancel("shutting down")
    await quorlin.sleep(10)


async def by_cancel_of_the_task(scope):
    quorlin.current_task().cancel()
    await quorlin.Event().wait()


async def by_a_failing_sibling(scope):
    async def fails():
        raise KeyError("boom")

    seen = []
    try:
        async with quorlin.TaskGroup() as tg:
            async def sibling():
                try:
                    await quorlin.sleep_forever()
                except Cancelled as exc:
                    seen.append(exc)
                    raise
            tg.start_soon(sibling)
            await quorlin.sleep(0.001)
            tg.start_soon(fails)
    except* KeyError:
        pass
    raise seen[0]


class BadRepr(Exception):
    def __repr__(self):
        raise RuntimeError("no repr")


async def by_a_failing_body(scope):
    seen = []
    try:
        async with quorlin.TaskGroup() as tg:
            async def sibling():
                try:
                    await quorlin.sleep_forever()
                except Cancelled as exc:
                    seen.append(exc)
                    raise
            tg.start_soon(sibling)
            await quorlin.sleep(0.001)
            raise BadRepr
    except* BadRepr:
        pass
    raise seen[0]


@pytest.mark.parametrize("body, source, reason, text", [
    (by_deadline, "deadline", None, "cancelled due to deadline"),
    (by_cancel_with_reason, "explicit", "shutting down", "cancelled due to explicit with reason 'shutting down' from task"),
    (by_cancel_of_the_task, "explicit", None, "cancelled due to explicit from task <Task 'catch_cancelled'>"),
    (by_a_failing_sibling, "nursery", "child task raised exception KeyError('boom')",
     "cancelled due to nursery with reason \"child task raised exception KeyError('boom')\" from task <Task 'by_a_failing_sibling.<locals>.fails'>"),
    (by_a_failing_body, "nursery", "the task group's body raised exception <BadRepr with a failing repr>",
     "cancelled due to nursery with reason \"the task group's body raised exception <BadRepr with a failing repr>\" from task"),
])
async def test_cancelled_says_why_and_pickles(body, source, reason, text):
    import pickle

    caught = []
    with quorlin.fail_after(20):
        # In a task of its own: `Task.cancel()` cancels the whole task.
        async with quorlin.TaskGroup() as tg:
            tg.start_soon(catch_cancelled, body, caught)
    exc = caught[0]
    assert type(exc) is Cancelled and (exc.source, exc.reason) == (source, reason)
    assert str(exc).startswith(text)
    assert type(exc).__module__ == "quorlin" and repr(exc).startswith("Cancelled(")
    again = pickle.loads(pickle.dumps(exc))
    assert type(again) is Cancelled and (again.source, again.reason, str(again)) == (source, reason, str(exc))


async def test_core_cancellations_still_match_and_bad_reasons_are_refused():
    from quorlin import _quorlin

    assert issubclass(Cancelled, _quorlin.CancelledError)
    with CancelScope() as scope:
        scope.cancel()
        raise _quorlin.CancelledError("Execution aborted")  # what the core throws in
    assert scope.cancelled_caught
    with CancelScope() as scope:
        with pytest.raises(TypeError):
            scope.cancel(reason=3)
        assert not scope.cancel_called
