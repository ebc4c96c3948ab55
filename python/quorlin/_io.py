"""Descriptor readiness for tasks: `wait_readable`, `wait_writable`, `notify_closing`.

Each descriptor gets one native `ScheduledIO` per run, made on first use.  A wait arms the
registration with the slot's `fire` (a few microseconds of work on the driver thread) and, because
the native driver is edge-triggered and remembers readiness until it is cleared, first clears what
the previous wait reported and then asks the kernel once (`poll` with timeout 0) so that data left
unread since the last wake-up is seen at once.  One task per descriptor and direction may wait.
"""

from __future__ import annotations

import select
import threading
from typing import Any

from quorlin import _quorlin
from quorlin._core import _always, _Slot, _wait, cancel_shielded_checkpoint, current_task
from quorlin._errors import BusyResourceError, ClosedResourceError

_READ, _WRITE = 0, 1
_POLL_MASKS = (select.POLLIN | select.POLLPRI | select.POLLHUP | select.POLLERR,
               select.POLLOUT | select.POLLHUP | select.POLLERR)


class _Entry:
    __slots__ = ("sio", "waiting")

    def __init__(self, fd: int) -> None:
        self.sio = _quorlin.ScheduledIO(fd)
        self.waiting: list[Any] = [None, None]


class _Registry:
    lock = threading.Lock()
    entries: dict[int, _Entry] = {}
    run: object = None


def _forget_run() -> None:
    """Drops the registrations of a run that ended (its driver has already released them)."""
    with _Registry.lock:
        _Registry.entries = {}
        _Registry.run = None


def _fileno(fd: Any) -> int:
    number = fd if isinstance(fd, int) else fd.fileno()
    if number < 0:
        raise ValueError("a closed descriptor cannot be waited on")
    return number


def _entry(fd: int) -> _Entry:
    from quorlin._run import _current_run

    state = _current_run()
    with _Registry.lock:
        if _Registry.run is not state:  # the previous run's driver dropped its registrations
            _Registry.entries = {}
            _Registry.run = state
        entry = _Registry.entries.get(fd)
        if entry is None:
            entry = _Registry.entries[fd] = _Entry(fd)
        return entry


def _ready_now(fd: int, direction: int) -> bool:
    poller = select.poll()
    poller.register(fd, _POLL_MASKS[direction])
    return bool(poller.poll(0))


async def _wait_for(fd: Any, direction: int) -> None:
    number = _fileno(fd)
    task = current_task()
    task._raise_if_cancelled()
    entry = _entry(number)
    slot = _Slot(task)
    with _Registry.lock:
        if entry.waiting[direction] is not None:
            raise BusyResourceError(f"another task is already waiting for descriptor {number} to become "
                                    f"{'readable' if direction == _READ else 'writable'}")
        entry.waiting[direction] = slot
    try:
        sio = entry.sio
        if direction == _READ:
            sio.clear_r()
            ready = sio._arm_r_cb(slot.fire)
        else:
            sio.clear_w()
            ready = sio._arm_w_cb(slot.fire)
        if ready or _ready_now(number, direction):
            await cancel_shielded_checkpoint()
            return
        await _wait(slot, _always)
    finally:
        with _Registry.lock:
            if entry.waiting[direction] is slot:
                entry.waiting[direction] = None


async def wait_readable(fd: Any) -> None:
    """Waits until `fd` (a descriptor number or an object with `fileno()`) is readable."""
    await _wait_for(fd, _READ)


async def wait_writable(fd: Any) -> None:
    """Waits until `fd` is writable."""
    await _wait_for(fd, _WRITE)


def notify_closing(fd: Any) -> None:
    """Call before closing `fd`: tasks waiting on it raise ClosedResourceError and its
    registration is dropped, so a later descriptor with the same number starts afresh."""
    number = _fileno(fd)
    with _Registry.lock:
        entry = _Registry.entries.pop(number, None)
        slots = [] if entry is None else [slot for slot in entry.waiting if slot is not None]
    for slot in slots:
        slot.fire(None, ClosedResourceError(f"descriptor {number} was closed while a task waited on it"))
    if entry is not None:
        entry.sio.close()
