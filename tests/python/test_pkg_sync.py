"""Events, locks, semaphores, conditions and limiters: fairness, thread safety, and exactly-once
hand-off under timeouts and cancellation."""

import random
import threading

import pytest

import quorlin
from quorlin import WouldBlock

pytestmark = [
    pytest.mark.quorlin,
    pytest.mark.skipif("not config.getoption('quorlin_threads', None)",
                       reason="needs a session of its own (test_pkg_sessions.py runs it)"),
]


async def test_event_wakes_tasks_and_threads():
    event = quorlin.Event()
    woken = []

    async def waiter(n):
        await event.wait()
        woken.append(n)

    def thread_waiter():
        woken.append("thread" if event.wait_blocking(10) else "thread timed out")

    assert event.wait_blocking(0.001) is False
    thread = threading.Thread(target=thread_waiter)
    thread.start()
    with quorlin.fail_after(20):
        async with quorlin.TaskGroup() as tg:
            for n in range(3):
                tg.start_soon(waiter, n)
            await quorlin.sleep(0.01)
            assert event.statistics()["tasks_waiting"] == 4
            threading.Thread(target=event.set).start()  # set from a plain thread
    thread.join(10)
    assert sorted(map(str, woken)) == ["0", "1", "2", "thread"]
    assert event.is_set()
    with quorlin.fail_after(5):
        await event.wait()  # already set: returns at once


async def test_lock_is_fifo_and_owned():
    lock = quorlin.Lock()
    order = []

    async def take(n):
        async with lock:
            order.append(n)
            await quorlin.sleep(0.001)

    with quorlin.fail_after(20):
        async with lock:
            async with quorlin.TaskGroup() as tg:
                for n in range(5):
                    tg.start_soon(take, n)
                    while lock.statistics()["tasks_waiting"] < n + 1:
                        await quorlin.sleep(0.001)
                lock.release()
                await quorlin.sleep(0)
            await lock.acquire()  # re-take so the `async with` can release it
    assert order == [0, 1, 2, 3, 4]
    assert not lock.locked()
    with pytest.raises(RuntimeError, match="not held"):
        lock.release()
    lock.acquire_nowait()
    with pytest.raises(RuntimeError, match="already holds"):
        lock.acquire_nowait()
    lock.release()


async def test_semaphore_and_limiter_basics():
    sem = quorlin.Semaphore(1, max_value=1)
    sem.acquire_nowait()
    with pytest.raises(WouldBlock):
        sem.acquire_nowait()
    sem.release()
    with pytest.raises(ValueError):
        sem.release()
    with pytest.raises(ValueError):
        quorlin.Semaphore(-1)

    limiter = quorlin.CapacityLimiter(1)
    limiter.acquire_on_behalf_of_nowait("a")
    with pytest.raises(WouldBlock):
        limiter.acquire_on_behalf_of_nowait("b")
    with pytest.raises(RuntimeError):
        limiter.acquire_on_behalf_of_nowait("a")
    got = []

    async def borrower():
        await limiter.acquire_on_behalf_of("b")
        got.append("b")

    with quorlin.fail_after(20):
        async with quorlin.TaskGroup() as tg:
            tg.start_soon(borrower)
            await quorlin.sleep(0.01)
            assert got == []
            limiter.total_tokens = 2  # raising the total hands a token out at once
    assert got == ["b"] and limiter.borrowed_tokens == 2
    limiter.release_on_behalf_of("a")
    limiter.release_on_behalf_of("b")
    with pytest.raises(RuntimeError):
        limiter.release_on_behalf_of("b")
    for bad in (0, 1.5):
        with pytest.raises(ValueError):
            quorlin.CapacityLimiter(bad)


async def test_condition_wait_and_notify():
    cond = quorlin.Condition()
    items = []
    got = []

    async def consumer():
        async with cond:
            while not items:
                await cond.wait()
            got.append(items.pop())

    with quorlin.fail_after(20):
        async with quorlin.TaskGroup() as tg:
            for _ in range(3):
                tg.start_soon(consumer)
            await quorlin.sleep(0.01)
            for n in range(3):
                async with cond:
                    items.append(n)
                    cond.notify()
        with pytest.raises(RuntimeError):
            cond.notify()
        # A cancelled wait still returns with the lock held.
        async with cond:
            with quorlin.move_on_after(0.01):
                await cond.wait()
            assert cond._lock._owner is quorlin.current_task()
    assert sorted(got) == [0, 1, 2]


def canceller_thread(scopes, lock, stop):
    rng = random.Random(1)
    while not stop.is_set():
        with lock:
            victims = list(scopes)
        if victims:
            rng.choice(victims).cancel()
        stop.wait(0.0005)


async def hammer(acquire_release, workers=8, rounds=600):
    """Runs `acquire_release(scope_set, n)` rounds in many tasks while timeouts expire and a plain
    thread cancels scopes at random; returns how many rounds got the resource."""
    scopes, scopes_lock, stop = set(), threading.Lock(), threading.Event()
    thread = threading.Thread(target=canceller_thread, args=(scopes, scopes_lock, stop))
    thread.start()
    wins = []

    async def worker(seed):
        rng = random.Random(seed)
        for _ in range(rounds):
            with quorlin.move_on_after(rng.choice([0, 0.0002, 0.001, 0.01])) as scope:
                with scopes_lock:
                    scopes.add(scope)
                try:
                    if await acquire_release(rng):
                        wins.append(1)
                finally:
                    with scopes_lock:
                        scopes.discard(scope)

    try:
        with quorlin.fail_after(60):
            async with quorlin.TaskGroup() as tg:
                for seed in range(workers):
                    tg.start_soon(worker, seed)
    finally:
        stop.set()
        thread.join(10)
    return len(wins)


async def test_lock_handoff_is_exactly_once():
    lock = quorlin.Lock()
    inside = []

    async def round_(rng):
        async with lock:
            inside.append(1)
            try:
                assert len(inside) == 1, "two tasks inside the lock"
                if rng.random() < 0.3:
                    await quorlin.sleep(0)
            finally:
                inside.pop()
        return True

    wins = await hammer(round_)
    assert wins > 0
    assert not lock.locked() and lock.statistics()["tasks_waiting"] == 0


async def test_semaphore_permits_are_conserved():
    sem = quorlin.Semaphore(3)
    holders = []

    async def round_(rng):
        async with sem:
            holders.append(1)
            try:
                assert len(holders) <= 3, "more holders than permits"
                await quorlin.sleep(0)
            finally:
                holders.pop()
        return True

    wins = await hammer(round_)
    assert wins > 0
    assert sem.value == 3 and sem.statistics()["tasks_waiting"] == 0


async def test_limiter_tokens_are_conserved():
    limiter = quorlin.CapacityLimiter(2)

    async def round_(rng):
        async with limiter:
            assert limiter.borrowed_tokens <= 2
            await quorlin.sleep(0)
        return True

    assert await hammer(round_) > 0
    assert limiter.borrowed_tokens == 0 and limiter.statistics()["tasks_waiting"] == 0


async def test_event_wait_cancelled_and_timed_out_leaves_no_waiters():
    event = quorlin.Event()

    async def round_(rng):
        await event.wait()
        return True

    assert await hammer(round_, rounds=40) == 0
    assert event.statistics()["tasks_waiting"] == 0
