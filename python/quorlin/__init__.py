"""quorlin: a multi-threaded event-loop runtime for Python coroutines on free-threaded CPython.

Tasks run in parallel on every worker thread.  The API follows trio and anyio: `run`, task
groups, level-triggered cancel scopes, FIFO-fair primitives and memory channels, all of them safe
to use from any thread.
"""

from quorlin import _quorlin
from quorlin._channels import MemoryReceiveChannel, MemorySendChannel, open_memory_channel
from quorlin._core import (
    CancelScope,
    Task,
    TaskGroup,
    TaskStatus,
    TASK_STATUS_IGNORED,
    checkpoint,
    current_effective_deadline,
    current_task,
    current_time,
    fail_after,
    fail_at,
    gather,
    move_on_after,
    move_on_at,
    open_nursery,
    sleep,
    sleep_forever,
    sleep_until,
)
from quorlin._errors import (
    BrokenResourceError,
    BusyResourceError,
    Cancelled,
    ClosedResourceError,
    EndOfChannel,
    RunFinishedError,
    TaskCancelledError,
    WouldBlock,
)
from quorlin._run import configure, run
from quorlin._signals import open_signal_receiver
from quorlin._streams import (
    SocketListener,
    SocketStream,
    open_tcp_listeners,
    open_tcp_stream,
    open_unix_socket,
    serve_listeners,
    serve_tcp,
)
from quorlin._sync import CapacityLimiter, Condition, Event, Lock, Semaphore
from quorlin import abc, from_thread, lowlevel, socket, to_thread  # noqa: E402  (submodules)

__version__ = _quorlin.__version__

__all__ = [
    "BrokenResourceError",
    "BusyResourceError",
    "CancelScope",
    "Cancelled",
    "CapacityLimiter",
    "ClosedResourceError",
    "Condition",
    "EndOfChannel",
    "Event",
    "Lock",
    "MemoryReceiveChannel",
    "MemorySendChannel",
    "RunFinishedError",
    "Semaphore",
    "SocketListener",
    "SocketStream",
    "TASK_STATUS_IGNORED",
    "Task",
    "TaskCancelledError",
    "TaskGroup",
    "TaskStatus",
    "WouldBlock",
    "abc",
    "checkpoint",
    "configure",
    "current_effective_deadline",
    "current_task",
    "current_time",
    "fail_after",
    "fail_at",
    "from_thread",
    "gather",
    "lowlevel",
    "move_on_after",
    "move_on_at",
    "open_memory_channel",
    "open_nursery",
    "open_signal_receiver",
    "open_tcp_listeners",
    "open_tcp_stream",
    "open_unix_socket",
    "run",
    "serve_listeners",
    "serve_tcp",
    "sleep",
    "sleep_forever",
    "sleep_until",
    "socket",
    "to_thread",
]
