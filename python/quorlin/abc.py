"""Abstract interfaces for byte streams and listeners, so that protocol code can work on any of them.

A `Stream` sends with `send_all` and receives with `receive_some`; a `HalfCloseableStream` can
also end its sending side with `send_eof`; a `Listener` hands out new streams from `accept`.  All
of them are async resources: ``async with`` closes them.
"""

from __future__ import annotations

from abc import ABC, abstractmethod
from typing import Any, Generic, TypeVar

T = TypeVar("T")


class AsyncResource(ABC):
    """Something that must be closed with ``await aclose()`` (or ``async with``)."""

    __slots__ = ()

    @abstractmethod
    async def aclose(self) -> None:
        """Closes the resource.  Idempotent; it closes even if the calling task is cancelled."""

    async def __aenter__(self: Any) -> Any:
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        await self.aclose()


class SendStream(AsyncResource):
    """A stream that bytes can be sent into."""

    __slots__ = ()

    @abstractmethod
    async def send_all(self, data: bytes | bytearray | memoryview) -> None:
        """Sends all of `data`.  Raises `BusyResourceError` if another task is sending,
        `ClosedResourceError` once this stream was closed, `BrokenResourceError` if the other side
        went away."""

    @abstractmethod
    async def wait_send_all_might_not_block(self) -> None:
        """Waits until a `send_all` would probably not block."""


class ReceiveStream(AsyncResource):
    """A stream that bytes can be received from; ``async for chunk in stream`` reads to the end."""

    __slots__ = ()

    @abstractmethod
    async def receive_some(self, max_bytes: int | None = None) -> bytes | bytearray:
        """Receives at most `max_bytes` (at least one) bytes; b"" means end of stream.  Raises
        `BusyResourceError` if another task is receiving, `ClosedResourceError` once this stream
        was closed, `BrokenResourceError` if the other side went away."""

    def __aiter__(self) -> ReceiveStream:
        return self

    async def __anext__(self) -> bytes | bytearray:
        data = await self.receive_some()
        if not data:
            raise StopAsyncIteration
        return data


class Stream(SendStream, ReceiveStream):
    """A bidirectional byte stream."""

    __slots__ = ()


class HalfCloseableStream(Stream):
    """A stream whose sending side can be closed on its own."""

    __slots__ = ()

    @abstractmethod
    async def send_eof(self) -> None:
        """Tells the other side that no more data will be sent; receiving still works."""


class Listener(AsyncResource, Generic[T]):
    """A source of incoming connections."""

    __slots__ = ()

    @abstractmethod
    async def accept(self) -> T:
        """Waits for the next connection and returns it as a stream."""


__all__ = ["AsyncResource", "HalfCloseableStream", "Listener", "ReceiveStream", "SendStream", "Stream"]
