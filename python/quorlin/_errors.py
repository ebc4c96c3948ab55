"""Exceptions raised by the quorlin package."""

from __future__ import annotations

from quorlin import _quorlin


class Cancelled(_quorlin.CancelledError):
    """Raised inside a task at a checkpoint when a cancel scope around it is cancelled.

    It derives from BaseException, so ``except Exception`` does not swallow it, and from the native
    core's CancelledError, so ``except Cancelled`` written for the core's own aborts still matches
    once the package has converted them.  `source` says why: ``"deadline"`` (a scope's deadline
    passed), ``"explicit"`` (``CancelScope.cancel()`` or ``Task.cancel()``), ``"nursery"`` (a
    child of a task group failed) or ``"unknown"``; `reason` is the text given to ``cancel()`` (or
    what the failing child raised), and `source_task` names the task that cancelled, if any.
    """

    __module__ = "quorlin"

    def __init__(self, source: str = "unknown", reason: str | None = None, source_task: str | None = None) -> None:
        super().__init__(source, reason, source_task)
        self.source = source
        self.reason = reason
        self.source_task = source_task

    def __str__(self) -> str:
        text = f"cancelled due to {self.source}"
        if self.reason is not None:
            text += f" with reason {self.reason!r}"
        if self.source_task is not None:
            text += f" from task {self.source_task}"
        return text

    def __reduce__(self) -> tuple[type, tuple[str, str | None, str | None]]:
        return type(self), (self.source, self.reason, self.source_task)


def as_cancelled(error: BaseException) -> BaseException:
    """`error`, or a package `Cancelled` in its place when it is the native core's CancelledError."""
    if type(error) is _quorlin.CancelledError:
        converted = Cancelled("unknown", str(error) or None)
        converted.__traceback__ = error.__traceback__
        converted.__context__ = error.__context__
        return converted
    return error


class ClosedResourceError(Exception):
    """The resource was closed by this side (for example a channel end after ``close()``)."""


class BrokenResourceError(Exception):
    """The resource can no longer be used because the other side went away."""


class BusyResourceError(Exception):
    """Another task is already using this resource in a way that excludes a second user."""


class EndOfChannel(Exception):
    """Every sending end of the channel is closed and its buffer is empty."""


class WouldBlock(Exception):
    """A ``*_nowait`` operation could not complete at once."""


class RunFinishedError(RuntimeError):
    """A call from a plain thread found no run in progress (or the run ended before it finished)."""


class TaskCancelledError(RuntimeError):
    """Raised when the result of a task that ended cancelled is asked for."""
