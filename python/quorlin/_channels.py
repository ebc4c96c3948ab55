"""Memory channels: a thread-safe, FIFO, optionally buffered queue with cloneable ends.

Both ends work from tasks (`send`, `receive`, async iteration) and from plain threads
(`send_blocking`, `receive_blocking`).  An item goes either into the buffer or straight to the
oldest waiting receiver, decided under the channel's lock, so every item is received exactly once
even when receivers time out or are cancelled at the same moment.
"""

from __future__ import annotations

import collections
import math
import threading
from typing import Any, Generic, TypeVar

from quorlin._core import (
    _check_count,
    _running_task_code,
    _Slot,
    _ThreadSlot,
    _wait,
    cancel_shielded_checkpoint,
    checkpoint,
    current_task,
)
from quorlin._errors import BrokenResourceError, ClosedResourceError, EndOfChannel, WouldBlock

T = TypeVar("T")


class _State:
    __slots__ = ("lock", "max_buffer_size", "buffer", "send_waiters", "receive_waiters", "open_send", "open_receive")

    def __init__(self, max_buffer_size: int | float) -> None:
        self.lock = threading.Lock()
        self.max_buffer_size = max_buffer_size
        self.buffer: collections.deque[Any] = collections.deque()
        self.send_waiters: dict[Any, Any] = {}  # slot -> (endpoint, value)
        self.receive_waiters: dict[Any, Any] = {}  # slot -> endpoint
        self.open_send = 1
        self.open_receive = 1

    def statistics(self) -> dict[str, Any]:
        return {
            "current_buffer_used": len(self.buffer),
            "max_buffer_size": self.max_buffer_size,
            "open_send_channels": self.open_send,
            "open_receive_channels": self.open_receive,
            "tasks_waiting_send": len(self.send_waiters),
            "tasks_waiting_receive": len(self.receive_waiters),
        }


def _refuse_inside_task(what: str) -> None:
    if _running_task_code():
        raise RuntimeError(f"{what} blocks its thread; inside a task use the async method instead")


class _ChannelEnd:
    """What both ends share: closing as a context manager, `aclose`, and statistics."""

    __slots__ = ()
    _state: _State

    def close(self) -> None:
        raise NotImplementedError

    async def aclose(self) -> None:
        self.close()
        await checkpoint()

    def __enter__(self) -> Any:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    async def __aenter__(self) -> Any:
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        self.close()

    def statistics(self) -> dict[str, Any]:
        with self._state.lock:
            return self._state.statistics()


class MemorySendChannel(_ChannelEnd, Generic[T]):
    """The sending end of a memory channel."""

    __slots__ = ("_state", "_closed")

    def __init__(self, state: _State) -> None:
        self._state = state
        self._closed = False

    def __repr__(self) -> str:
        return f"<MemorySendChannel {'closed' if self._closed else 'open'} {self._state.statistics()}>"

    def _offer_locked(self, value: Any) -> Any:
        """Places `value` without waiting; returns the receiver slot to fire, True, or raises."""
        state = self._state
        if self._closed:
            raise ClosedResourceError("this send channel is closed")
        if state.open_receive == 0:
            raise BrokenResourceError("every receive channel is closed")
        if state.receive_waiters:
            slot = next(iter(state.receive_waiters))
            del state.receive_waiters[slot]
            return slot
        if len(state.buffer) < state.max_buffer_size:
            state.buffer.append(value)
            return True
        return None

    def send_nowait(self, value: T) -> None:
        """Sends at once or raises WouldBlock (also BrokenResourceError, ClosedResourceError)."""
        with self._state.lock:
            placed = self._offer_locked(value)
        if placed is None:
            raise WouldBlock
        if placed is not True:
            placed.fire(value)

    async def send(self, value: T) -> None:
        """Sends `value`, waiting for buffer space or a receiver (a checkpoint)."""
        task = current_task()
        task._raise_if_cancelled()
        state = self._state
        with state.lock:
            placed = self._offer_locked(value)
            if placed is None:
                slot = _Slot(task)
                state.send_waiters[slot] = (self, value)
        if placed is not None:
            if placed is not True:
                placed.fire(value)
            await cancel_shielded_checkpoint()
            return
        await _wait(slot, None, math.inf, self)

    def send_blocking(self, value: T, timeout: float | None = None) -> None:
        """`send` for plain threads; raises TimeoutError if `timeout` seconds pass first."""
        _refuse_inside_task("send_blocking()")
        state = self._state
        with state.lock:
            placed = self._offer_locked(value)
            if placed is None:
                slot = _ThreadSlot()
                state.send_waiters[slot] = (self, value)
        if placed is not None:
            if placed is not True:
                placed.fire(value)
            return
        if not slot.wait(timeout, lambda: self._withdraw(slot)):
            raise TimeoutError("send_blocking() timed out")
        slot.result()

    def _withdraw(self, slot: Any) -> bool:
        with self._state.lock:
            return self._state.send_waiters.pop(slot, None) is not None

    def clone(self) -> MemorySendChannel[T]:
        """Another sending end of the same channel; the channel ends when every end is closed."""
        with self._state.lock:
            if self._closed:
                raise ClosedResourceError("this send channel is closed")
            self._state.open_send += 1
        return MemorySendChannel(self._state)

    def close(self) -> None:
        """Closes this end; when it was the last sending end, receivers get EndOfChannel."""
        state = self._state
        wake = []
        with state.lock:
            if self._closed:
                return
            self._closed = True
            for slot, (endpoint, _) in list(state.send_waiters.items()):
                if endpoint is self:
                    del state.send_waiters[slot]
                    wake.append((slot, ClosedResourceError("the send channel was closed while sending")))
            state.open_send -= 1
            if state.open_send == 0:
                for slot in state.receive_waiters:
                    wake.append((slot, EndOfChannel()))
                state.receive_waiters.clear()
        for slot, error in wake:
            slot.fire(None, error)



class MemoryReceiveChannel(_ChannelEnd, Generic[T]):
    """The receiving end of a memory channel; ``async for item in channel:`` until EndOfChannel."""

    __slots__ = ("_state", "_closed")

    def __init__(self, state: _State) -> None:
        self._state = state
        self._closed = False

    def __repr__(self) -> str:
        return f"<MemoryReceiveChannel {'closed' if self._closed else 'open'} {self._state.statistics()}>"

    def _take_locked(self) -> tuple[bool, Any, Any]:
        """Takes an item without waiting: (got, value, sender slot to fire or None)."""
        state = self._state
        if self._closed:
            raise ClosedResourceError("this receive channel is closed")
        if state.buffer:
            value = state.buffer.popleft()
            sender = None
            if state.send_waiters:
                sender = next(iter(state.send_waiters))
                state.buffer.append(state.send_waiters.pop(sender)[1])
            return True, value, sender
        if state.send_waiters:
            sender = next(iter(state.send_waiters))
            return True, state.send_waiters.pop(sender)[1], sender
        if state.open_send == 0:
            raise EndOfChannel
        return False, None, None

    def receive_nowait(self) -> T:
        """Receives at once or raises WouldBlock (EndOfChannel when every sender is closed)."""
        with self._state.lock:
            got, value, sender = self._take_locked()
        if not got:
            raise WouldBlock
        if sender is not None:
            sender.fire()
        return value

    async def receive(self) -> T:
        """Receives the next item, waiting if there is none (a checkpoint)."""
        task = current_task()
        task._raise_if_cancelled()
        state = self._state
        with state.lock:
            got, value, sender = self._take_locked()
            if not got:
                slot = _Slot(task)
                state.receive_waiters[slot] = self
        if got:
            if sender is not None:
                sender.fire()
            await cancel_shielded_checkpoint()
            return value
        return await _wait(slot, None, math.inf, self)

    def receive_blocking(self, timeout: float | None = None) -> T:
        """`receive` for plain threads; raises TimeoutError if `timeout` seconds pass first."""
        _refuse_inside_task("receive_blocking()")
        state = self._state
        with state.lock:
            got, value, sender = self._take_locked()
            if not got:
                slot = _ThreadSlot()
                state.receive_waiters[slot] = self
        if got:
            if sender is not None:
                sender.fire()
            return value
        if not slot.wait(timeout, lambda: self._withdraw(slot)):
            raise TimeoutError("receive_blocking() timed out")
        return slot.result()

    def _withdraw(self, slot: Any) -> bool:
        with self._state.lock:
            return self._state.receive_waiters.pop(slot, None) is not None

    def clone(self) -> MemoryReceiveChannel[T]:
        """Another receiving end; items are shared out among all receiving ends."""
        with self._state.lock:
            if self._closed:
                raise ClosedResourceError("this receive channel is closed")
            self._state.open_receive += 1
        return MemoryReceiveChannel(self._state)

    def close(self) -> None:
        """Closes this end; when it was the last receiving end, senders get BrokenResourceError and
        the buffer is dropped."""
        state = self._state
        wake = []
        with state.lock:
            if self._closed:
                return
            self._closed = True
            for slot, endpoint in list(state.receive_waiters.items()):
                if endpoint is self:
                    del state.receive_waiters[slot]
                    wake.append((slot, ClosedResourceError("the receive channel was closed while receiving")))
            state.open_receive -= 1
            if state.open_receive == 0:
                for slot in state.send_waiters:
                    wake.append((slot, BrokenResourceError("every receive channel is closed")))
                state.send_waiters.clear()
                state.buffer.clear()
        for slot, error in wake:
            slot.fire(None, error)

    def __aiter__(self) -> MemoryReceiveChannel[T]:
        return self

    async def __anext__(self) -> T:
        try:
            return await self.receive()
        except EndOfChannel:
            raise StopAsyncIteration from None



def open_memory_channel(max_buffer_size: int | float) -> tuple[MemorySendChannel[Any], MemoryReceiveChannel[Any]]:
    """Returns ``(send, receive)`` ends of a new channel buffering up to `max_buffer_size` items
    (0: every send waits for a receiver; `math.inf`: unbounded)."""
    _check_count(max_buffer_size, "max_buffer_size", 0, True)
    state = _State(max_buffer_size)
    return MemorySendChannel(state), MemoryReceiveChannel(state)
