"""Exceptions raised by the quorlin package."""

from quorlin import _quorlin

#: Raised inside a task at a checkpoint when a cancel scope around it is cancelled.  It derives
#: from BaseException, so ``except Exception`` does not swallow it; the same class is raised into
#: a thread call that is aborted.
Cancelled = _quorlin.CancelledError


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
