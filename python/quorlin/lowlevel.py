"""Low-level building blocks and diagnostics."""

from quorlin._core import (
    ParkingLot,
    Task,
    cancel_shielded_checkpoint,
    checkpoint_if_cancelled,
    current_task,
)
from quorlin._diagnostics import RunStatistics, dump_tasks, statistics
from quorlin._io import notify_closing, wait_readable, wait_writable
from quorlin._run import current_root_task, runtime_configuration

__all__ = [
    "ParkingLot",
    "RunStatistics",
    "Task",
    "cancel_shielded_checkpoint",
    "checkpoint_if_cancelled",
    "current_root_task",
    "current_task",
    "dump_tasks",
    "notify_closing",
    "runtime_configuration",
    "statistics",
    "wait_readable",
    "wait_writable",
]
