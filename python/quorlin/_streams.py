"""Socket streams and listeners, and the helpers that open and serve them over TCP and Unix sockets.

Error mapping: a `SocketStream` speaks in stream terms.  A failure of the connection while sending
or receiving (a reset, a broken pipe, any other `OSError`) raises `BrokenResourceError`, with the
operating system's error as its ``__cause__``; using a stream after `aclose` raises
`ClosedResourceError`.  Opening a connection is not a stream operation: `open_tcp_stream` and
`open_unix_socket` raise the operating system's error itself, such as `ConnectionRefusedError`.
"""

from __future__ import annotations

import errno
import logging
import math
import select
import threading
from collections.abc import Awaitable, Callable
from typing import Any

from quorlin import socket as qsocket
from quorlin._io import READ as _READ, check_ready as _check_ready, park as _park
from quorlin._run import _Process
from quorlin._core import (
    TASK_STATUS_IGNORED,
    TaskGroup,
    _budget_spent,
    _current_task,
    _yield_to_runtime,
    cancel_shielded_checkpoint,
    checkpoint,
    sleep,
)
from quorlin._errors import BrokenResourceError, BusyResourceError, Cancelled, ClosedResourceError
from quorlin.abc import HalfCloseableStream, Listener

_DEFAULT_RECEIVE_SIZE = 65536
_INF = math.inf
# The kernel caps the backlog at net.core.somaxconn; ask for the most it may give.
_DEFAULT_BACKLOG = 0xFFFF
# Running out of descriptors or memory while accepting: wait this long and try again.
_ACCEPT_RETRY_DELAY = 0.1
_ACCEPT_CAPACITY_ERRNOS = frozenset({errno.EMFILE, errno.ENFILE, errno.ENOMEM, errno.ENOBUFS})
# Errors about one failed incoming connection, not about the listener: accept the next one.
_ACCEPT_IGNORED_ERRNOS = frozenset(
    getattr(errno, name)
    for name in ("EPERM", "ECONNABORTED", "EPROTO", "ENETDOWN", "ENOPROTOOPT", "EHOSTDOWN", "ENONET",
                 "EHOSTUNREACH", "EOPNOTSUPP", "ENETUNREACH")
    if hasattr(errno, name)
)

_log = logging.getLogger("quorlin.serve_listeners")

# Data, end of stream or an error: what makes a receive return at once.
_READ_POLL_MASK = select.POLLIN | select.POLLPRI | select.POLLHUP | select.POLLERR


async def _raise(error: BaseException) -> Any:
    """Raises `error` when awaited, as the coroutine of a method that refused its arguments would."""
    raise error


class _Guard:
    """Refuses a second concurrent user of one direction of a stream.

    The right to use the direction is one token in a list: taking it is `pop`, giving it back is
    `append`, each atomic on its own (the list's lock), and both cheaper than a lock's acquire,
    which parses its arguments.  It is only ever tried, never waited on, so holding it across an
    await blocks nobody, and the thread where the task resumes may give it back.
    """

    __slots__ = ("_token", "_message")

    def __init__(self, message: str) -> None:
        self._token = [True]
        self._message = message

    def __enter__(self) -> None:
        try:
            self._token.pop()
        except IndexError:
            raise BusyResourceError(self._message) from None

    def __exit__(self, *exc_info: Any) -> None:
        self._token.append(True)


class _InUse:
    """One operation's use of one direction of a stream: that direction's guard, and, once the
    stream was closed, the close of the descriptor that the closing left to the last operation
    (see `SocketStream._close_if_idle`).  A guard found taken while the stream closes means the
    stream was closed, not that it is busy."""

    __slots__ = ("_stream", "_guard")

    def __init__(self, stream: SocketStream, guard: _Guard) -> None:
        self._stream = stream
        self._guard = guard

    def __enter__(self) -> None:
        try:
            self._guard.__enter__()
        except BusyResourceError:
            if self._stream._closed:  # the closing of the stream held the side for a moment
                raise ClosedResourceError("this stream was closed") from None
            raise

    def __exit__(self, exc_type: Any, exc: Any, traceback: Any) -> None:
        self._guard.__exit__()
        stream = self._stream
        if stream._closed:
            stream._close_if_idle()
            if exc_type is BusyResourceError:
                raise ClosedResourceError("this stream was closed") from None


class _StreamErrors:
    """Turns socket errors into stream errors (see the module's docstring)."""

    __slots__ = ()

    def __enter__(self) -> None:
        return None

    def __exit__(self, etype: Any, exc: BaseException | None, tb: Any) -> bool:
        if isinstance(exc, OSError):
            raise _stream_error(exc) from (None if exc.errno == errno.EBADF else exc)
        return False


def _stream_error(exc: OSError) -> BaseException:
    if exc.errno == errno.EBADF:
        return ClosedResourceError("this stream was closed")
    return BrokenResourceError(f"the connection broke: {exc}")


_stream_errors = _StreamErrors()


class SocketStream(HalfCloseableStream):
    """A `HalfCloseableStream` over a connected stream socket (TCP or Unix).

    TCP streams have Nagle's algorithm turned off (TCP_NODELAY), because `send_all` hands each
    message to the kernel whole.  One task may send while another receives.
    """

    __slots__ = ("socket", "_send_guard", "_receive_guard", "_closed", "_close_lock", "_drained", "_poll")

    def __init__(self, socket: qsocket.SocketType) -> None:
        if not isinstance(socket, qsocket.SocketType):
            raise TypeError(f"SocketStream needs a quorlin.socket.SocketType, got {type(socket).__name__}")
        if socket.type != qsocket.SOCK_STREAM:
            raise ValueError("SocketStream needs a SOCK_STREAM socket")
        #: The underlying `quorlin.socket.SocketType`.
        self.socket = socket
        self._send_guard = _Guard("another task is already sending on this stream")
        self._receive_guard = _Guard("another task is already receiving on this stream")
        self._closed = False
        # Taken by whoever tries to close the descriptor once `_closed` is set (`_close_if_idle`).
        self._close_lock = threading.Lock()
        # Receiving side only (under `_receive_guard`): whether the last receive emptied the
        # kernel's buffer, and a poll object for the descriptor, made on first use.
        self._drained = False
        self._poll: Any = None
        if socket.family in (qsocket.AF_INET, qsocket.AF_INET6):
            try:
                socket.setsockopt(qsocket.IPPROTO_TCP, qsocket.TCP_NODELAY, True)
            except OSError:
                pass

    def __repr__(self) -> str:
        return f"<quorlin.SocketStream {self.socket!r}>"

    def _check_open(self) -> None:
        if self._closed:
            raise ClosedResourceError("this stream was closed")

    async def send_all(self, data: bytes | bytearray | memoryview) -> None:
        # The guard and the error mapping of `_Guard` and `_StreamErrors` spelled out, and the
        # first attempt of `SocketType.sendall` inlined: this is the path every message takes.
        guard = self._send_guard
        token = guard._token
        try:
            token.pop()
        except IndexError:
            # Taken by another operation, or for a moment by the closing of the stream.
            if self._closed:
                raise ClosedResourceError("this stream was closed") from None
            raise BusyResourceError(guard._message) from None
        try:
            task = _current_task.get()
            if task is None:
                raise RuntimeError("this must be called from inside a quorlin task")
            if _budget_spent(task):
                await _yield_to_runtime()
            if self._closed:
                raise ClosedResourceError("this stream was closed")
            socket = self.socket
            if socket._did_shutdown_write:
                raise ClosedResourceError("this stream's sending side was closed with send_eof()")
            try:
                if type(data) is bytes and data:
                    if task._evaluate(_INF)[0]:
                        raise Cancelled()
                    try:
                        sent = socket._sock.send(data)
                    except BlockingIOError:
                        sent = 0
                    if sent != len(data):
                        await socket._send_rest(data, sent, 0)
                elif data:
                    await socket.sendall(data)
                else:
                    await checkpoint()
            except OSError as exc:
                raise _stream_error(exc) from (None if exc.errno == errno.EBADF else exc)
        finally:
            token.append(True)
            if self._closed:
                self._close_if_idle()

    async def wait_send_all_might_not_block(self) -> None:
        with _InUse(self, self._send_guard):
            self._check_open()
            with _stream_errors:
                await self.socket.wait_writable()

    async def send_eof(self) -> None:
        with _InUse(self, self._send_guard):
            self._check_open()
            await checkpoint()
            if self.socket.did_shutdown_SHUT_WR:
                return
            with _stream_errors:
                self.socket.shutdown(qsocket.SHUT_WR)

    def receive_some(self, max_bytes: int | None = None) -> Awaitable[bytes]:
        # A plain method that hands back the receiving coroutine itself: one coroutine fewer to
        # make, and to pass through on every suspension and resumption of a waiting receive.
        if max_bytes is None:
            max_bytes = _DEFAULT_RECEIVE_SIZE
        elif max_bytes < 1:
            return _raise(ValueError("max_bytes must be at least 1"))
        return self._receive(max_bytes, False)

    def __anext__(self) -> Awaitable[bytes]:
        return self._receive(_DEFAULT_RECEIVE_SIZE, True)

    async def _receive(self, max_bytes: int, iterating: bool) -> bytes:
        # `SocketType.recv` inlined (and the guard and error mapping spelled out): this is the
        # path every message takes.  `iterating`: raise StopAsyncIteration at the end of the
        # stream instead of returning b"".
        guard = self._receive_guard
        token = guard._token
        try:
            token.pop()
        except IndexError:
            # Taken by another operation, or for a moment by the closing of the stream.
            if self._closed:
                raise ClosedResourceError("this stream was closed") from None
            raise BusyResourceError(guard._message) from None
        try:
            task = _current_task.get()
            if task is None:
                raise RuntimeError("this must be called from inside a quorlin task")
            if _budget_spent(task):
                await _yield_to_runtime()
            if self._closed:
                raise ClosedResourceError("this stream was closed")
            socket = self.socket
            try:
                entry = socket._entry
                if entry is None or entry.closed or entry.run is not _Process.current:
                    entry = socket._registration()
                recv = socket._sock.recv
                while True:
                    if self._drained and not entry.closed:
                        # The last receive took everything the kernel had (a short read), so the
                        # readiness that let it in is most likely used up: ask the kernel before
                        # anything else.  Readiness is taken back only once it says nothing is
                        # waiting; a report that came after the last look stays, and the park
                        # finds it.
                        poll = self._poll
                        if poll is None:
                            poll = self._read_poll()
                        if poll.poll(0):
                            # Data, the end of the stream or an error.  The look also remembers
                            # the report of it, if one came, for a clear after a failed receive.
                            if _check_ready(entry, _READ, task) is not None:
                                if task._evaluate(_INF)[0]:
                                    raise Cancelled()
                            parking = None
                        else:
                            self._drained = False
                            entry.clear_r()
                            parking = task
                    else:
                        parking = _check_ready(entry, _READ, task)
                    if parking is not None:
                        await _park(parking, entry, _READ)
                    try:
                        data = recv(max_bytes)
                    except BlockingIOError:
                        entry.clear_r()
                        continue
                    if len(data) < max_bytes:
                        # A short read of a stream socket took everything there was (b"": the end,
                        # which the kernel keeps reporting as readable).
                        self._drained = True
                        if not data and iterating:
                            raise StopAsyncIteration
                    else:
                        self._drained = False
                    return data
            except OSError as exc:
                raise _stream_error(exc) from (None if exc.errno == errno.EBADF else exc)
        finally:
            token.append(True)
            if self._closed:
                self._close_if_idle()

    def _read_poll(self) -> Any:
        fd = self.socket.fileno()
        if fd == -1:  # the socket itself was closed, not through the stream
            raise OSError(errno.EBADF, "Bad file descriptor")
        poll = self._poll = select.poll()
        poll.register(fd, _READ_POLL_MASK)
        return poll

    async def aclose(self) -> None:
        """Closes the stream.  Operations parked on it wake with `ClosedResourceError` at once;
        the descriptor itself is closed when no operation is using it any more (at once, or when
        the one under way ends), so that none acts on a number that may already name another
        file."""
        self._close()
        await cancel_shielded_checkpoint()

    def _close(self) -> None:
        self._closed = True
        self.socket._shut_waits()
        self._close_if_idle()

    def _close_if_idle(self) -> None:
        # Called after `_closed` was set, by the closer and by every operation as it ends: each
        # first publishes (sets `_closed`, gives back its side's token) and then looks at the
        # other's, so that one of them sees both sides free and closes the descriptor.  Holding
        # both tokens keeps an operation from starting meanwhile.
        with self._close_lock:
            send = self._send_guard._token
            receive = self._receive_guard._token
            try:
                send.pop()
            except IndexError:
                return  # a send is under way: it closes the descriptor as it ends
            try:
                try:
                    receive.pop()
                except IndexError:
                    return  # likewise a receive
                try:
                    self.socket.close()
                finally:
                    receive.append(True)
            finally:
                send.append(True)

    def setsockopt(self, level: int, option: int, value: Any, length: int | None = None) -> None:
        """`setsockopt` on the underlying socket."""
        if length is None:
            self.socket.setsockopt(level, option, value)
        else:
            self.socket.setsockopt(level, option, value, length)

    def getsockopt(self, level: int, option: int, buffersize: int = 0) -> Any:
        """`getsockopt` on the underlying socket."""
        if buffersize == 0:
            return self.socket.getsockopt(level, option)
        return self.socket.getsockopt(level, option, buffersize)


class SocketListener(Listener[SocketStream]):
    """A `Listener` over a listening stream socket: `accept` returns `SocketStream`s."""

    __slots__ = ("socket", "_closed", "_lock", "_accepting")

    def __init__(self, socket: qsocket.SocketType) -> None:
        if not isinstance(socket, qsocket.SocketType):
            raise TypeError(f"SocketListener needs a quorlin.socket.SocketType, got {type(socket).__name__}")
        if socket.type != qsocket.SOCK_STREAM:
            raise ValueError("SocketListener needs a SOCK_STREAM socket")
        try:
            listening = socket.getsockopt(qsocket.SOL_SOCKET, qsocket.SO_ACCEPTCONN)
        except OSError:
            listening = True
        if not listening:
            raise ValueError("SocketListener needs a listening socket (call listen() first)")
        #: The underlying listening `quorlin.socket.SocketType`.
        self.socket = socket
        self._closed = False
        # Guards `_closed` and `_accepting`, the number of accepts under way: the descriptor is
        # closed by `aclose`, or by the last accept under way when it ends (see `aclose`).
        self._lock = threading.Lock()
        self._accepting = 0

    def __repr__(self) -> str:
        return f"<quorlin.SocketListener {self.socket!r}>"

    async def accept(self) -> SocketStream:
        """Waits for the next connection.  Errors that concern only the incoming connection (it was
        aborted before it was accepted, ...) are skipped."""
        with self._lock:
            if self._closed:
                raise ClosedResourceError("this listener was closed")
            self._accepting += 1
        try:
            while True:
                try:
                    sock, _ = await self.socket.accept()
                except OSError as exc:
                    if exc.errno == errno.EBADF:
                        raise ClosedResourceError("this listener was closed") from None
                    if exc.errno in _ACCEPT_IGNORED_ERRNOS:
                        continue
                    raise
                return SocketStream(sock)
        finally:
            with self._lock:
                self._accepting -= 1
                if self._closed and not self._accepting:
                    self.socket.close()

    async def aclose(self) -> None:
        """Closes the listener.  Accepts parked on it wake with `ClosedResourceError` at once; the
        descriptor itself is closed once no accept is using it."""
        self._close()
        await cancel_shielded_checkpoint()

    def _close(self) -> None:
        with self._lock:
            self._closed = True
            if self._accepting:
                self.socket._shut_waits()
            else:
                self.socket.close()


# ---------------------------------------------------------------------------------------------
# Opening connections


def _connect_failure(host: Any, port: Any, errors: list[OSError]) -> OSError:
    if len({type(error) for error in errors}) == 1:
        last = errors[-1]
        for earlier in errors[:-1]:
            last.add_note(f"an earlier attempt failed too: {earlier!r}")
        return last
    failure = OSError(f"all attempts to connect to {host!r}:{port} failed")
    failure.__cause__ = ExceptionGroup("connection attempts", errors)
    return failure


async def open_tcp_stream(host: str | bytes, port: int, *, local_address: str | None = None) -> SocketStream:
    """Connects to `host`:`port` and returns a `SocketStream`.

    The addresses that `host` resolves to are tried one after another until one connects.  If
    all fail, the error of the last attempt is raised (for example `ConnectionRefusedError`),
    noting the earlier ones; attempts that failed in different ways raise one `OSError` whose
    cause groups them.  `local_address` binds the socket to that local IP address first.
    """
    if not isinstance(host, (str, bytes)):
        raise TypeError(f"host must be str or bytes, got {host!r}")
    if isinstance(port, bool) or not isinstance(port, int):
        raise TypeError(f"port must be an int, got {port!r}")
    targets = await qsocket.getaddrinfo(host, port, type=qsocket.SOCK_STREAM)
    if not targets:
        raise OSError(f"name resolution of {host!r} returned no addresses")
    errors: list[OSError] = []
    for family, type_, proto, _, address in targets:
        try:
            sock = qsocket.socket(family, type_, proto)
        except OSError as exc:
            errors.append(exc)
            continue
        try:
            if local_address is not None:
                await sock.bind((local_address, 0))
            await sock.connect(address)
        except OSError as exc:
            sock.close()
            errors.append(exc)
            continue
        except BaseException:
            sock.close()
            raise
        return SocketStream(sock)
    raise _connect_failure(host, port, errors)


async def open_unix_socket(path: str | bytes) -> SocketStream:
    """Connects to the Unix stream socket at `path` and returns a `SocketStream`."""
    sock = qsocket.socket(qsocket.AF_UNIX, qsocket.SOCK_STREAM)
    try:
        await sock.connect(path)
    except BaseException:
        sock.close()
        raise
    return SocketStream(sock)


# ---------------------------------------------------------------------------------------------
# Listening and serving


async def open_tcp_listeners(port: int, *, host: str | bytes | None = None,
                             backlog: int | None = None) -> list[SocketListener]:
    """Listens on TCP `port` on every address of `host` (default: all local addresses).

    Returns one `SocketListener` per address (IPv4 and IPv6 listen separately).  With port 0 each
    listener gets its own free port; read it with ``listener.socket.getsockname()``.
    """
    if isinstance(port, bool) or not isinstance(port, int):
        raise TypeError(f"port must be an int, got {port!r}")
    backlog = _DEFAULT_BACKLOG if backlog is None else min(int(backlog), _DEFAULT_BACKLOG)
    targets = await qsocket.getaddrinfo(host, port, type=qsocket.SOCK_STREAM, flags=qsocket.AI_PASSIVE)
    listeners: list[SocketListener] = []
    unsupported: OSError | None = None
    try:
        for family, type_, proto, _, address in targets:
            try:
                sock = qsocket.socket(family, type_, proto)
            except OSError as exc:
                if exc.errno == errno.EAFNOSUPPORT:
                    unsupported = exc
                    continue
                raise
            try:
                sock.setsockopt(qsocket.SOL_SOCKET, qsocket.SO_REUSEADDR, 1)
                if family == qsocket.AF_INET6:
                    sock.setsockopt(qsocket.IPPROTO_IPV6, qsocket.IPV6_V6ONLY, 1)
                await sock.bind(address)
                sock.listen(backlog)
            except BaseException:
                sock.close()
                raise
            listeners.append(SocketListener(sock))
    except BaseException:
        for listener in listeners:
            listener.socket.close()
        raise
    if not listeners:
        raise unsupported or OSError(errno.EAFNOSUPPORT, f"no address of {host!r} can be listened on")
    return listeners


async def _serve_one(listener: SocketListener, handler_group: TaskGroup,
                     handler: Callable[[SocketStream], Awaitable[Any]]) -> None:
    while True:
        try:
            stream = await listener.accept()
        except OSError as exc:
            if exc.errno not in _ACCEPT_CAPACITY_ERRNOS:
                raise
            _log.error("accept failed (%s); retrying in %.0f ms", exc, _ACCEPT_RETRY_DELAY * 1000)
            await sleep(_ACCEPT_RETRY_DELAY)
        else:
            handler_group.start_soon(_run_handler, stream, handler)


async def _run_handler(stream: SocketStream, handler: Callable[[SocketStream], Awaitable[Any]]) -> None:
    try:
        await handler(stream)
    finally:
        stream._close()


async def serve_listeners(handler: Callable[[Any], Awaitable[Any]], listeners: list[Any], *,
                          handler_nursery: TaskGroup | None = None,
                          task_status: Any = TASK_STATUS_IGNORED) -> None:
    """Accepts connections on every listener forever, running ``handler(stream)`` for each in its
    own task (in `handler_nursery` if given); the stream is closed when the handler returns.

    Use with ``await task_group.start(serve_listeners, handler, listeners)``, which returns the
    listeners once they accept.  A handler that raises ends the serving, as any failing child task
    ends its group.
    """
    async with TaskGroup() as group:
        target = group if handler_nursery is None else handler_nursery
        for listener in listeners:
            group.start_soon(_serve_one, listener, target, handler)
        task_status.started(listeners)
    # Only reached if every accept loop ended without an error, which they never do.
    raise RuntimeError("serve_listeners ended unexpectedly")  # pragma: no cover


async def serve_tcp(handler: Callable[[SocketStream], Awaitable[Any]], port: int, *,
                    host: str | bytes | None = None, backlog: int | None = None,
                    handler_nursery: TaskGroup | None = None, task_status: Any = TASK_STATUS_IGNORED) -> None:
    """Listens on TCP `port` (see `open_tcp_listeners`) and serves each connection with
    ``handler(stream)`` until cancelled (see `serve_listeners`).

    ``listeners = await task_group.start(serve_tcp, handler, 0)`` starts it in the background and
    returns its listeners, whose sockets tell the port chosen.
    """
    listeners = await open_tcp_listeners(port, host=host, backlog=backlog)
    try:
        await serve_listeners(handler, listeners, handler_nursery=handler_nursery, task_status=task_status)
    finally:
        for listener in listeners:
            listener._close()


__all__ = [
    "SocketListener",
    "SocketStream",
    "open_tcp_listeners",
    "open_tcp_stream",
    "open_unix_socket",
    "serve_listeners",
    "serve_tcp",
]
