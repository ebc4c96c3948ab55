"""Synchronisation primitives for tasks, safe to use from any thread and fair (FIFO).

Each primitive keeps its state under one short `threading.Lock` (that of its `ParkingLot`) and
hands what a waiter waits for (ownership, a permit, a token) directly to the oldest waiter while
still holding that lock, so a task that times out or is cancelled at the same moment either never
got it or keeps it: nothing is lost or granted twice.
"""

from __future__ import annotations

import math
import threading
from collections.abc import Hashable
from typing import Any

from quorlin._core import (
    _MISSING,
    CancelScope,
    _check_count,
    ParkingLot,
    Task,
    _current_task,
    _running_task_code,
    _Slot,
    _wait,
    cancel_shielded_checkpoint,
    checkpoint,
    current_task,
)
from quorlin._errors import BrokenResourceError, WouldBlock


class Event:
    """A one-shot flag: `set()` (from any thread) wakes every task in `wait()`.  Not reusable."""

    __slots__ = ("_flag", "_lot")

    def __init__(self) -> None:
        self._flag = False
        self._lot = ParkingLot()

    def __repr__(self) -> str:
        return f"<quorlin.Event {'set' if self._flag else 'unset'}>"

    def is_set(self) -> bool:
        """True once `set()` has been called."""
        return self._flag

    def set(self) -> None:
        """Sets the flag and wakes every waiter; safe from any thread, idempotent."""
        self._flag = True
        lot = self._lot  # as lot._fire_all(), one call fewer
        lot._lock.acquire()
        try:
            parked = lot._parked
            if not parked:
                return
            slots = list(parked)
            parked.clear()
        finally:
            lot._lock.release()
        for slot in slots:
            slot.fire()

    async def wait(self) -> None:
        """Waits until the flag is set (a checkpoint even when it is already set)."""
        if not self._flag:
            lot = self._lot
            task = _current_task.get()
            if task is None:
                current_task()  # raises
            slot = _Slot(task)
            lot._lock.acquire()
            try:
                parked = not self._flag
                if parked:
                    lot._parked[slot] = None
            finally:
                lot._lock.release()
            if parked:
                await _wait(slot, None, math.inf, lot)
                return
        await checkpoint()

    def wait_blocking(self, timeout: float | None = None) -> bool:
        """Blocks a plain thread until the flag is set; returns False if `timeout` seconds passed.

        Refused in task code, whose worker it would block (with one worker, for good)."""
        if _running_task_code():
            raise RuntimeError("wait_blocking() blocks its thread; inside a task use the async method instead")
        if self._flag:
            return True
        return self._lot._park_thread(self.is_set, timeout)

    def statistics(self) -> dict[str, int]:
        """``{"tasks_waiting": n}``."""
        return self._lot.statistics()


_LOCK_BROKEN = "Owner of this lock exited without releasing"


class Lock:
    """A mutual-exclusion lock owned by a task; `async with lock:`.  Handed over in FIFO order.

    A task that finishes while it holds the lock breaks it: its waiters, and every later attempt
    to take it, raise BrokenResourceError.
    """

    __slots__ = ("_owner", "_lot", "_broken")

    def __init__(self) -> None:
        self._owner: Task[Any] | None = None
        self._lot = ParkingLot()
        self._broken = False

    def __repr__(self) -> str:
        if self._broken:
            return "<quorlin.Lock broken>"
        return f"<quorlin.Lock {'locked' if self._owner is not None else 'unlocked'}>"

    # A task lists the locks it holds in `_locks`, so that it can break them when it finishes.
    # Both run under the lot's lock; the list is the task's own, and each call on it is atomic.
    def _own_locked(self, task: Task[Any]) -> None:
        self._owner = task
        locks = task._locks
        if locks is None:
            task._locks = [self]
        else:
            locks.append(self)

    def _disown_locked(self, task: Task[Any]) -> None:
        self._owner = None
        locks = task._locks
        if locks is not None:
            try:
                locks.remove(self)
            except ValueError:
                pass

    def _break(self, task: Task[Any]) -> None:
        """Called as `task` finishes holding the lock: fails every waiter and every later attempt."""
        lot = self._lot
        with lot._lock:
            if self._owner is not task:
                return
            self._broken = True
            slots = list(lot._parked)
            lot._parked.clear()
        for slot in slots:
            slot.fire(None, BrokenResourceError(_LOCK_BROKEN))

    def locked(self) -> bool:
        """True while some task holds the lock."""
        return self._owner is not None

    def _try_take_locked(self, task: Task[Any]) -> bool:
        if self._broken:
            raise BrokenResourceError(_LOCK_BROKEN)
        if self._owner is task:
            raise RuntimeError("this task already holds the lock")
        if self._owner is None and not self._lot._parked:
            self._own_locked(task)
            return True
        return False

    def acquire_nowait(self) -> None:
        """Takes the lock at once or raises WouldBlock."""
        task = current_task()
        with self._lot._lock:
            if not self._try_take_locked(task):
                raise WouldBlock

    async def acquire(self) -> None:
        """Waits for the lock (a checkpoint)."""
        task = current_task()
        task._raise_if_cancelled()
        lot = self._lot
        with lot._lock:
            taken = self._try_take_locked(task)
            if not taken:
                slot = _Slot(task)
                lot._parked[slot] = None
        if taken:
            await cancel_shielded_checkpoint()
            return
        # release() makes us the owner before it wakes us.
        await _wait(slot, None, math.inf, lot)

    def release(self) -> None:
        """Releases the lock; the oldest waiter, if any, becomes the owner."""
        task = current_task()
        lot = self._lot
        with lot._lock:
            if self._owner is not task:
                raise RuntimeError("the lock is not held by this task")
            self._disown_locked(task)
            slot = None
            if lot._parked:
                slot = next(iter(lot._parked))
                del lot._parked[slot]
                self._own_locked(slot.task)
        if slot is not None:
            slot.fire()

    async def __aenter__(self) -> None:
        await self.acquire()

    async def __aexit__(self, *exc_info: Any) -> None:
        self.release()

    def statistics(self) -> dict[str, Any]:
        """``{"locked": bool, "owner": Task | None, "tasks_waiting": n}``."""
        return {"locked": self._owner is not None, "owner": self._owner, "tasks_waiting": len(self._lot)}


class Semaphore:
    """A counting semaphore; `release()` may be called from any thread."""

    __slots__ = ("_value", "_max_value", "_lot")

    def __init__(self, initial_value: int, *, max_value: int | None = None) -> None:
        _check_count(initial_value, "initial_value", 0, False)
        if max_value is not None:
            _check_count(max_value, "max_value", initial_value, False)
        self._value = initial_value
        self._max_value = max_value
        self._lot = ParkingLot()

    def __repr__(self) -> str:
        return f"<quorlin.Semaphore value={self._value} max_value={self._max_value}>"

    @property
    def value(self) -> int:
        """Permits available now."""
        return self._value

    @property
    def max_value(self) -> int | None:
        """The most permits the semaphore may hold, or None."""
        return self._max_value

    def acquire_nowait(self) -> None:
        """Takes a permit at once or raises WouldBlock."""
        current_task()
        with self._lot._lock:
            if self._value > 0 and not self._lot._parked:
                self._value -= 1
                return
        raise WouldBlock

    async def acquire(self) -> None:
        """Waits for a permit (a checkpoint)."""
        task = current_task()
        task._raise_if_cancelled()
        lot = self._lot
        with lot._lock:
            taken = self._value > 0 and not lot._parked
            if taken:
                self._value -= 1
            else:
                slot = _Slot(task)
                lot._parked[slot] = None
        if taken:
            await cancel_shielded_checkpoint()
            return
        await _wait(slot, None, math.inf, lot)

    def release(self) -> None:
        """Returns a permit, handing it straight to the oldest waiter if there is one."""
        lot = self._lot
        with lot._lock:
            slot = None
            if lot._parked:
                slot = next(iter(lot._parked))
                del lot._parked[slot]
            elif self._max_value is not None and self._value >= self._max_value:
                raise ValueError("semaphore released too many times")
            else:
                self._value += 1
        if slot is not None:
            slot.fire()

    async def __aenter__(self) -> None:
        await self.acquire()

    async def __aexit__(self, *exc_info: Any) -> None:
        self.release()

    def statistics(self) -> dict[str, int]:
        """``{"value": n, "tasks_waiting": n}``."""
        return {"value": self._value, "tasks_waiting": len(self._lot)}


class Condition:
    """A condition variable bound to a `Lock`: `wait()` releases it and re-acquires it on wake-up."""

    __slots__ = ("_lock", "_lot")

    def __init__(self, lock: Lock | None = None) -> None:
        if lock is None:
            lock = Lock()
        elif not isinstance(lock, Lock):
            raise TypeError("lock must be a quorlin.Lock")
        self._lock = lock
        self._lot = ParkingLot()

    def locked(self) -> bool:
        return self._lock.locked()

    def acquire_nowait(self) -> None:
        self._lock.acquire_nowait()

    async def acquire(self) -> None:
        await self._lock.acquire()

    def release(self) -> None:
        self._lock.release()

    async def __aenter__(self) -> None:
        await self._lock.acquire()

    async def __aexit__(self, *exc_info: Any) -> None:
        self._lock.release()

    def _check_owner(self) -> Task[Any]:
        task = current_task()
        if self._lock._owner is not task:
            raise RuntimeError("the condition's lock must be held by this task")
        return task

    # A notified waiter is moved, in order, from the condition's lot to the end of its lock's
    # lot: the lock's release then makes it the owner and wakes it, so waiters come back in the
    # order they waited.  Both lots' locks are taken in that order (condition, then lock).

    def _withdraw(self, slot: Any) -> bool:
        lot = self._lot
        lock_lot = self._lock._lot
        with lot._lock:
            if lot._parked.pop(slot, _MISSING) is not _MISSING:
                return True
            with lock_lot._lock:
                return lock_lot._parked.pop(slot, _MISSING) is not _MISSING

    async def wait(self) -> None:
        """Releases the lock, waits for `notify`, and re-acquires the lock (also when cancelled)."""
        task = self._check_owner()
        lot = self._lot
        slot = _Slot(task)
        with lot._lock:
            lot._parked[slot] = None
        self._lock.release()
        try:
            # Returns once the lock's release has made this task its owner.
            await _wait(slot, None, math.inf, self)
        except BrokenResourceError:
            raise
        except BaseException:
            # Withdrawn before the lock came to us.
            with CancelScope(shield=True):
                await self._lock.acquire()
            raise

    def _move(self, count: float) -> None:
        lot = self._lot
        lock_lot = self._lock._lot
        with lot._lock:
            parked = lot._parked
            with lock_lot._lock:
                queue = lock_lot._parked
                moved = 0
                while parked and moved < count:
                    slot = next(iter(parked))
                    del parked[slot]
                    queue[slot] = None
                    moved += 1

    def notify(self, n: int = 1) -> None:
        """Wakes up to `n` waiters, oldest first; the caller must hold the lock."""
        self._check_owner()
        _check_count(n, "n", 0, False)
        self._move(n)

    def notify_all(self) -> None:
        """Wakes every waiter, oldest first; the caller must hold the lock."""
        self._check_owner()
        self._move(math.inf)

    def statistics(self) -> dict[str, Any]:
        return {"tasks_waiting": len(self._lot), "lock_statistics": self._lock.statistics()}


class CapacityLimiter:
    """Limits how many borrowers (tasks by default) may hold a token at once; FIFO."""

    __slots__ = ("_lock", "_total", "_borrowers", "_waiters")

    def __init__(self, total_tokens: int | float) -> None:
        self._lock = threading.Lock()
        self._total = self._check_total(total_tokens)
        self._borrowers: set[Hashable] = set()
        self._waiters: dict[Any, Hashable] = {}

    @staticmethod
    def _check_total(value: int | float) -> int | float:
        # 0 tokens is allowed: a way to pause the work that the limiter guards.
        _check_count(value, "total_tokens", 0, True)
        return value

    def __repr__(self) -> str:
        return f"<quorlin.CapacityLimiter {len(self._borrowers)}/{self._total} borrowed, {len(self._waiters)} waiting>"

    @property
    def total_tokens(self) -> int | float:
        """The number of tokens; raising it wakes waiters at once."""
        return self._total

    @total_tokens.setter
    def total_tokens(self, value: int | float) -> None:
        value = self._check_total(value)
        with self._lock:
            self._total = value
            slots = self._hand_out_locked()
        for slot in slots:
            slot.fire()

    @property
    def borrowed_tokens(self) -> int:
        return len(self._borrowers)

    @property
    def available_tokens(self) -> int | float:
        return self._total - len(self._borrowers)

    def _hand_out_locked(self) -> list[Any]:
        slots = []
        while self._waiters and len(self._borrowers) < self._total:
            slot = next(iter(self._waiters))
            self._borrowers.add(self._waiters.pop(slot))
            slots.append(slot)
        return slots

    def _try_take_locked(self, borrower: Hashable) -> bool:
        if borrower in self._borrowers:
            raise RuntimeError("this borrower already holds a token of this limiter")
        if len(self._borrowers) < self._total and not self._waiters:
            self._borrowers.add(borrower)
            return True
        return False

    def acquire_on_behalf_of_nowait(self, borrower: Hashable) -> None:
        """Takes a token for `borrower` at once or raises WouldBlock."""
        with self._lock:
            if not self._try_take_locked(borrower):
                raise WouldBlock

    def acquire_nowait(self) -> None:
        self.acquire_on_behalf_of_nowait(current_task())

    async def acquire_on_behalf_of(self, borrower: Hashable) -> None:
        """Waits for a token held on behalf of `borrower` (any hashable object)."""
        task = current_task()
        task._raise_if_cancelled()
        with self._lock:
            taken = self._try_take_locked(borrower)
            if not taken:
                slot = _Slot(task)
                self._waiters[slot] = borrower
        if taken:
            await cancel_shielded_checkpoint()
            return
        await _wait(slot, None, math.inf, self)

    def _withdraw(self, slot: Any) -> bool:
        with self._lock:
            return self._waiters.pop(slot, None) is not None

    async def _acquire_before_park(self, borrower: Hashable) -> None:
        """`acquire_on_behalf_of` for a caller that parks right after: no extra yield when a token
        is free, since the caller's own park lets the other tasks run."""
        task = current_task()
        task._raise_if_cancelled()
        with self._lock:
            if self._try_take_locked(borrower):
                return
            slot = _Slot(task)
            self._waiters[slot] = borrower
        await _wait(slot, None, math.inf, self)

    async def acquire(self) -> None:
        await self.acquire_on_behalf_of(current_task())

    def release_on_behalf_of(self, borrower: Hashable) -> None:
        """Returns `borrower`'s token; safe from any thread."""
        with self._lock:
            try:
                self._borrowers.remove(borrower)
            except KeyError:
                raise RuntimeError("this borrower holds no token of this limiter") from None
            slots = self._hand_out_locked()
        for slot in slots:
            slot.fire()

    def release(self) -> None:
        self.release_on_behalf_of(current_task())

    async def __aenter__(self) -> None:
        await self.acquire()

    async def __aexit__(self, *exc_info: Any) -> None:
        self.release()

    def statistics(self) -> dict[str, Any]:
        """Borrowed and total tokens, the borrowers and the number of waiters."""
        with self._lock:
            return {
                "borrowed_tokens": len(self._borrowers),
                "total_tokens": self._total,
                "borrowers": list(self._borrowers),
                "tasks_waiting": len(self._waiters),
            }
