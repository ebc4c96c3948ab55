"""Task groups, task handles, start() and gather(): outcomes as a table."""

import dataclasses

import pytest

import quorlin
from quorlin import Cancelled

pytestmark = [
    pytest.mark.quorlin,
    pytest.mark.skipif("not config.getoption('quorlin_threads', None)",
                       reason="needs a session of its own (test_pkg_sessions.py runs it)"),
]


async def returns(value):
    await quorlin.checkpoint()
    return value


async def raises(error):
    raise error


async def sleeps_forever(log, name):
    try:
        await quorlin.sleep_forever()
    except Cancelled:
        log.append(f"{name} cancelled")
        raise


async def group_of_returns(log):
    async with quorlin.TaskGroup() as tg:
        tasks = [tg.create_task(returns, n) for n in range(4)]
    return [t.result() for t in tasks]


async def one_child_fails(log):
    async with quorlin.TaskGroup() as tg:
        tg.start_soon(sleeps_forever, log, "sibling")
        await quorlin.sleep(0.01)
        tg.start_soon(raises, ValueError("child"))


async def two_children_fail(log):
    async with quorlin.TaskGroup() as tg:
        tg.start_soon(raises, ValueError("a"))
        tg.start_soon(raises, KeyError("b"))


async def body_fails(log):
    async with quorlin.TaskGroup() as tg:
        tg.start_soon(sleeps_forever, log, "child")
        await quorlin.sleep(0.01)
        raise OSError("body")


async def child_cancelled_by_handle(log):
    async with quorlin.TaskGroup() as tg:
        task = tg.create_task(sleeps_forever, log, "child")
        await quorlin.sleep(0.01)
        task.cancel()
    log.append(f"cancelled={task.cancelled()}")
    with pytest.raises(quorlin.TaskCancelledError):
        task.result()
    return "body done"


async def group_scope_cancelled(log):
    async with quorlin.TaskGroup() as tg:
        for name in ("a", "b"):
            tg.start_soon(sleeps_forever, log, name)
        await quorlin.sleep(0.01)
        tg.cancel_scope.cancel()
        await quorlin.sleep_forever()
    log.sort()
    return tg.cancel_scope.cancelled_caught


async def child_raises_base_exception(log):
    async with quorlin.TaskGroup() as tg:
        tg.start_soon(raises, KeyboardInterrupt())


async def start_fails_before_started(log):
    async def child(task_status):
        raise LookupError("early")

    async with quorlin.TaskGroup() as tg:
        try:
            await tg.start(child)
        except LookupError as error:
            log.append(f"start raised {error}")
    return "group clean"


async def start_fails_after_started(log):
    async def child(task_status):
        task_status.started("ready")
        await quorlin.checkpoint()
        raise ArithmeticError("late")

    async with quorlin.TaskGroup() as tg:
        log.append(await tg.start(child))
        await quorlin.sleep_forever()


async def start_without_started(log):
    async def child(task_status):
        return None

    async with quorlin.TaskGroup() as tg:
        await tg.start(child)


async def start_from_the_group_body_stays_cancellable(log):
    async def child(task_status):
        task_status.started()
        await quorlin.sleep_forever()

    with quorlin.move_on_after(10) as guard:  # a child lost from the scope tree would only leave here
        async with quorlin.TaskGroup() as tg:
            await tg.start(child)
            tg.cancel_scope.cancel()
    log.append(f"guard fired={guard.cancel_called}")


async def start_child_moves_into_the_group(log):
    async def child(task_status):
        task_status.started(quorlin.current_task())
        await quorlin.sleep_forever()

    async with quorlin.TaskGroup() as outer:
        async with quorlin.TaskGroup() as tg:
            with quorlin.CancelScope() as caller_scope:
                task = await tg.start(child)
                caller_scope.cancel()  # the child no longer lives below the caller's scope
                await quorlin.sleep(0.02)
            log.append(f"after caller cancel done={task.done()}")
            tg.cancel_scope.cancel()
        log.append(f"after group cancel cancelled={task.cancelled()}")
    return outer.cancel_scope.cancelled_caught


async def gather_results(log):
    return await quorlin.gather(returns(1), returns(2), returns("x"))


def eg(*types):
    return ("group", types)


CASES = {
    "all return": (group_of_returns, [0, 1, 2, 3], []),
    "one child fails": (one_child_fails, eg(ValueError), ["sibling cancelled"]),
    "two children fail": (two_children_fail, eg(ValueError, KeyError), []),
    "body fails": (body_fails, eg(OSError), ["child cancelled"]),
    "cancel by handle": (child_cancelled_by_handle, "body done", ["child cancelled", "cancelled=True"]),
    "group scope cancelled": (group_scope_cancelled, True, ["a cancelled", "b cancelled"]),
    "base exception": (child_raises_base_exception, eg(KeyboardInterrupt), []),
    "start fails early": (start_fails_before_started, "group clean", ["start raised early"]),
    "start fails late": (start_fails_after_started, eg(ArithmeticError), ["ready"]),
    "start never started": (start_without_started, eg(RuntimeError), []),
    "start reparents": (start_child_moves_into_the_group, False,
                        ["after caller cancel done=False", "after group cancel cancelled=True"]),
    "start from group body": (start_from_the_group_body_stays_cancellable, None, ["guard fired=False"]),
    "gather": (gather_results, [1, 2, "x"], []),
}


@pytest.mark.parametrize("case", list(CASES))
async def test_group_outcomes(case):
    body, expected, expected_log = CASES[case]
    log = []
    with quorlin.fail_after(20):
        try:
            outcome = await body(log)
        except BaseExceptionGroup as group:
            outcome = ("group", tuple(type(e) for e in group.exceptions))
            if case == "start never started":
                assert "without calling task_status.started()" in str(group.exceptions[0])
    if isinstance(expected, tuple) and expected[0] == "group":
        assert outcome[0] == "group"
        assert sorted(t.__name__ for t in outcome[1]) == sorted(t.__name__ for t in expected[1])
    else:
        assert outcome == expected
    assert log == expected_log


async def test_task_handle_surface():
    async def work(x):
        await quorlin.sleep(0.01)
        if x < 0:
            raise ValueError(x)
        return x * 2

    with quorlin.fail_after(20):
        async with quorlin.TaskGroup() as tg:
            ok = tg.create_task(work, 21, name="ok")
            assert ok.name == "ok" and not ok.done()
            with pytest.raises(RuntimeError, match="has not finished"):
                ok.result()
            assert await ok == 42
            assert ok.done() and ok.exception() is None
            coro_task = tg.create_task(work(5))
            await coro_task.wait()
            assert coro_task.result() == 10
        with pytest.raises(BaseExceptionGroup) as info:
            async with quorlin.TaskGroup() as tg:
                bad = tg.create_task(work, -1)
                await bad.wait()  # waiting never raises the task's error
                assert isinstance(bad.exception(), ValueError)
                with pytest.raises(ValueError):
                    await bad
        assert [type(e) for e in info.value.exceptions] == [ValueError]


async def test_current_task_inside_and_misuse():
    seen = []

    async def child():
        seen.append(quorlin.current_task())

    async with quorlin.TaskGroup() as tg:
        task = tg.create_task(child)
    assert seen == [task]
    assert quorlin.current_task() is quorlin.lowlevel.current_root_task()
    async with quorlin.TaskGroup() as tg:
        with pytest.raises(TypeError, match="did not return a coroutine"):
            tg.start_soon(lambda: 5)
    with pytest.raises(RuntimeError, match="not open"):
        tg.start_soon(child)


def test_current_task_outside_a_run():
    with pytest.raises(RuntimeError, match="inside a quorlin task"):
        quorlin.current_task()


async def test_many_children_all_finish():
    counter = []

    async def child(n):
        await quorlin.checkpoint()
        counter.append(n)

    with quorlin.fail_after(30):
        async with quorlin.TaskGroup() as tg:
            for n in range(2000):
                tg.start_soon(child, n)
    assert sorted(counter) == list(range(2000))


async def test_run_statistics_have_attributes():
    event = quorlin.Event()

    async def parked():
        await event.wait()

    with quorlin.fail_after(20):
        async with quorlin.TaskGroup() as tg:
            tg.start_soon(parked)
            while event.statistics()["tasks_waiting"] < 1:
                await quorlin.sleep(0.001)
            stats = quorlin.lowlevel.statistics()
            event.set()
    assert isinstance(stats, quorlin.lowlevel.RunStatistics)
    assert stats.tasks_living >= 2 and stats.tasks_parked >= 1
    assert stats.tasks_runnable == stats.tasks_living - stats.tasks_parked >= 1  # this task runs
    assert stats.blocking_calls >= 0 and stats.io_waits >= 0
    assert stats.configuration["threads"] >= 1 and "total_tokens" in stats.thread_limiter
    assert stats["tasks_living"] == stats.tasks_living  # still readable by key
    assert stats["tasks_running_or_runnable"] == stats.tasks_runnable
    with pytest.raises(KeyError):
        stats["__class__"]
    with pytest.raises(dataclasses.FrozenInstanceError):
        stats.tasks_living = 0
