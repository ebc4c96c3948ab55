"""Descriptor readiness for tasks: one `ScheduledIO` per descriptor, one waiting task per direction.

Registry
--------
The native driver accepts one registration per descriptor and refuses a second (EEXIST), so the
registrations live in one process-wide map ``{fd: _Registration}``.  An entry is made lazily, the
first time a task waits on the descriptor during a run, and belongs to that run: the driver drops
every registration when a run ends (without waking anyone), and `run` then forgets the map
(`_forget_run`); an entry of an earlier run met anyway is discarded and made anew.  `notify_closing` removes the entry and closes the registration before
the caller closes the descriptor, which keeps a reused descriptor number from meeting a stale
registration that the kernel has already forgotten.

Waiting
-------
The driver remembers readiness per direction (edge-triggered reports OR bits into a word) until
it is cleared.  A waiter arms the direction with the builtin ``Event.set`` of the direction's
event (one per registration and direction, reused by every park, since only one task parks per
direction at a time), so the driver thread runs nothing heavier than that; the waiter's own loop
tells a readiness wake-up from a cancellation kick or a stale set by arming again: the arm reports
ready, or stores the callback and the task parks again.  Socket code clears readiness (tick-aware,
so a report that raced with the failing call survives) only after the operating system said that
nothing is waiting (EAGAIN, or a poll), then waits.

At most one task may be parked per descriptor and direction; a second one gets
`BusyResourceError`.  A parked wait is cancellable, and `notify_closing` wakes it with
`ClosedResourceError`.
"""

from __future__ import annotations

import math
import re
import select
import threading
import weakref
from typing import Any

from quorlin import _quorlin
from quorlin._core import _MAX_WAIT_US, _Slot, _current_task, _refill_budget, _spend_budget, current_task
from quorlin._errors import BusyResourceError, Cancelled, ClosedResourceError
from quorlin import _run

_NativeEvent = _quorlin.Event
_INF = math.inf

READ = 0
WRITE = 1
_DIRECTION_NAMES = ("reading", "writing")
_POLL_MASKS = (select.POLLIN | select.POLLPRI | select.POLLHUP | select.POLLERR,
               select.POLLOUT | select.POLLHUP | select.POLLERR)

# Armed only to ask whether a direction is ready: if it is not, the probe stays stored until the
# real callback replaces it, and a report in between calls it, which does nothing.
_probe = int

_OS_ERROR_TEXT = re.compile(r"\(os error (\d+)\)$")


class _Registration:
    """One descriptor's `ScheduledIO` and its parked waiters, for one run."""

    __slots__ = ("fd", "sio", "run", "owner", "lock", "waiting", "closed", "arm_r", "arm_w", "clear_r",
                 "clear_w", "events", "setters")

    def __init__(self, fd: int, sio: Any, run: Any) -> None:
        self.fd = fd
        self.sio = sio
        self.run = run
        # A weak reference to the object that owns the descriptor, once one is known.
        self.owner: weakref.ref[Any] | None = None
        self.lock = threading.Lock()
        # The slot of the task parked for each direction (written under `lock`; counted by
        # `lowlevel.statistics`).
        self.waiting: list[_IoSlot | None] = [None, None]
        # Set once, under `lock`, before the native registration is closed.
        self.closed = False
        self.arm_r = sio._arm_r_cb
        self.arm_w = sio._arm_w_cb
        self.clear_r = sio.clear_r
        self.clear_w = sio.clear_w
        # One native event per direction, reused by every park of that direction (at most one task
        # parks per direction at a time), with its bound `set` kept as the readiness callback.  A
        # stale set (a callback stored for an earlier park) only makes the next park look again.
        self.events: list[Any] = [None, None]
        self.setters: list[Any] = [None, None]

    def arm(self, direction: int) -> Any:
        return self.arm_r if direction == READ else self.arm_w

    def clear(self, direction: int) -> None:
        if direction == READ:
            self.clear_r()
        else:
            self.clear_w()

    def owned_by(self, owner: Any) -> bool:
        return owner is None or self.owner is None or self.owner() is owner

    def is_current(self) -> bool:
        return not self.closed and self.run is _run._Process.current


class _Registry:
    lock = threading.Lock()
    run: Any = None
    entries: dict[int, _Registration] = {}


def _descriptor(fd: Any) -> int:
    if not isinstance(fd, int):
        fileno = getattr(fd, "fileno", None)
        if fileno is None:
            raise TypeError(f"a descriptor must be an int or have fileno(), got {type(fd).__name__}")
        fd = fileno()
    if isinstance(fd, bool) or not isinstance(fd, int):
        raise TypeError(f"a descriptor must be an int or have fileno(), got {type(fd).__name__}")
    if fd < 0:
        raise ValueError(f"invalid descriptor {fd}")
    return fd


def _os_error_from(error: RuntimeError) -> BaseException:
    match = _OS_ERROR_TEXT.search(str(error))
    if match is None:
        return error
    import os

    number = int(match.group(1))
    return OSError(number, os.strerror(number))


def registration(fd: int, owner: Any = None) -> _Registration:
    """The registration of `fd` in the run in progress, made on first use.

    `owner` is the object that owns the descriptor (a standard socket).  A registration made for
    another, still-known owner is stale: that owner's descriptor was closed behind our back (the
    kernel then forgot the descriptor's interest) and the number was reused.  It is replaced.
    """
    entry = _Registry.entries.get(fd)
    if entry is not None and entry.run is _run._Process.current and not entry.closed and entry.owned_by(owner):
        return entry
    state = _run._current_run()
    while True:
        with _Registry.lock:
            if _Registry.run is not state:
                _Registry.run = state
                _Registry.entries = {}
            entry = _Registry.entries.get(fd)
            if entry is not None and entry.closed:
                del _Registry.entries[fd]
                entry = None
            if entry is None:
                try:
                    sio = _quorlin.ScheduledIO(fd)
                except RuntimeError as exc:
                    error = _os_error_from(exc)
                    if error is exc:
                        raise
                    raise error from None
                entry = _Registry.entries[fd] = _Registration(fd, sio, state)
            if entry.owned_by(owner):
                if owner is not None and entry.owner is None:
                    entry.owner = weakref.ref(owner)
                return entry
        close_registration(entry)


def _forget(fd: int) -> _Registration | None:
    with _Registry.lock:
        entry = _Registry.entries.pop(fd, None)
        if entry is not None and entry.run is not _run._Process.current:
            return None  # from an earlier run: the driver dropped it already
        return entry


def _forget_run() -> None:
    """Forgets every registration: the run that owned them has ended (called by `run`)."""
    with _Registry.lock:
        _Registry.run = None
        _Registry.entries = {}


def _closed_error() -> ClosedResourceError:
    return ClosedResourceError("the descriptor was closed while waiting on it")


class _IoSlot(_Slot):
    """One park on a registration's direction; a task's `_Slot` on the direction's reused event
    instead of a fresh one."""

    __slots__ = ()

    def __init__(self, task: Any, event: Any) -> None:
        self.task = task
        self.event = event
        self.fired = False
        self.value: Any = None
        self.error: BaseException | None = None
        self.abort_requested = False


def check_ready(entry: _Registration, direction: int, task: Any = None) -> Any:
    """The part of `ready` that needs no wait: None if `direction` is ready now, else the calling
    task (`task`, if the caller knows it already), which must then ``await park(task, entry,
    direction)``.  Raises as `ready` does."""
    if task is None:
        task = _current_task.get()
        if task is None:
            raise RuntimeError("this must be called from inside a quorlin task")
    if entry.closed:
        if task._evaluate(_INF)[0]:
            raise Cancelled()
        raise _closed_error()
    if (entry.arm_r if direction == READ else entry.arm_w)(_probe):
        if task._evaluate(_INF)[0]:
            raise Cancelled()
        if entry.closed:
            raise _closed_error()
        return None
    # Not ready: the park looks at cancellation (and closing) before it waits.
    return task


async def ready(entry: _Registration, direction: int) -> None:
    """Returns once `direction` of `entry` is ready, at once if the driver already reported it.

    Raises `Cancelled` if the calling task is cancelled (even when ready), `ClosedResourceError`
    if the descriptor was closed through `notify_closing`.
    """
    task = check_ready(entry, direction)
    if task is not None:
        await park(task, entry, direction, None)


async def park(task: Any, entry: _Registration, direction: int, level_fd: int | None = None) -> None:
    """Waits for `direction` of `entry` after `check_ready` found it not ready; with `level_fd`,
    asks the kernel about that descriptor once before the first wait."""
    # Locks are taken by acquire and release rather than with: this runs for every message.
    entry_lock = entry.lock
    entry_lock.acquire()
    try:
        if entry.closed:
            raise _closed_error()
        other = entry.waiting[direction]
        if other is None:
            event = entry.events[direction]
            if event is None:
                event = entry.events[direction] = _NativeEvent()
                entry.setters[direction] = event.set
            slot = entry.waiting[direction] = _IoSlot(task, event)
    finally:
        entry_lock.release()
    if other is not None:
        # Our probe may have replaced the other task's armed callback: kick it so it arms again.
        _kick(other)
        if task._evaluate(_INF)[0]:
            raise Cancelled()
        raise BusyResourceError(f"another task is already waiting for descriptor {entry.fd} to be ready for "
                                f"{_DIRECTION_NAMES[direction]}")
    if direction == READ:
        arm = entry.arm_r
    else:
        arm = entry.arm_w
    setter = entry.setters[direction]
    lock = task._lock
    woken = False
    try:
        while True:
            # Woken by a report (the usual case) or by a kick: if the direction is ready now, this
            # wait is done without another event.  A kick that brings cancellation then shows at
            # the task's next checkpoint, as it would had the report come first.
            if woken and arm(_probe):
                break
            woken = True
            lock.acquire()
            try:
                if slot.fired:
                    break
                task._slot = slot
                # Set by a report for an earlier arm, or a kick, before this look: whatever it
                # announced is looked at below (the cancellation) or by the arm (readiness).
                event.clear()
                cancelled, wake_at, now = task._evaluate(_INF)
                if cancelled:
                    slot.fired = True
                    slot.error = Cancelled()
                    break
                timeout_us = None
                if wake_at != _INF:
                    timeout_us = min(max(math.ceil((wake_at - now) * 1e6), 0), _MAX_WAIT_US)
            finally:
                lock.release()
            if arm(setter):
                break
            if level_fd is not None:
                ready_now = _level_ready(level_fd, direction)
                level_fd = None
                if ready_now:
                    break
            _refill_budget(task)
            await event.waiter(timeout_us)
    finally:
        lock.acquire()
        slot.fired = True  # a fire by `notify_closing` keeps its error
        if task._slot is slot:
            task._slot = None
        lock.release()
        # Only this park puts `slot` here and only it takes it away; a task that wants the
        # direction meanwhile finds it taken (under the lock) and gives up.
        if entry.waiting[direction] is slot:
            entry.waiting[direction] = None
    error = slot.error
    if error is not None:
        slot.error = None
        raise error
    if entry.closed:
        raise _closed_error()


def _kick(slot: _IoSlot) -> None:
    with slot.task._lock:
        if not slot.fired:
            slot.event.set()


def _level_ready(fd: int, direction: int) -> bool:
    poller = select.poll()
    poller.register(fd, _POLL_MASKS[direction])
    return bool(poller.poll(0))


async def wait_level(entry: _Registration, direction: int) -> None:
    """Returns once the kernel says `direction` of `entry` is ready (level)."""
    task = current_task()
    await _spend_budget(task)
    task._raise_if_cancelled()
    while True:
        # Readiness the driver remembers may be stale (the caller may have drained the descriptor
        # since): drop it unless a report arrived after it was last seen, and ask the kernel as well.
        entry.clear(direction)
        await park(task, entry, direction, entry.fd)
        # A report can reach the driver after the kernel already showed the caller what it
        # announces (the look before the wait saw the data first); the caller may have drained the
        # descriptor since.  Such a report alone does not end the wait.
        if _level_ready(entry.fd, direction):
            return


async def _wait_public(fd: Any, direction: int) -> None:
    current_task()._raise_if_cancelled()
    await wait_level(registration(_descriptor(fd)), direction)


async def wait_readable(fd: Any) -> None:
    """Blocks until `fd` (a descriptor or an object with ``fileno()``) is readable.

    Returns at once when data (or end of file, or an error) is already waiting.  Only one task may
    wait for a descriptor to become readable at a time (`BusyResourceError` otherwise).  The wait is
    cancellable; `notify_closing(fd)` from another task or thread ends it with
    `ClosedResourceError`.  The descriptor must be non-blocking for reads to be of use afterwards.
    """
    await _wait_public(fd, READ)


async def wait_writable(fd: Any) -> None:
    """Blocks until `fd` is writable; otherwise like `wait_readable`."""
    await _wait_public(fd, WRITE)


def notify_closing(fd: Any) -> None:
    """Announces that `fd` is about to be closed; call it before closing the descriptor.

    Tasks waiting on the descriptor wake with `ClosedResourceError`, and its registration with the
    I/O driver ends, so that a later descriptor with the same number starts afresh.  Safe from any
    thread; does nothing for a descriptor nobody waited on.
    """
    fd = _descriptor(fd)
    entry = _forget(fd)
    if entry is not None:
        close_registration(entry)


def close_registration(entry: _Registration) -> None:
    """Closes one registration: its parked waiters raise `ClosedResourceError`."""
    with entry.lock:
        if entry.closed:
            return
        entry.closed = True
        parked = [slot for slot in entry.waiting if slot is not None]
    with _Registry.lock:
        if _Registry.entries.get(entry.fd) is entry:
            del _Registry.entries[entry.fd]
    for slot in parked:
        slot.fire(error=_closed_error())
    entry.sio.close()
