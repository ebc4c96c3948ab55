"""to_thread and from_thread: results, errors, context, cancellation (abandon and abort)."""

import contextvars
import threading
import time

import pytest

import quorlin
from quorlin import Cancelled, _quorlin, from_thread, to_thread

pytestmark = [
    pytest.mark.quorlin,
    pytest.mark.skipif("not config.getoption('quorlin_threads', None)",
                       reason="needs a session of its own (test_pkg_sessions.py runs it)"),
]

tag = contextvars.ContextVar("tag", default="unset")


async def test_result_error_and_context():
    tag.set("from the task")

    def work(x):
        assert threading.current_thread() is not threading.main_thread()
        previous = tag.get()
        tag.set("changed in the thread")
        return x + 1, previous

    with quorlin.fail_after(20):
        assert await to_thread.run_sync(work, 1) == (2, "from the task")
        assert tag.get() == "from the task"  # the thread had a copy
        with pytest.raises(ZeroDivisionError):
            await to_thread.run_sync(lambda: 1 / 0)


async def test_limiter_bounds_concurrency():
    limiter = quorlin.CapacityLimiter(2)
    running, peak, lock = [0], [0], threading.Lock()

    def work():
        with lock:
            running[0] += 1
            peak[0] = max(peak[0], running[0])
        time.sleep(0.01)
        with lock:
            running[0] -= 1

    with quorlin.fail_after(30):
        async with quorlin.TaskGroup() as tg:
            for _ in range(8):
                tg.start_soon(lambda: to_thread.run_sync(work, limiter=limiter))
    assert peak[0] <= 2 and limiter.borrowed_tokens == 0
    default = to_thread.current_default_thread_limiter()
    assert default.total_tokens == min(40, quorlin.lowlevel.runtime_configuration()["blocking_threads"])


async def test_cancel_abandons_the_thread():
    release = threading.Event()
    finished = threading.Event()

    def blocked():
        release.wait(10)
        finished.set()
        return "late"

    with quorlin.fail_after(20):
        with quorlin.move_on_after(0.02) as scope:
            await to_thread.run_sync(blocked, abandon_on_cancel=True)
        assert scope.cancelled_caught and not finished.is_set()
    release.set()
    assert finished.wait(10)


async def test_cancel_lets_plain_blocking_code_finish_by_default():
    entered = threading.Event()
    account = {"a": 100, "b": 0}
    guard = threading.Lock()
    outcome = []

    def transfer():
        guard.acquire()  # ordinary code: no try/finally around the lock
        entered.set()
        for _ in range(100):
            account["a"] -= 1
            time.sleep(0.0005)  # where an exception raised into the thread would land
            account["b"] += 1
        guard.release()
        return "transferred"

    with quorlin.fail_after(20):
        with quorlin.CancelScope() as scope:
            async with quorlin.TaskGroup() as tg:
                async def cancel_when_running():
                    await to_thread.run_sync(entered.wait, 10)
                    scope.cancel()
                tg.start_soon(cancel_when_running)
                outcome.append(await to_thread.run_sync(transfer))  # the call's own outcome
                await quorlin.checkpoint()  # the cancellation takes effect here
                outcome.append("not reached")
    assert scope.cancelled_caught and outcome == ["transferred"]
    assert account == {"a": 0, "b": 100} and not guard.locked()


async def test_check_cancelled_lets_the_call_stop_when_it_chooses():
    entered = threading.Event()

    def polite():
        entered.set()
        for _ in range(10_000):
            time.sleep(0.001)
            from_thread.check_cancelled()
        return "never cancelled"

    with quorlin.fail_after(20):
        with quorlin.CancelScope() as scope:
            async with quorlin.TaskGroup() as tg:
                async def cancel_when_running():
                    await to_thread.run_sync(entered.wait, 10)
                    scope.cancel("enough")
                tg.start_soon(cancel_when_running)
                with pytest.raises(Cancelled) as info:
                    await to_thread.run_sync(polite)
                raise info.value
    assert scope.cancelled_caught and info.value.reason == "enough"
    with pytest.raises(ValueError):
        await to_thread.run_sync(int, abandon_on_cancel=True, interrupt_on_cancel=True)


async def test_cancel_interrupts_python_code_when_asked_and_waits():
    entered = threading.Event()
    seen = []

    def spin():
        entered.set()
        try:
            while True:
                pass
        except _quorlin.CancelledError as exc:  # in the thread, the core's own class
            seen.append("aborted")
            raise

    with quorlin.fail_after(20):
        with quorlin.CancelScope() as scope:
            async with quorlin.TaskGroup() as tg:
                async def cancel_when_running():
                    await to_thread.run_sync(entered.wait, 10)
                    scope.cancel()
                tg.start_soon(cancel_when_running)
                try:
                    await to_thread.run_sync(spin, interrupt_on_cancel=True)
                except Cancelled as exc:
                    seen.append(type(exc))  # in the task, the package's
                    raise
    assert scope.cancelled_caught and seen == ["aborted", Cancelled]


async def test_cancel_waits_for_a_call_that_ignores_the_abort():
    done = threading.Event()

    def stubborn():
        try:
            deadline = time.monotonic() + 0.05
            while time.monotonic() < deadline:
                try:
                    time.sleep(0.001)
                except _quorlin.CancelledError:
                    pass
            return "finished anyway"
        finally:
            done.set()

    with quorlin.fail_after(20):
        with quorlin.move_on_after(0.01):
            await to_thread.run_sync(stubborn, interrupt_on_cancel=True)
        assert done.is_set()  # without abandon_on_cancel the task waits for the call to end
        await quorlin.sleep(0.02)
        # An abort request must not leak into later calls on the same blocking thread.
        assert await to_thread.run_sync(lambda: [time.sleep(0.001) for _ in range(5)] and "clean") == "clean"


async def test_from_thread_round_trips():
    def in_thread():
        value = from_thread.run_sync(lambda: quorlin.current_time() >= 0)

        async def async_part(x):
            await quorlin.sleep(0.001)
            return x * 3

        tripled = from_thread.run(async_part, 5)
        with pytest.raises(KeyError):
            from_thread.run(raise_key_error)
        from_thread.check_cancelled()  # the waiting task is not cancelled
        return value, tripled

    async def raise_key_error():
        raise KeyError("k")

    with quorlin.fail_after(20):
        assert await to_thread.run_sync(in_thread) == (True, 15)
        with pytest.raises(RuntimeError, match="not a task"):
            from_thread.run_sync(lambda: None)

    outcome = []

    def plain_thread():
        outcome.append(from_thread.run_sync(lambda: "from a plain thread"))

    thread = threading.Thread(target=plain_thread)
    thread.start()
    with quorlin.fail_after(20):
        while thread.is_alive():
            await quorlin.sleep(0.005)
    assert outcome == ["from a plain thread"]


def test_from_thread_outside_a_run():
    with pytest.raises(quorlin.RunFinishedError):
        from_thread.run_sync(lambda: None)
    with pytest.raises(RuntimeError):
        from_thread.check_cancelled()
