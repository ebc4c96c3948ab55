"""Events, locks, semaphores, conditions and limiters: fairness, thread safety, and exactly-once
hand-off under timeouts and cancellation."""

import math
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

    assert await quorlin.to_thread.run_sync(event.wait_blocking, 0.001) is False
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


def set_tokens(limiter, value):
    limiter.total_tokens = value


@pytest.mark.parametrize("make, error", [
    (lambda: quorlin.Semaphore(1.5), TypeError),
    (lambda: quorlin.Semaphore(1, max_value=2.5), TypeError),
    (lambda: quorlin.Semaphore("1"), TypeError),
    (lambda: quorlin.Semaphore(-1), ValueError),
    (lambda: quorlin.Semaphore(2, max_value=1), ValueError),
    (lambda: quorlin.open_memory_channel(1.5), TypeError),
    (lambda: quorlin.open_memory_channel(-1), ValueError),
    (lambda: quorlin.CapacityLimiter(1.5), TypeError),
    (lambda: quorlin.CapacityLimiter(-1), ValueError),
    (lambda: set_tokens(quorlin.CapacityLimiter(1), 2.5), TypeError),
    (lambda: set_tokens(quorlin.CapacityLimiter(1), -1), ValueError),
])
async def test_sizes_must_be_whole_numbers(make, error):
    with pytest.raises(error):
        make()


async def test_a_limiter_of_zero_tokens_pauses_work_until_raised():
    limiter = quorlin.CapacityLimiter(0)
    with pytest.raises(WouldBlock):
        limiter.acquire_nowait()
    got = []

    async def worker():
        async with limiter:
            got.append("ran")

    with quorlin.fail_after(20):
        async with quorlin.TaskGroup() as tg:
            tg.start_soon(worker)
            while limiter.statistics()["tasks_waiting"] < 1:
                await quorlin.sleep(0.001)
            assert got == []
            limiter.total_tokens = 1
    assert got == ["ran"]
    limiter.total_tokens = 0  # back to paused, with nothing borrowed
    assert limiter.available_tokens == 0
    limiter.total_tokens = math.inf


async def test_wait_blocking_is_refused_in_a_task():
    event = quorlin.Event()
    with pytest.raises(RuntimeError, match="blocks its thread"):
        event.wait_blocking(0)
    event.set()
    with pytest.raises(RuntimeError, match="blocks its thread"):
        event.wait_blocking()  # refused even when it would return at once
    assert await quorlin.to_thread.run_sync(event.wait_blocking, 0) is True  # fine in a thread


def notify_at_once(cond):
    cond.notify(5)


def notify_in_parts(cond):
    cond.notify(2)
    cond.notify()
    cond.notify(2)


def notify_all(cond):
    cond.notify_all()


@pytest.mark.parametrize("wake", [notify_at_once, notify_in_parts, notify_all])
async def test_condition_wakes_waiters_oldest_first(wake):
    cond = quorlin.Condition()
    order = []

    async def waiter(n):
        async with cond:
            await cond.wait()
            order.append(n)

    with quorlin.fail_after(20):
        async with quorlin.TaskGroup() as tg:
            for n in range(1, 6):
                tg.start_soon(waiter, n)
                while cond.statistics()["tasks_waiting"] < n:
                    await quorlin.sleep(0.001)
            async with cond:
                wake(cond)
                assert cond.statistics()["tasks_waiting"] == 0
    assert order == [1, 2, 3, 4, 5]


async def test_a_notified_waiter_that_is_cancelled_still_takes_the_lock_again():
    cond = quorlin.Condition()
    order = []

    async def waiter(n):
        async with cond:
            try:
                await cond.wait()
            except quorlin.Cancelled:
                order.append((n, "cancelled", cond.locked()))
                raise
            order.append((n, "woken", cond.locked()))

    with quorlin.fail_after(20):
        async with quorlin.TaskGroup() as tg:
            tasks = []
            for n in range(1, 4):
                tasks.append(tg.create_task(waiter, n))
                while cond.statistics()["tasks_waiting"] < n:
                    await quorlin.sleep(0.001)
            async with cond:
                cond.notify_all()
                tasks[1].cancel()  # already moved to the lock's queue
    assert order == [(1, "woken", True), (3, "woken", True), (2, "cancelled", True)]
    assert not cond.locked()


async def test_a_task_that_exits_holding_a_lock_breaks_it():
    lock = quorlin.Lock()
    failures = []
    leave = quorlin.Event()

    async def holder(task_status):
        await lock.acquire()
        task_status.started()
        await leave.wait()  # and finishes without releasing

    async def waiter():
        try:
            await lock.acquire()
        except quorlin.BrokenResourceError as exc:
            failures.append(str(exc))

    async def takes_over_and_leaves(task_status):
        task_status.started()
        await lock.acquire()  # handed over by a release, then kept

    with quorlin.fail_after(20):
        async with quorlin.TaskGroup() as tg:
            await tg.start(holder)
            for _ in range(2):
                tg.start_soon(waiter)
            while lock.statistics()["tasks_waiting"] < 2:
                await quorlin.sleep(0.001)
            leave.set()
    assert failures == ["Owner of this lock exited without releasing"] * 2
    with pytest.raises(quorlin.BrokenResourceError):
        await lock.acquire()
    with pytest.raises(quorlin.BrokenResourceError):
        lock.acquire_nowait()

    # A lock handed over by a release belongs to its new owner: that one breaks it in turn.
    lock = quorlin.Lock()
    with quorlin.fail_after(20):
        async with quorlin.TaskGroup() as tg:
            await lock.acquire()
            await tg.start(takes_over_and_leaves)
            while lock.statistics()["tasks_waiting"] < 1:
                await quorlin.sleep(0.001)
            lock.release()
    assert lock.locked()
    with pytest.raises(quorlin.BrokenResourceError):
        await lock.acquire()

    # Released before the task finished: nothing is broken.
    lock = quorlin.Lock()

    async def takes_and_releases():
        async with lock:
            await quorlin.checkpoint()

    with quorlin.fail_after(20):
        async with quorlin.TaskGroup() as tg:
            tg.start_soon(takes_and_releases)
    async with lock:
        pass


async def park_on_lock():
    lock = quorlin.Lock()
    await lock.acquire()
    return lambda: lock.statistics()["tasks_waiting"], lock.acquire, lock.release, lambda: not lock.locked()


async def park_on_semaphore():
    sem = quorlin.Semaphore(0)
    return lambda: sem.statistics()["tasks_waiting"], sem.acquire, sem.release, lambda: sem.value == 1


async def park_on_limiter():
    limiter = quorlin.CapacityLimiter(1)
    limiter.acquire_on_behalf_of_nowait("held")
    return (lambda: limiter.statistics()["tasks_waiting"], limiter.acquire, lambda: limiter.release_on_behalf_of("held"),
            lambda: limiter.borrowed_tokens == 0)


async def park_on_channel():
    send, receive = quorlin.open_memory_channel(1)
    return (lambda: receive.statistics()["tasks_waiting_receive"], receive.receive, lambda: send.send_nowait("item"),
            lambda: receive.statistics()["current_buffer_used"] == 1)


@pytest.mark.parametrize("setup", [park_on_lock, park_on_semaphore, park_on_limiter, park_on_channel])
async def test_a_cancelled_waiter_is_passed_over_by_a_hand_off_that_follows(setup):
    waiting, wait, hand_off, kept_back = await setup()
    outcome = []

    async def waiter():
        try:
            await wait()
        except quorlin.Cancelled:
            outcome.append("cancelled")
        else:
            outcome.append("got it")

    with quorlin.fail_after(20):
        async with quorlin.TaskGroup() as tg:
            task = tg.create_task(waiter)
            while waiting() < 1 or "parked" not in repr(task):
                await quorlin.sleep(0.001)
            task.cancel()
            hand_off()  # in the same step as the cancel: the waiter has not run since
            assert kept_back()
    assert outcome == ["cancelled"]


async def test_a_broken_lock_and_its_dead_owner_are_freed_without_the_collector():
    import gc
    import weakref

    async def leaves_it_held():
        await lock.acquire()

    lock = quorlin.Lock()
    gc.disable()
    try:
        with quorlin.fail_after(20):
            async with quorlin.TaskGroup() as tg:
                task = tg.create_task(leaves_it_held)
        assert lock.locked()
        task_ref = weakref.ref(task)
        del task, lock
        # The worker that stepped the task last may still be letting go of its step as the group
        # resumes us on another worker: give it a moment, never the collector.
        with quorlin.move_on_after(5):
            while task_ref() is not None:
                await quorlin.sleep(0.01)
        assert task_ref() is None
    finally:
        gc.enable()
