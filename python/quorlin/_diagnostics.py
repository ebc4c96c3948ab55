"""Task-tree dumps and run statistics."""

from __future__ import annotations

import dataclasses
import sys
from collections.abc import Iterator
from typing import Any, TextIO

from quorlin._core import Task


def _children(task: Task[Any]) -> Iterator[tuple[Any, list[Task[Any]]]]:
    for group in list(task._groups or ()):
        yield group, group._members()


def _walk(task: Task[Any]) -> Iterator[Task[Any]]:
    stack = [task]
    while stack:
        current = stack.pop()
        yield current
        for _, members in _children(current):
            stack.extend(members)


def _await_stack(coro: Any) -> list[str]:
    lines = []
    while coro is not None:
        frame = getattr(coro, "cr_frame", None) or getattr(coro, "gi_frame", None)
        if frame is None:
            break
        code = frame.f_code
        lines.append(f"{code.co_qualname} ({code.co_filename}:{frame.f_lineno})")
        coro = getattr(coro, "cr_await", None) or getattr(coro, "gi_yieldfrom", None)
    return lines


def _parked_stack(task: Task[Any]) -> list[str] | None:
    """The await stack of a parked task, or None if it is running or queued to run.

    Only a coroutine that no thread is stepping may be looked at: its frames and the value stack
    `cr_await` reads change under a step.  The task stays suspended while the stack is read.
    """
    stepped = task._stepped
    if stepped is None:  # not started yet
        return None

    def read() -> list[str] | None:
        coro = task._coro
        if task._slot is None or coro is None:
            return None
        return _await_stack(coro)

    return stepped.inspect_idle(read)


def _roots() -> list[Task[Any]]:
    from quorlin._run import _current_run

    state = _current_run()
    roots = [state.root] if state.root is not None else []
    group = state.system_group
    if group is not None and group._owner is not None:
        roots.append(group._owner)
    return roots


def dump_tasks(file: TextIO | None = None) -> str:
    """Writes the task tree of the run in progress to `file` (default: stderr) and returns it.

    Parked tasks show where they wait; tasks that are running or queued show "running".
    """
    out: list[str] = []

    def visit(task: Task[Any], depth: int) -> None:
        pad = "  " * depth
        stack = None if task._finished else _parked_stack(task)
        state = "done" if task._finished else ("parked" if stack is not None else "running")
        out.append(f"{pad}{task.name} [{state}]")
        for line in stack or ():
            out.append(f"{pad}    at {line}")
        for group, members in _children(task):
            out.append(f"{pad}  task group ({len(members)} tasks)")
            for member in members:
                visit(member, depth + 2)

    for root in _roots():
        visit(root, 0)
    text = "\n".join(out) + "\n"
    (file if file is not None else sys.stderr).write(text)
    return text


@dataclasses.dataclass(frozen=True)
class RunStatistics:
    """A snapshot of the run in progress, as `statistics()` takes it.

    Fields are also readable by key (``stats["tasks_living"]``), as when this was a dict.
    """

    #: Tasks started and not finished.
    tasks_living: int
    #: Of those, the ones that are running or queued to run (not parked).
    tasks_runnable: int
    #: Of those, the ones that are parked.
    tasks_parked: int
    #: Tasks parked until a descriptor is ready.
    io_waits: int
    #: `to_thread.run_sync` calls in flight.
    blocking_calls: int
    #: The default thread limiter's statistics.
    thread_limiter: dict[str, Any]
    #: The runtime's configuration.
    configuration: dict[str, Any]

    @property
    def tasks_running_or_runnable(self) -> int:
        """`tasks_runnable` under its older name."""
        return self.tasks_runnable

    def __getitem__(self, key: str) -> Any:
        if not isinstance(key, str) or key.startswith("_") or key not in _STATISTICS_KEYS:
            raise KeyError(key)
        return getattr(self, key)


_STATISTICS_KEYS = frozenset(field.name for field in dataclasses.fields(RunStatistics)) | {"tasks_running_or_runnable"}


def statistics() -> RunStatistics:
    """Counts for the run in progress: tasks (parked and running or runnable), tasks waiting for a
    descriptor, blocking calls in flight, the default thread limiter and the configuration."""
    from quorlin._run import _current_run
    from quorlin.to_thread import current_default_thread_limiter

    state = _current_run()
    living = parked = 0
    for root in _roots():
        for task in _walk(root):
            if task._finished:
                continue
            living += 1
            parked += task._slot is not None
    with state.lock:
        blocking = state.blocking_calls
    from quorlin._io import _Registry

    with _Registry.lock:
        io_waits = sum(slot is not None for entry in _Registry.entries.values() for slot in entry.waiting)
    return RunStatistics(
        tasks_living=living,
        tasks_runnable=living - parked,
        tasks_parked=parked,
        io_waits=io_waits,
        blocking_calls=blocking,
        thread_limiter=current_default_thread_limiter().statistics(),
        configuration=state.config.as_dict(),
    )
