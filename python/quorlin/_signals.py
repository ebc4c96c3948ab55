"""`open_signal_receiver`: signals of the run delivered to a task as an async iterator."""

from __future__ import annotations

import threading
from collections.abc import Iterator
from contextlib import contextmanager


from quorlin._core import ParkingLot


class SignalReceiver:
    """Async iterator of signal numbers.  Repeated signals that are not yet consumed coalesce."""

    __slots__ = ("_lock", "_pending", "_lot", "_closed")

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._pending: dict[int, None] = {}
        self._lot = ParkingLot()
        self._closed = False

    def _deliver(self, signum: int) -> None:
        with self._lock:
            self._pending[signum] = None
        self._lot.unpark()

    def _has_pending(self) -> bool:
        return bool(self._pending) or self._closed

    def __aiter__(self) -> SignalReceiver:
        return self

    async def __anext__(self) -> int:
        while True:
            with self._lock:
                if self._pending:
                    signum = next(iter(self._pending))
                    del self._pending[signum]
                    return signum
                if self._closed:
                    raise StopAsyncIteration
            await self._lot._park_unless(self._has_pending)


@contextmanager
def open_signal_receiver(*signums: int) -> Iterator[SignalReceiver]:
    """``with open_signal_receiver(signal.SIGTERM) as signals: async for signum in signals: ...``

    Only signals the run handles (`run(signals=...)`) can be received.  While a receiver for
    SIGINT is open, Ctrl-C goes to it instead of cancelling the run.
    """
    from quorlin._run import _current_run

    if not signums:
        raise TypeError("open_signal_receiver() needs at least one signal")
    state = _current_run()
    numbers = [int(sig) for sig in signums]
    for number in numbers:
        if number not in state.config.signals:
            raise ValueError(
                f"signal {number} is not handled by this run; pass it to run(signals=...) or configure()"
            )
    receiver = SignalReceiver()
    with state.lock:
        for number in numbers:
            state.receivers.setdefault(number, []).append(receiver)
    try:
        yield receiver
    finally:
        with state.lock:
            for number in numbers:
                receivers = state.receivers.get(number, [])
                if receiver in receivers:
                    receivers.remove(receiver)
        with receiver._lock:
            receiver._closed = True
        receiver._lot.unpark_all()


