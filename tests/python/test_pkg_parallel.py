"""Tasks really run in parallel; diagnostics see the task tree."""

import io
import os
import time

import pytest

import quorlin

pytestmark = [
    pytest.mark.quorlin,
    pytest.mark.skipif("not config.getoption('quorlin_threads', None)",
                       reason="needs a session of its own (test_pkg_sessions.py runs it)"),
]


def spin(n):
    total = 0
    for i in range(n):
        total += i * i
    return total


async def cpu_task(n, out):
    out.append(spin(n))


async def test_two_tasks_execute_at_the_same_time():
    if quorlin.lowlevel.runtime_configuration()["threads"] < 2:
        pytest.skip("needs two workers")
    running = [False, False]

    async def spinner(me):
        running[me] = True
        deadline = time.monotonic() + 20
        # No checkpoint: only a second worker can be running the other task meanwhile.
        while not running[1 - me]:
            assert time.monotonic() < deadline, "the other task never ran alongside this one"

    async with quorlin.TaskGroup() as tg:
        for me in (0, 1):
            tg.start_soon(spinner, me)


async def test_cpu_bound_tasks_use_two_workers():
    threads = quorlin.lowlevel.runtime_configuration()["threads"]
    cpus = os.process_cpu_count() or 1
    if threads < 2 or cpus < 2:
        pytest.skip("needs two workers and two CPUs")
    if os.getloadavg()[0] > cpus - 1:
        pytest.skip("the machine is too busy to leave two CPUs to this check")
    n = 3_000_000
    out = []
    attempts = []
    with quorlin.fail_after(60):
        for _ in range(3):  # other load on the machine can spoil one attempt, not all three
            start = time.perf_counter()
            for _ in range(2):
                spin(n)
            serial = time.perf_counter() - start
            start = time.perf_counter()
            async with quorlin.TaskGroup() as tg:
                for _ in range(2):
                    tg.start_soon(cpu_task, n, out)
            parallel = time.perf_counter() - start
            attempts.append((round(parallel, 3), round(serial, 3)))
            # A coarse check that two CPU-bound tasks overlapped, not a benchmark.
            if parallel < 0.8 * serial:
                break
        else:
            pytest.fail(f"no overlap seen (parallel, serial seconds): {attempts}")
    assert len(out) == 2 * len(attempts)


async def test_dump_tasks_and_statistics():
    event = quorlin.Event()

    async def parked_child():
        with quorlin.CancelScope():  # the child waits below a scope of its own
            await event.wait()

    async def started_child(task_status=quorlin.TASK_STATUS_IGNORED):
        task_status.started()
        await event.wait()

    with quorlin.fail_after(20):
        async with quorlin.TaskGroup() as tg:
            tg.start_soon(parked_child, name="parked-child")
            await tg.start(started_child, name="started-child")
            while event.statistics()["tasks_waiting"] < 2:
                await quorlin.sleep(0.001)
            with quorlin.CancelScope():  # a scope of the body is not a child
                stats = quorlin.lowlevel.statistics()
                buffer = io.StringIO()
                text = quorlin.lowlevel.dump_tasks(buffer)
            event.set()
    assert buffer.getvalue() == text
    assert "task group (2 tasks)" in text
    assert "parked-child [parked]" in text
    assert "started-child [parked]" in text
    assert "parked_child (" in text  # where the parked task waits
    assert "test_dump_tasks_and_statistics [running]" in text
    assert stats["tasks_living"] >= 4  # root, two children, init
    assert stats["tasks_parked"] >= 2
    assert stats["configuration"]["threads"] >= 1


async def test_dump_tasks_while_tasks_wake_and_park_on_other_workers():
    # Timers resume the sleepers on any worker while the dump reads await stacks: a stack may only
    # be read from a task that no thread is stepping.
    rounds = []

    async def sleeper():
        while True:
            await quorlin.sleep(0.001)
            rounds.append(None)

    with quorlin.fail_after(60):
        async with quorlin.TaskGroup() as tg:
            for index in range(4):
                tg.start_soon(sleeper, name=f"sleeper-{index}")
            texts = []
            while len(rounds) < 400:
                texts.append(quorlin.lowlevel.dump_tasks(io.StringIO()))
                await quorlin.sleep(0)
            tg.cancel_scope.cancel()
    assert any("sleeper-0 [parked]" in text and "sleeper (" in text for text in texts)
