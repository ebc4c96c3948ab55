"""Tasks, cancel scopes and the one way a task blocks: parking on a slot.

Parking protocol
----------------
A task that must wait creates a `_Slot` holding a fresh native `Event`, publishes it as its
current slot under its own lock, and awaits a native `Waiter` on that event.  Whoever completes
the wait (an unparking primitive, a thread call, a signal) calls `slot.fire(value, error)`, which
under the task's lock sets `fired` once and then sets the event.  Because the native event is
level-triggered, a fire that races ahead of the await is never lost, and because `fired` is
decided under the task lock, every hand-off (a lock, a permit, a channel item) reaches exactly one
task even when the waiter times out or is cancelled at the same moment.

A canceller sets flags in the scope tree and then *kicks* the parked tasks below it: it sets the
slot's event.  A task parked on a primitive that keeps its waiters (`withdraw_from`) is withdrawn
from it by the kick itself, under the task's lock, so that a hand-off the canceller makes next
passes it over; the slot then fires with `Cancelled`.  Any other kicked task wakes, swaps in a
fresh event, re-evaluates its scopes under its own lock and, if it is cancelled, asks the
primitive to withdraw it (`abort_fn`); deadlines are found the same way.  If the withdrawal
succeeds the task raises `Cancelled`; if it fails, a waker has already taken the slot and its
fire is imminent, so the task keeps waiting and receives what was handed to it.  Cancellation therefore always reaches a
task as a value sent into it, never as an exception thrown by the native core, and context
variables behave normally in `finally` blocks.

Lock order: task lock, then scope or primitive lock.  A task's lock is also the lock of its own
scope, and a task group's lock that of the group's scope, so that spawning and finishing a child
take the group's (shared) lock once; none of these is ever taken while another of the same task or
group is held.  Wakers pop slots under the primitive lock, release it, then fire (taking the task
lock).  No lock is ever held across an `await`.

Task, scope and parking-lot locks are `quorlin._fastpath.Lock`s: bare mutexes whose methods take
no arguments (threading.Lock parses its optional ones on every acquire, which costs more than the
lock).  On the paths that every spawn, park and wake-up takes, they are taken as
``lock.acquire()`` followed by ``try: ... finally: lock.release()`` rather than with
``with lock:``, which also calls `__exit__` with three arguments.
"""

from __future__ import annotations

import contextvars
import math
import sys
import threading
import types
from collections.abc import Awaitable, Callable, Coroutine
from typing import Any, Generic, TypeVar

from quorlin import _quorlin
from quorlin._fastpath import Lock as _Lock
from quorlin._fastpath import SteppedCoroutine as _SteppedCoroutine
from quorlin._errors import Cancelled, TaskCancelledError

T = TypeVar("T")

_MAX_WAIT_US = 4_294_967_295
# What scopes and groups treat as cancellation: the package's `Cancelled` and the native core's
# own CancelledError it derives from (which the core raises for its aborts).
_AnyCancelled = _quorlin.CancelledError
_NativeEvent = _quorlin.Event

_FunctionType = types.FunctionType
_CoroutineType = types.CoroutineType
_new_object = object.__new__

_INF = math.inf
_CANCELLED = (True, -math.inf, None)
_NOT_CANCELLED = (False, math.inf, None)

_current_task: contextvars.ContextVar[Task | None] = contextvars.ContextVar("quorlin.current_task", default=None)

# The registered runtime, set once by the first run (see _run.py).
_runtime_box: list[Any] = [None]


def _runtime() -> Any:
    runtime = _runtime_box[0]
    if runtime is None:
        raise RuntimeError("no quorlin run has been started in this process")
    return runtime


def _now() -> float:
    return _runtime()._clock / 1e6


def current_time() -> float:
    """Returns the runtime clock in seconds (monotonic; the origin is the runtime's creation)."""
    return _now()


def current_task() -> Task[Any]:
    """Returns the task that is running the calling code; raises RuntimeError outside a task."""
    task = _current_task.get()
    if task is None:
        raise RuntimeError("this must be called from inside a quorlin task")
    return task


def _current_task_or_none() -> Task[Any] | None:
    return _current_task.get()


# Set inside calls made by `to_thread.run_sync`: their threads may block.
_thread_origin: contextvars.ContextVar[Any] = contextvars.ContextVar("quorlin.thread_origin", default=None)


def _running_task_code() -> bool:
    """True when the caller is task code on a worker thread.

    Threads started with `threading.Thread` inherit a copy of the starter's context (and so its
    current task) on the free-threaded build; they are not task code.  The runtime's own threads
    are not `threading.Thread`s, and blocking-pool threads are marked by `_thread_origin`.
    """
    return (
        _current_task.get() is not None
        and _thread_origin.get() is None
        and isinstance(threading.current_thread(), threading._DummyThread)
    )


# ---------------------------------------------------------------------------------------------
# Slots


class _Slot:
    """One park of one task.  `fired`, `value` and `error` are written once, under the task lock."""

    # `withdraw_from` is set when the slot is published (see `_wait`): the primitive a canceller
    # may withdraw it from, or None.
    __slots__ = ("task", "event", "fired", "value", "error", "abort_requested", "withdraw_from")

    def __init__(self, task: Task[Any]) -> None:
        self.task = task
        self.event = _NativeEvent()
        self.fired = False
        self.value: Any = None
        self.error: BaseException | None = None
        self.abort_requested = False

    def fire(self, value: Any = None, error: BaseException | None = None) -> bool:
        """Completes the park once; returns False if it was already completed."""
        self.task._lock.acquire()
        try:
            if self.fired:
                return False
            # The outcome before the flag: a task woken by a kick reads `fired` without the lock
            # (see `_wait`) and must then find the value or error that came with it.
            self.value = value
            self.error = error
            self.fired = True
            self.event.set()
            return True
        finally:
            self.task._lock.release()


class _ThreadSlot:
    """A park of a plain (non-task) thread, for the blocking variants of the primitives."""

    __slots__ = ("_guard", "_gate", "fired", "value", "error")

    def __init__(self) -> None:
        self._guard = threading.Lock()
        self._gate = threading.Lock()
        self._gate.acquire()
        self.fired = False
        self.value: Any = None
        self.error: BaseException | None = None

    def fire(self, value: Any = None, error: BaseException | None = None) -> bool:
        with self._guard:
            if self.fired:
                return False
            self.fired = True
            self.value = value
            self.error = error
        self._gate.release()
        return True

    def wait(self, timeout: float | None, withdraw: Callable[[], bool]) -> bool:
        """Waits for the fire; returns False if the timeout passed and `withdraw` removed us."""
        if self._gate.acquire(timeout=-1 if timeout is None else max(timeout, 0.0)):
            return True
        if withdraw():
            return False
        # A waker took the slot before we could withdraw it; its fire is imminent.
        self._gate.acquire()
        return True

    def result(self) -> Any:
        if self.error is not None:
            raise self.error
        return self.value


_TIMED_OUT = object()


def _always(_: object = None) -> bool:
    return True


def _never(_: object = None) -> bool:
    return False


@types.coroutine
def _yield_to_runtime():
    # A bare yield asks the native core to requeue the task behind the work already queued.
    yield


# How many operations a task may complete in a row without waiting (their resource was ready)
# before one of them lets the other tasks of its worker run first: see `_budget_spent`.
_BUDGET = 32


def _budget_spent(task: Task[Any]) -> bool:
    """Counts one operation of `task` that may complete at once; True for every `_BUDGET`-th in
    a row, which must yield to the runtime first.  Cheaper than a yield per operation, and still
    a turn for every other task within a bounded time.  A wait for a descriptor refills the
    budget (the other waits leave it: they only make the next yield come sooner)."""
    budget = task._budget - 1
    if budget > 0:
        task._budget = budget
        return False
    task._budget = _BUDGET
    return True


def _refill_budget(task: Task[Any]) -> None:
    """A wait that parked `task` was the other tasks' turn: its budget starts again."""
    task._budget = _BUDGET


async def _spend_budget(task: Task[Any]) -> None:
    """`_budget_spent`, and the yield when it says so."""
    if _budget_spent(task):
        await _yield_to_runtime()


async def _wait(
    slot: _Slot, abort_fn: Callable[[], bool] | None, deadline: float = math.inf, withdraw_from: Any = None
) -> Any:
    """Parks the slot's task until the slot fires, its deadline passes or it is cancelled.

    `abort_fn` is called under the task lock to withdraw the slot from whatever would fire it; it
    returns True if the slot was withdrawn (nobody will fire it any more).  A primitive that keeps
    its parked slots itself passes `withdraw_from` instead, whose ``_withdraw(slot)`` does the
    same: no closure is made for every park.  Returns the fired value, or `_TIMED_OUT` once
    `deadline` (runtime seconds) has passed.
    """
    task = slot.task
    lock = task._lock
    withdrawn_failed = False
    published = False
    while True:
        if published and slot.fired:
            # Set under the task lock after the value and error (see `_Slot.fire`), also when
            # a kick woke us while the fire was still under way; from here on nobody else
            # touches the slot, and clearing `_slot` races only with kicks, which skip a fired
            # slot.
            task._slot = None
            break
        lock.acquire()
        try:
            if slot.fired:
                if published:
                    task._slot = None
                break
            if not published:
                slot.withdraw_from = withdraw_from
                task._slot = slot
                published = True
            event = slot.event
            if event.is_set():  # a kick: wait on a fresh event from now on
                event = slot.event = _NativeEvent()
            timeout_us = None
            if not withdrawn_failed:
                cancelled, wake_at, now = task._evaluate(deadline)
                if cancelled or (now is not None and deadline <= now):
                    if abort_fn() if withdraw_from is None else withdraw_from._withdraw(slot):
                        slot.fired = True
                        if cancelled:
                            slot.error = _cancel_error(task)
                        else:
                            slot.value = _TIMED_OUT
                        task._slot = None
                        break
                    withdrawn_failed = True
                elif wake_at != math.inf:
                    timeout_us = min(max(math.ceil((wake_at - now) * 1e6), 0), _MAX_WAIT_US)
        finally:
            lock.release()
        await event.waiter(timeout_us)
    error = slot.error
    if error is not None:
        slot.error = None
        try:
            raise error
        finally:
            # The traceback holds this frame: a local naming the exception would make a cycle.
            error = None
    return slot.value


async def _wait_uncancellable(slot: _Slot) -> Any:
    return await _wait(slot, _never)


async def checkpoint() -> None:
    """Lets other tasks run, then raises `Cancelled` if the calling task is cancelled."""
    task = _current_task.get()
    if task is None:
        current_task()  # raises
    await _yield_to_runtime()
    if task._evaluate(_INF)[0]:
        raise _cancel_error(task)


async def checkpoint_if_cancelled() -> None:
    """Raises `Cancelled` if the calling task is cancelled; otherwise returns at once."""
    current_task()._raise_if_cancelled()


async def cancel_shielded_checkpoint() -> None:
    """Lets other tasks run without checking for cancellation."""
    current_task()
    await _yield_to_runtime()


def _check_count(value: Any, what: str, minimum: int, allow_inf: bool) -> None:
    """TypeError unless `value` is an int (or math.inf where allowed), ValueError below `minimum`."""
    if not isinstance(value, int) and not (allow_inf and value == math.inf):
        raise TypeError(f"{what} must be an int{' or math.inf' if allow_inf else ''}, got {value!r}")
    if value < minimum:
        raise ValueError(f"{what} must be >= {minimum}, got {value!r}")


def _check_seconds(seconds: float, what: str) -> float:
    seconds = float(seconds)
    if math.isnan(seconds) or seconds < 0:
        raise ValueError(f"{what} must be a non-negative number, got {seconds!r}")
    return seconds


async def sleep_until(deadline: float) -> None:
    """Sleeps until the runtime clock reaches `deadline` (seconds, see `current_time`)."""
    deadline = float(deadline)
    if math.isnan(deadline):
        raise ValueError("deadline must not be NaN")
    task = current_task()
    await _wait(_Slot(task), _always, deadline)


async def sleep(seconds: float) -> None:
    """Sleeps for `seconds`; `sleep(0)` is a checkpoint.  Timers have millisecond granularity."""
    seconds = float(seconds)
    if not seconds >= 0:  # negative or NaN
        _check_seconds(seconds, "sleep length")  # raises
    if seconds == 0:
        await checkpoint()
        return
    runtime = _runtime_box[0]  # as _now(), without its two calls
    deadline = (runtime if runtime is not None else _runtime())._clock / 1e6 + seconds
    task = _current_task.get()
    if task is None:
        current_task()  # raises
    await _wait(_Slot(task), _always, deadline)


async def sleep_forever() -> None:
    """Sleeps until cancelled."""
    task = current_task()
    await _wait(_Slot(task), _always, math.inf)


# ---------------------------------------------------------------------------------------------
# Parking lot

_MISSING = object()


class ParkingLot:
    """A FIFO queue of parked tasks: the building block of every quorlin primitive.

    `park()` blocks the calling task until `unpark()` picks it (oldest first); both are safe from
    any thread.  A parked task that is cancelled leaves the queue; one that has already been
    picked is never cancelled out of what it was handed.
    """

    __slots__ = ("_lock", "_parked")

    def __init__(self) -> None:
        self._lock = _Lock()
        self._parked: dict[Any, None] = {}

    def __len__(self) -> int:
        return len(self._parked)

    def __bool__(self) -> bool:
        return bool(self._parked)

    def _withdraw(self, slot: Any) -> bool:
        self._lock.acquire()
        try:
            return self._parked.pop(slot, _MISSING) is not _MISSING
        finally:
            self._lock.release()

    async def park(self) -> Any:
        """Parks the calling task until it is unparked; returns the value given to `unpark`."""
        slot = _Slot(current_task())
        self._lock.acquire()
        try:
            self._parked[slot] = None
        finally:
            self._lock.release()
        return await _wait(slot, None, _INF, self)

    async def _park_unless(self, ready: Callable[[], bool]) -> bool:
        """Parks unless `ready()` (checked under the lot's lock) is true; returns whether it parked."""
        slot = _Slot(current_task())
        self._lock.acquire()
        try:
            if ready():
                return False
            self._parked[slot] = None
        finally:
            self._lock.release()
        await _wait(slot, None, _INF, self)
        return True

    def _park_thread(self, ready: Callable[[], bool], timeout: float | None) -> bool:
        """Blocks a plain thread like `_park_unless`; returns False if the timeout passed."""
        slot = _ThreadSlot()
        with self._lock:
            if ready():
                return True
            self._parked[slot] = None
        return slot.wait(timeout, lambda: self._withdraw(slot))

    def _pop(self, count: float) -> list[Any]:
        slots = []
        self._lock.acquire()
        try:
            parked = self._parked
            while parked and len(slots) < count:
                slot = next(iter(parked))
                del parked[slot]
                slots.append(slot)
        finally:
            self._lock.release()
        return slots

    def unpark(self, *, count: int = 1, value: Any = None) -> list[Task[Any]]:
        """Wakes up to `count` parked tasks, oldest first; returns the tasks woken."""
        woken = []
        for slot in self._pop(count):
            slot.fire(value)
            task = getattr(slot, "task", None)
            if task is not None:
                woken.append(task)
        return woken

    def unpark_all(self, value: Any = None) -> list[Task[Any]]:
        """Wakes every parked task."""
        self._lock.acquire()
        try:
            parked = self._parked
            if not parked:
                return []
            slots = list(parked)
            parked.clear()
        finally:
            self._lock.release()
        woken: list[Task[Any]] = []
        for slot in slots:
            slot.fire(value)
            task = getattr(slot, "task", None)
            if task is not None:
                woken.append(task)
        return woken

    def _fire_all(self) -> None:
        """`unpark_all()` for callers that need neither a value nor the woken tasks."""
        self._lock.acquire()
        try:
            parked = self._parked
            if not parked:
                return
            slots = list(parked)
            parked.clear()
        finally:
            self._lock.release()
        for slot in slots:
            slot.fire()

    def statistics(self) -> dict[str, int]:
        """``{"tasks_waiting": n}``."""
        return {"tasks_waiting": len(self._parked)}


# ---------------------------------------------------------------------------------------------
# Cancel scopes


class CancelScope:
    """A region of a task's code that can be cancelled as a unit (level-triggered).

    Use it as ``with CancelScope() as scope:``.  Once ``scope.cancel()`` is called (from any
    thread) or its deadline passes, every checkpoint inside the region raises `Cancelled` until the
    region is left; the scope then catches that `Cancelled` and sets `cancelled_caught`.  Child
    tasks started inside the region are cancelled with it.  A `shield` keeps cancellation of the
    enclosing scopes out.
    """

    __slots__ = (
        "_lock",
        "_parent",
        "_children",
        "_innermost",
        "_cancel_called",
        "_deadline",
        "_shield",
        "_by_deadline",
        "_task",
        "_state",
        "cancelled_caught",
        "_cause",
        "__weakref__",
    )

    def __init__(self, *, deadline: float = math.inf, shield: bool = False) -> None:
        # `_new_scope` sets the same fields: keep the two in step.
        self._lock = _Lock()
        self._parent: CancelScope | None = None
        # Stays the shared empty set until the scope gets a child.
        self._children: set[CancelScope] = _NO_CHILDREN  # type: ignore[assignment]
        # The task whose innermost scope (`_node`) this is, or None.  Only the task that entered
        # a scope ever stands in it, so one reference does what a set of tasks would.
        self._innermost: Task[Any] | None = None
        self._cancel_called = False
        self._by_deadline = False
        self._deadline = float(deadline)
        if math.isnan(self._deadline):
            raise ValueError("deadline must not be NaN")
        self._shield = bool(shield)
        self._task: Task[Any] | None = None
        self._state = 0  # 0 new, 1 entered, 2 exited
        #: True once the scope has caught the `Cancelled` it caused.
        self.cancelled_caught = False

    def __repr__(self) -> str:
        state = ("new", "active", "exited")[self._state]
        extra = " cancelled" if self._cancel_called else ""
        if self._deadline != math.inf:
            extra += f" deadline={self._deadline:.3f}"
        return f"<CancelScope {state}{extra}{' shielded' if self._shield else ''}>"

    # -- tree maintenance (only the owning task enters and exits) --

    def _attach(self, parent: CancelScope | None) -> None:
        self._parent = parent
        if parent is not None:
            with parent._lock:
                _link(parent, self)

    def _detach_root(self, linked: bool = True) -> None:
        parent = self._parent
        if parent is not None and linked:
            with parent._lock:
                _unlink(parent, self)
        with self._lock:
            self._innermost = self._task = None
        self._state = 2

    def _reparent(self, parent: CancelScope) -> None:
        old = self._parent
        with parent._lock:
            _link(parent, self)
        self._parent = parent
        if old is not None and old is not parent:  # start() from the group's own body: same parent
            with old._lock:
                _unlink(old, self)
        _deliver(self)

    def __enter__(self) -> CancelScope:
        task = _current_task.get()
        if task is None:
            current_task()  # raises
        if self._state != 0:
            raise RuntimeError("a CancelScope can be entered only once")
        parent = task._node
        self._parent = parent
        self._task = task
        self._innermost = task
        self._state = 1
        parent._lock.acquire()
        try:
            parent._innermost = None
            _link(parent, self)
        finally:
            parent._lock.release()
        task._node = self
        return self

    def __exit__(self, etype: Any, exc: BaseException | None, tb: Any) -> bool:
        task = self._task
        if self._state != 1 or task is None or task._node is not self:
            raise RuntimeError("cancel scopes must be exited in the task that entered them, innermost first")
        parent = self._parent
        assert parent is not None
        parent._lock.acquire()
        try:
            _unlink(parent, self)
            parent._innermost = task
        finally:
            parent._lock.release()
        task._node = parent
        self._lock.acquire()
        try:
            self._innermost = None
        finally:
            self._lock.release()
        self._state = 2
        if exc is None or not self._effectively_called():
            return False
        if isinstance(exc, _AnyCancelled):
            self.cancelled_caught = True
            return True
        if isinstance(exc, BaseExceptionGroup):
            matched, rest = exc.split(_AnyCancelled)
            if matched is None:
                return False
            self.cancelled_caught = True
            if rest is None:
                return True
            raise rest
        return False

    def _effectively_called(self) -> bool:
        if self._cancel_called:
            return True
        if self._deadline != math.inf and self._deadline <= _now():
            self._cancel_called = True
            self._by_deadline = True
            return True
        return False

    # -- public surface --

    def cancel(self, reason: str | None = None) -> None:
        """Cancels the scope; safe to call from any thread, any number of times.  `reason` is
        given to the `Cancelled` that the cancellation raises (only the first call's counts)."""
        if reason is not None and not isinstance(reason, str):
            raise TypeError("reason must be a str or None")
        self._cancel_as("explicit", reason)

    def _cancel_as(self, source: str, reason: str | None = None) -> None:
        if self._cancel_called:
            return
        # Read only once `_cancel_called` is seen (by `_cancel_error`); left unset on the scopes
        # that are never cancelled, as every task's own scope is.  The canceller is kept as its
        # name: the exception must pickle, and must not keep the task alive.
        canceller = _current_task.get()
        self._cause = (source, reason, None if canceller is None else f"<Task {canceller.name!r}>")
        self._cancel_called = True
        if self._state == 1:
            _deliver(self)

    @property
    def cancel_called(self) -> bool:
        """True once `cancel()` was called or the deadline passed."""
        return self._cancel_called or (
            self._deadline != math.inf and _runtime_box[0] is not None and self._deadline <= _now()
        )

    @property
    def deadline(self) -> float:
        """Absolute deadline on the runtime clock (`math.inf` for none); may be changed at any time."""
        return self._deadline

    @deadline.setter
    def deadline(self, value: float) -> None:
        value = float(value)
        if math.isnan(value):
            raise ValueError("deadline must not be NaN")
        self._deadline = value
        if self._state == 1:
            _deliver(self)

    @property
    def shield(self) -> bool:
        """While True, cancellation of enclosing scopes does not reach this region."""
        return self._shield

    @shield.setter
    def shield(self, value: bool) -> None:
        if not isinstance(value, bool):
            raise TypeError("shield must be a bool")
        self._shield = value
        if not value and self._state == 1:
            _deliver(self)


# A task's own scope rarely gets children: it shares this empty set until its first one.
_NO_CHILDREN: frozenset[Any] = frozenset()


def _link(parent: CancelScope, child: CancelScope) -> None:
    """Adds `child` below `parent`; the caller holds `parent._lock`."""
    children = parent._children
    if children is _NO_CHILDREN:
        children = parent._children = set()
    children.add(child)  # type: ignore[attr-defined]


def _unlink(parent: CancelScope, child: CancelScope) -> None:
    """Removes `child` from below `parent`; the caller holds `parent._lock`."""
    children = parent._children
    if children:
        children.discard(child)  # type: ignore[attr-defined]


_UNKNOWN_CAUSE = ("unknown", None, None)


def _safe_repr(error: BaseException) -> str:
    """The repr of a user's exception, for a cancellation's reason; a repr that fails must not stop
    the cancellation."""
    try:
        return repr(error)
    except BaseException:  # noqa: BLE001 - whatever a user's __repr__ raises
        return f"<{type(error).__name__} with a failing repr>"


def _cancel_error(task: Task[Any]) -> Cancelled:
    """The `Cancelled` to raise in `task`, which is cancelled: it names why the innermost of its
    cancelled scopes was cancelled, as that is the one that catches it (the raise path only)."""
    node: CancelScope | None = task._node
    while node is not None:
        if node._cancel_called:
            if node._by_deadline:
                return Cancelled("deadline")
            return Cancelled(*getattr(node, "_cause", _UNKNOWN_CAUSE))
        if node._shield:
            break
        node = node._parent
    return Cancelled()


def _deliver(root: CancelScope) -> None:
    """Kicks every parked task below `root` (not below shields) so it re-evaluates its scopes."""
    stack = [root]
    while stack:
        node = stack.pop()
        with node._lock:
            task = node._innermost
            children = tuple(node._children)
        if task is not None:
            task._kick()
        for child in children:
            if not child._shield:
                stack.append(child)


def _new_scope(deadline: float, shield: bool) -> CancelScope:
    """``CancelScope(deadline=deadline, shield=shield)`` for a deadline that is already a float and
    not NaN, without the keyword call of the class (which every timeout pays).  The fields are
    `CancelScope.__init__`'s."""
    scope = _new_object(CancelScope)
    scope._lock = _Lock()
    scope._parent = None
    scope._children = _NO_CHILDREN
    scope._innermost = None
    scope._cancel_called = False
    scope._by_deadline = False
    scope._deadline = deadline
    scope._shield = bool(shield)
    scope._task = None
    scope._state = 0
    scope.cancelled_caught = False
    return scope


def _deadline_after(seconds: float) -> float:
    """The runtime clock `seconds` (a timeout, checked) from now; as ``_now() + _check_seconds(...)``
    in one call instead of three."""
    runtime = _runtime_box[0]
    now = (runtime if runtime is not None else _runtime())._clock / 1e6
    seconds = float(seconds)
    if not seconds >= 0:  # negative or NaN
        _check_seconds(seconds, "timeout")  # raises
    return now + seconds


def move_on_at(deadline: float, *, shield: bool = False) -> CancelScope:
    """A cancel scope that is cancelled when the runtime clock reaches `deadline`."""
    return CancelScope(deadline=deadline, shield=shield)


def move_on_after(seconds: float, *, shield: bool = False) -> CancelScope:
    """A cancel scope that is cancelled `seconds` from now."""
    return _new_scope(_deadline_after(seconds), shield)


class _FailScope:
    """``with fail_after(...)``: a deadline scope that raises TimeoutError when it expires."""

    __slots__ = ("_scope",)

    def __init__(self, scope: CancelScope) -> None:
        self._scope = scope

    def __enter__(self) -> CancelScope:
        return self._scope.__enter__()

    def __exit__(self, etype: Any, exc: BaseException | None, tb: Any) -> bool:
        handled = self._scope.__exit__(etype, exc, tb)
        if self._scope.cancelled_caught and self._scope._by_deadline:
            raise TimeoutError("deadline exceeded")
        return handled


def fail_at(deadline: float, *, shield: bool = False) -> _FailScope:
    """Like `move_on_at`, but raises the builtin TimeoutError when the deadline cancels the region."""
    return _FailScope(CancelScope(deadline=deadline, shield=shield))


def fail_after(seconds: float, *, shield: bool = False) -> _FailScope:
    """Like `move_on_after`, but raises the builtin TimeoutError when the time runs out."""
    return _FailScope(_new_scope(_deadline_after(seconds), shield))


def current_effective_deadline() -> float:
    """The earliest deadline that applies to the calling task: -inf if it is cancelled, inf if none."""
    task = current_task()
    cancelled, wake_at, _ = task._evaluate(math.inf)
    return -math.inf if cancelled else wake_at


# ---------------------------------------------------------------------------------------------
# Tasks


class Task(Generic[T]):
    """A handle on a running or finished task.

    `await task` waits for the task and returns its result or raises its exception; ``await
    task.wait()`` only waits.  `cancel()` cancels the task alone (its own scope), from any thread.
    """

    __slots__ = (
        "_lock",
        "_slot",
        "_node",
        "_scope",
        "name",
        "_coro",
        "_stepped",
        "_group",
        "_finished",
        "_value",
        "_error",
        "_cancelled",
        "_waiters",
        "_groups",
        "_status",
        "_locks",
        "_budget",
        "__weakref__",
    )

    def __init__(self, coro: Coroutine[Any, Any, T], name: str) -> None:
        # The task's own scope, already active, not yet linked to a parent (see `_attach`); built
        # here rather than through CancelScope's constructor, as every spawn pays for it.
        scope = _new_object(CancelScope)
        # The task and its own scope share one lock: nothing takes one while holding the other.
        self._lock = scope._lock = _Lock()
        scope._parent = None
        scope._children = _NO_CHILDREN
        scope._innermost = self
        scope._cancel_called = False
        scope._by_deadline = False
        scope._deadline = _INF
        scope._shield = False
        # A task's own scope is never exited; its `_task` names the task for the task-tree dumps
        # (a group lists its children from its scope's children).  The task drops this reference,
        # and `_innermost`, when it finishes: a finished task is freed by reference counting, not
        # left to the cyclic collector.
        scope._task = self
        scope._state = 1
        scope.cancelled_caught = False
        self._scope = self._node = scope
        self._slot: _Slot | None = None
        #: The task's name, for diagnostics.
        self.name = name
        self._coro = coro
        # What the runtime steps: `_task_main` around `coro`, under a lock the task-tree dumps try.
        self._stepped: _SteppedCoroutine | None = None
        self._group: TaskGroup | None = None
        self._finished = False
        self._value: Any = None
        self._error: BaseException | None = None
        self._cancelled = False
        self._waiters: ParkingLot | None = None  # made by the first task that waits for this one
        self._groups: list[TaskGroup] | None = None  # the open groups it owns, made on first use
        self._status: TaskStatus[Any] | None = None
        self._locks: list[Any] | None = None  # the `Lock`s it holds, made on first use
        self._budget = _BUDGET  # only the task itself counts it down (see `_budget_spent`)

    def __repr__(self) -> str:
        if not self._finished:
            state = "parked" if self._slot is not None else "running"
        elif self._cancelled:
            state = "cancelled"
        elif self._error is not None:
            state = f"failed {type(self._error).__name__}"
        else:
            state = "done"
        return f"<Task {self.name!r} {state}>"

    # -- evaluation (called by the task itself, under its lock for parks) --

    def _evaluate(self, deadline: float) -> tuple[bool, float, float | None]:
        """Returns (cancelled, earliest wake-up time, now or None if no clock was needed)."""
        node: CancelScope | None = self._node
        wake_at = deadline
        limits = None
        while node is not None:
            if node._cancel_called:
                return _CANCELLED
            if node._deadline != _INF:
                if limits is None:
                    limits = [node]
                else:
                    limits.append(node)
            if node._shield:
                break
            node = node._parent
        if limits is None:
            if wake_at == _INF:
                return _NOT_CANCELLED
            limits = ()
        runtime = _runtime_box[0]  # as _now(), without its two calls
        now = (runtime if runtime is not None else _runtime())._clock / 1e6
        for scope in limits:
            if scope._deadline <= now:
                scope._by_deadline = True
                scope._cancel_called = True
                return True, -math.inf, now
            if scope._deadline < wake_at:
                wake_at = scope._deadline
        return False, wake_at, now

    def _raise_if_cancelled(self) -> None:
        if self._evaluate(math.inf)[0]:
            raise _cancel_error(self)

    def _kick(self) -> None:
        """Wakes the parked task to look at its scopes again.  A task that is cancelled and waits
        on a primitive that keeps its waiters is withdrawn from it here, in the canceller's
        thread: whatever the canceller hands over next (a lock, a permit, an item) goes to another
        waiter.  Other waits (timers, descriptors, thread calls) are withdrawn by the task itself
        when it runs."""
        self._lock.acquire()
        try:
            slot = self._slot
            if slot is not None and not slot.fired:
                # Only a parked task publishes a slot, and its scopes change only while it runs.
                lot = getattr(slot, "withdraw_from", None)
                if lot is not None and self._evaluate(_INF)[0] and lot._withdraw(slot):
                    slot.error = _cancel_error(self)
                    slot.fired = True
                slot.event.set()
        finally:
            self._lock.release()

    # -- outcome --

    def _waiter_lot(self) -> ParkingLot:
        """The lot where tasks wait for this one to finish; made on first use."""
        with self._lock:
            waiters = self._waiters
            if waiters is None:
                waiters = self._waiters = ParkingLot()
            return waiters

    def done(self) -> bool:
        """True once the task has finished (returned, raised or was cancelled)."""
        return self._finished

    def cancelled(self) -> bool:
        """True if the task finished because it was cancelled."""
        return self._finished and self._cancelled

    def result(self) -> T:
        """The task's return value; raises its exception, or TaskCancelledError if it was cancelled."""
        if not self._finished:
            raise RuntimeError(f"task {self.name!r} has not finished")
        if self._cancelled:
            raise TaskCancelledError(f"task {self.name!r} was cancelled")
        if self._error is not None:
            raise self._error
        return self._value

    def exception(self) -> BaseException | None:
        """The exception the task raised, or None; raises TaskCancelledError if it was cancelled."""
        if not self._finished:
            raise RuntimeError(f"task {self.name!r} has not finished")
        if self._cancelled:
            raise TaskCancelledError(f"task {self.name!r} was cancelled")
        return self._error

    def cancel(self) -> None:
        """Cancels this task alone; safe to call from any thread."""
        self._scope.cancel()

    async def wait(self) -> None:
        """Waits until the task has finished, without raising its error.  Cancellable."""
        if not await self._waiter_lot()._park_unless(self.done):
            await checkpoint()

    def __await__(self):
        return self._await_result().__await__()

    async def _await_result(self) -> T:
        await self.wait()
        return self.result()


async def _task_main(task: Task[Any]) -> None:
    # The native core runs this in a copy of the spawner's context; the copy becomes the task's.
    _current_task.set(task)
    value: Any = None
    error: BaseException | None = None
    try:
        value = await task._coro
    except _AnyCancelled as exc:
        # The task's own scope catches the `Cancelled` that `Task.cancel()` causes.
        scope = task._scope
        if task._node is scope and scope._cancel_called:
            scope.cancelled_caught = True
        else:
            error = exc
    except BaseException as exc:  # noqa: BLE001 - everything a task raises is its outcome
        error = exc
    try:
        locks = task._locks
        if locks:
            # Locks it still holds are broken: their waiters would wait for good.  A broken lock
            # keeps naming its owner; the owner lets go of the list, which would make a cycle.
            task._locks = None
            for lock in locks:
                lock._break(task)
        # The task's outcome, inline (it runs once for every task).
        scope = task._scope
        cancelled = isinstance(error, _AnyCancelled) or (error is None and scope.cancelled_caught)
        # The task's lock is its scope's: the scope is closed in the same round trip.
        task._lock.acquire()
        try:
            task._value = value
            task._error = error
            task._cancelled = cancelled
            task._finished = True
            waiters = task._waiters
            scope._innermost = scope._task = None
        finally:
            task._lock.release()
        scope._state = 2
        task._coro = None  # type: ignore[assignment]
        group = task._group
        # A group child's scope hangs below the group's scope, whose lock the group shares: the
        # group unlinks it while it takes that lock anyway.
        unlinked_by_group = group is not None and scope._parent is group._scope
        if not unlinked_by_group:
            parent = scope._parent
            if parent is not None:
                parent._lock.acquire()
                try:
                    _unlink(parent, scope)
                finally:
                    parent._lock.release()
        status = task._status
        if status is not None:
            status._child_finished(task)
        if group is not None:
            # The child leaves its group: the group's own bookkeeping, inline.
            failed = error is not None and not cancelled
            group_lock = group._lock
            group_lock.acquire()
            try:
                if unlinked_by_group:
                    children = group._scope._children  # as _unlink(group._scope, scope)
                    if children:
                        children.discard(scope)
                group._live -= 1
                if failed:
                    group._errors.append(error)
                exit_slot = group._exit_slot if not group._live else None
            finally:
                group_lock.release()
            if failed:
                group._scope._cancel_as("nursery", f"child task raised exception {_safe_repr(error)}")
            if exit_slot is not None:
                exit_slot.fire()
        if waiters is not None:
            waiters.unpark_all()
    except BaseException as exc:  # noqa: BLE001 - a bug here must not print as a coroutine error
        sys.unraisablehook(_unraisable(exc, task))
    # A failed task's traceback holds this frame, and the task holds its error: without these
    # locals the two make no reference cycle.
    task = error = value = scope = group = waiters = status = exit_slot = locks = None  # type: ignore[assignment]


def _unraisable(exc: BaseException, obj: object) -> Any:
    return types.SimpleNamespace(
        exc_type=type(exc), exc_value=exc, exc_traceback=exc.__traceback__, err_msg="quorlin internal error", object=obj
    )


def _task_name(fn: Any, name: str | None) -> str:
    if name is not None:
        return str(name)
    if type(fn) is _FunctionType:
        return fn.__qualname__
    fn = getattr(fn, "func", fn)  # functools.partial
    for attr in ("__qualname__", "__name__"):
        value = getattr(fn, attr, None)
        if isinstance(value, str):
            return value
    return repr(fn)


def _make_coroutine(fn: Any, args: tuple[Any, ...]) -> Coroutine[Any, Any, Any]:
    if type(fn) is _FunctionType:
        coro = fn(*args)
        if type(coro) is _CoroutineType:
            return coro
    elif isinstance(fn, Coroutine):
        if args:
            raise TypeError("arguments were given along with a coroutine object")
        return fn
    else:
        coro = fn(*args)
    return _checked_coroutine(fn, coro)


def _checked_coroutine(fn: Any, coro: Any) -> Coroutine[Any, Any, Any]:
    """`coro`, returned by `fn`, if it is a coroutine; otherwise closes it and raises TypeError."""
    if not isinstance(coro, Coroutine):
        if hasattr(coro, "close"):
            coro.close()
        raise TypeError(f"{fn!r} did not return a coroutine; pass an async function")
    return coro


def _spawn(coro: Coroutine[Any, Any, Any], name: str, parent: CancelScope | None) -> Task[Any]:
    task: Task[Any] = Task(coro, name)
    task._scope._attach(parent)
    return task


def _launch(task: Task[Any]) -> None:
    runtime = _runtime_box[0]
    if runtime is None:
        _runtime()
    stepped = task._stepped = _SteppedCoroutine(_task_main(task))
    runtime._spawn_coro(stepped)


# ---------------------------------------------------------------------------------------------
# Task groups


class TaskStatus(Generic[T]):
    """Handed to a task started with `TaskGroup.start`; call `started(value)` once it is ready."""

    __slots__ = ("_group", "_task", "_lock", "_state", "_value", "_slot")

    def __init__(self, group: TaskGroup) -> None:
        self._group = group
        self._task: Task[Any] | None = None
        self._lock = threading.Lock()
        self._state = 0  # 0 starting, 1 started, 2 child finished first
        self._value: Any = None
        self._slot: _Slot | None = None

    def started(self, value: T | None = None) -> None:
        """Reports that the task is ready; `start()` then returns `value` and the task moves into
        the group."""
        task = self._task
        with self._lock:
            if self._state != 0 or task is None:
                raise RuntimeError("started() was already called")
            self._state = 1
            self._value = value
            slot = self._slot
        self._group._adopt(task)
        if slot is not None:
            slot.fire()

    def _child_finished(self, task: Task[Any]) -> None:
        with self._lock:
            if self._state != 0:
                return
            self._state = 2
            slot = self._slot
        if slot is not None:
            slot.fire()


class _NoStatus:
    """The `task_status` default for functions that may also be run with `start_soon`."""

    def started(self, value: object = None) -> None:
        return None


TASK_STATUS_IGNORED: Any = _NoStatus()


class TaskGroup:
    """A nursery: ``async with TaskGroup() as tg:`` runs child tasks and waits for all of them.

    The first child that fails cancels the group; on exit the group raises an ExceptionGroup of
    every failure (`Cancelled` is not a failure).  Children may run in parallel on every worker.
    """

    __slots__ = ("_lock", "_scope", "_live", "_errors", "_state", "_exit_slot", "_owner", "__weakref__")

    def __init__(self) -> None:
        self._scope = CancelScope()
        # One lock for the group and its scope: a child joins and leaves both in one round trip.
        self._lock = self._scope._lock
        # Children joined and not yet finished.  The children themselves are found through the
        # group scope's children (see `_members`): a second set would be touched by every spawn and
        # every finish.
        self._live = 0
        self._errors: list[BaseException] = []
        self._state = 0  # 0 new, 1 open, 2 closed
        self._exit_slot: _Slot | None = None
        self._owner: Task[Any] | None = None

    @property
    def cancel_scope(self) -> CancelScope:
        """The scope around the body and every child; cancelling it cancels them all."""
        return self._scope

    async def __aenter__(self) -> TaskGroup:
        if self._state != 0:
            raise RuntimeError("a TaskGroup can be entered only once")
        owner = current_task()
        self._scope.__enter__()
        self._owner = owner
        self._state = 1
        if owner._groups is None:
            owner._groups = []
        owner._groups.append(self)
        return self

    async def __aexit__(self, etype: Any, exc: BaseException | None, tb: Any) -> bool:
        owner = self._owner
        assert owner is not None
        body_error = exc
        if exc is not None and not isinstance(exc, _AnyCancelled):
            self._scope._cancel_as("nursery", f"the task group's body raised exception {_safe_repr(exc)}")
        slot = None
        with self._lock:
            if self._live:
                slot = self._exit_slot = _Slot(owner)
        if slot is not None:
            # Whatever cancels this task cancels the children too (they live below this group's
            # scope), so waiting for them needs no cancellation of its own.
            await _wait_uncancellable(slot)
        with self._lock:
            self._state = 2
            errors = list(self._errors)
        try:
            owner._groups.remove(self)  # type: ignore[union-attr]
        except (ValueError, AttributeError):
            pass
        if body_error is not None and not isinstance(body_error, _AnyCancelled):
            errors.insert(0, body_error)
        if errors:
            self._scope.__exit__(None, None, None)
            raise BaseExceptionGroup("unhandled errors in a TaskGroup", errors) from None
        if body_error is None and slot is not None and owner._evaluate(math.inf)[0]:
            body_error = _cancel_error(owner)
        if body_error is None:
            self._scope.__exit__(None, None, None)
            return False
        if self._scope.__exit__(type(body_error), body_error, body_error.__traceback__):
            return True
        if body_error is exc:
            return False
        raise body_error

    def _members(self) -> list[Task[Any]]:
        """The children that have joined and not finished (for diagnostics)."""
        with self._lock:
            scopes = tuple(self._scope._children)
        members = []
        for scope in scopes:
            task = scope._task
            if task is not None and task._scope is scope:  # a child's own scope, not a body scope
                members.append(task)
        return members

    def _check_open(self) -> None:
        if self._state != 1:
            raise RuntimeError("this TaskGroup is not open (use it inside its `async with` block)")

    def _add_child(self, task: Task[Any]) -> None:
        with self._lock:
            if self._state != 1:
                raise RuntimeError("this TaskGroup is closed to new tasks")
            self._live += 1
            task._group = self

    def start_soon(self, fn: Callable[..., Awaitable[Any]], *args: Any, name: str | None = None) -> None:
        """Starts `fn(*args)` as a child task; it may begin at once on another worker."""
        self._create(fn, args, name)

    def create_task(self, fn: Any, *args: Any, name: str | None = None) -> Task[Any]:
        """Like `start_soon`, but accepts a coroutine object too and returns the `Task` handle."""
        return self._create(fn, args, name)

    def _create(self, fn: Any, args: tuple[Any, ...], name: str | None) -> Task[Any]:
        if self._state != 1:
            self._check_open()
        if type(fn) is _FunctionType:
            # The common case, a plain async function, without the helpers' calls.
            coro = fn(*args)
            if type(coro) is not _CoroutineType:
                coro = _checked_coroutine(fn, coro)
            name = fn.__qualname__ if name is None else str(name)
        else:
            coro = _make_coroutine(fn, args)
            name = _task_name(coro if coro is fn else fn, name)
        task: Task[Any] = Task(coro, name)
        scope = self._scope
        self._lock.acquire()
        try:
            joined = self._state == 1
            if joined:
                self._live += 1
                task._group = self
                child_scope = task._scope
                child_scope._parent = scope
                children = scope._children  # as _link(scope, child_scope), one call fewer
                if children is _NO_CHILDREN:
                    children = scope._children = set()
                children.add(child_scope)
        finally:
            self._lock.release()
        if not joined:
            task._scope._detach_root(linked=False)
            coro.close()
            raise RuntimeError("this TaskGroup is closed to new tasks")
        runtime = _runtime_box[0]
        if runtime is None:
            _runtime()
        stepped = task._stepped = _SteppedCoroutine(_task_main(task))  # as _launch(task), one call fewer
        runtime._spawn_coro(stepped)
        return task

    async def start(self, fn: Callable[..., Awaitable[Any]], *args: Any, name: str | None = None) -> Any:
        """Starts `fn(*args, task_status=...)` and waits until it calls ``task_status.started(v)``.

        Until then the child runs under the caller's cancel scopes and its failure propagates out
        of `start()`; afterwards it belongs to the group.  Returns `v`.
        """
        self._check_open()
        caller = current_task()
        await checkpoint_if_cancelled()
        status: TaskStatus[Any] = TaskStatus(self)
        coro = _make_coroutine(lambda *a: fn(*a, task_status=status), args)
        task = _spawn(coro, _task_name(fn, name), caller._node)
        status._task = task
        task._status = status
        slot = _Slot(caller)
        with status._lock:
            status._slot = slot
        _launch(task)
        await _wait_uncancellable(slot)
        with status._lock:
            state = status._state
        if state == 1:
            return status._value
        # The child finished before calling started().
        if task._error is not None:
            raise task._error
        if task._cancelled:
            raise _cancel_error(caller) if caller._evaluate(math.inf)[0] else Cancelled()
        raise RuntimeError(f"task {task.name!r} returned without calling task_status.started()")

    def _adopt(self, task: Task[Any]) -> None:
        task._status = None
        self._add_child(task)
        task._scope._reparent(self._scope)


open_nursery = TaskGroup


async def gather(*awaitables: Awaitable[Any]) -> list[Any]:
    """Runs coroutines (or async functions without arguments) as tasks of one group and returns
    their results in order.  Failures are raised as an ExceptionGroup, as by `TaskGroup`."""
    async with TaskGroup() as group:
        tasks = [group.create_task(item) for item in awaitables]
    return [task._value for task in tasks]
