"""Async sockets for quorlin tasks: the standard socket API with awaitable blocking calls.

`socket()` makes a `SocketType`, a non-blocking standard socket whose calls that may block
(`accept`, `connect`, `recv*`, `send*`, and `bind`, which may resolve a name) are coroutines.  The
other methods behave as on the standard socket.  Name resolution (`getaddrinfo`, `getnameinfo`)
runs in the runtime's blocking threads unless the address is numeric.

Every blocking call is cancellable while it waits, and checks for cancellation before it starts;
a call that can complete at once does so without waiting, except that every so many such calls
in a row (a per-task budget, which any wait refills) let the other tasks run first.  Receiving calls wait
for the I/O driver to report readiness before they ask the kernel, sending calls try first.  Only
one task may wait to receive, and one to send, on one socket at a time (`BusyResourceError`);
closing the socket wakes them with `ClosedResourceError`.  Errors of the operating system are
raised as by the standard socket: a refused connection raises `ConnectionRefusedError`, a reset
one `ConnectionResetError`.
"""

from __future__ import annotations

import errno as _errno
import os as _os
import socket as _stdlib
import threading as _threading
from typing import Any

from quorlin import _io
from quorlin._core import _current_task, _spend_budget
from quorlin._io import READ as _READ, WRITE as _WRITE, check_ready as _check_ready, park as _park
from quorlin._run import _Process

# The standard module's constants and exception types, so that this module can stand in for it.
for _name in dir(_stdlib):
    if _name.isupper() and not _name.startswith("_"):
        globals()[_name] = getattr(_stdlib, _name)
del _name

error = _stdlib.error
gaierror = _stdlib.gaierror
herror = _stdlib.herror
timeout = _stdlib.timeout

gethostname = _stdlib.gethostname
htonl = _stdlib.htonl
htons = _stdlib.htons
ntohl = _stdlib.ntohl
ntohs = _stdlib.ntohs
inet_aton = _stdlib.inet_aton
inet_ntoa = _stdlib.inet_ntoa
inet_pton = _stdlib.inet_pton
inet_ntop = _stdlib.inet_ntop
if_nametoindex = _stdlib.if_nametoindex
if_indextoname = _stdlib.if_indextoname
CMSG_LEN = _stdlib.CMSG_LEN
CMSG_SPACE = _stdlib.CMSG_SPACE

_NUMERIC = _stdlib.AI_NUMERICHOST | _stdlib.AI_NUMERICSERV
_INET_FAMILIES = (_stdlib.AF_INET, _stdlib.AF_INET6)


# ---------------------------------------------------------------------------------------------
# Name resolution


async def getaddrinfo(host: Any, port: Any, family: int = 0, type: int = 0, proto: int = 0,
                      flags: int = 0) -> list[tuple[Any, ...]]:
    """Resolves `host` and `port` like `socket.getaddrinfo`; a blocking lookup runs in a thread.

    Numeric hosts and ports are converted at once.  The lookup is cancellable (a cancelled lookup
    is left to finish in its thread).
    """
    from quorlin._core import checkpoint

    try:
        result = _stdlib.getaddrinfo(host, port, family, type, proto, flags | _NUMERIC)
    except (_stdlib.gaierror, UnicodeError):
        pass
    else:
        await checkpoint()
        return result
    from quorlin import to_thread

    return await to_thread.run_sync(_stdlib.getaddrinfo, host, port, family, type, proto, flags,
                                    abandon_on_cancel=True)


async def getnameinfo(sockaddr: tuple[Any, ...], flags: int) -> tuple[str, str]:
    """Looks up a host and port name for `sockaddr` like `socket.getnameinfo`, in a thread."""
    from quorlin import to_thread

    return await to_thread.run_sync(_stdlib.getnameinfo, sockaddr, flags, abandon_on_cancel=True)


async def getprotobyname(name: str) -> int:
    """`socket.getprotobyname`, in a thread (it may read files or ask a name service)."""
    from quorlin import to_thread

    return await to_thread.run_sync(_stdlib.getprotobyname, name, abandon_on_cancel=True)


def _numeric_inet(family: int, address: Any) -> Any:
    """`address` unchanged if it is already a numeric address of `family`, else None."""
    if not isinstance(address, tuple) or len(address) < 2:
        return None
    host, port = address[0], address[1]
    if not isinstance(host, str) or isinstance(port, bool) or not isinstance(port, int):
        return None
    try:
        _stdlib.inet_pton(family, host)
    except (OSError, ValueError):
        return None
    return address


# ---------------------------------------------------------------------------------------------
# Sockets


def socket(family: int = _stdlib.AF_INET, type: int = _stdlib.SOCK_STREAM, proto: int = 0,
           fileno: int | None = None) -> SocketType:
    """Makes a new non-blocking socket, like `socket.socket` (`fileno` adopts a descriptor)."""
    if fileno is None:
        sock = _stdlib.socket(family, type, proto)
    else:
        sock = _stdlib.socket(family, type, proto, fileno)
    return SocketType(sock)


def socketpair(family: int = _stdlib.AF_UNIX, type: int = _stdlib.SOCK_STREAM,
               proto: int = 0) -> tuple[SocketType, SocketType]:
    """A pair of connected sockets, like `socket.socketpair`."""
    left, right = _stdlib.socketpair(family, type, proto)
    return SocketType(left), SocketType(right)


def fromfd(fd: Any, family: int, type: int, proto: int = 0) -> SocketType:
    """A socket on a duplicate of the descriptor `fd`, like `socket.fromfd`."""
    return SocketType(_stdlib.fromfd(fd, family, type, proto))


def from_stdlib_socket(sock: _stdlib.socket) -> SocketType:
    """Wraps a standard socket (which becomes non-blocking); the wrapper owns it from now on."""
    return SocketType(sock)


class SocketType:
    """A non-blocking socket whose potentially blocking methods are coroutines."""

    __slots__ = ("_sock", "_entry", "_did_shutdown_write", "_lock", "_shut", "__weakref__")

    def __init__(self, sock: _stdlib.socket) -> None:
        if not isinstance(sock, _stdlib.socket):
            raise TypeError(f"SocketType wraps a socket.socket, got {type(sock).__name__}")
        sock.setblocking(False)
        self._sock = sock
        self._entry: _io._Registration | None = None
        self._did_shutdown_write = False
        # Held while the descriptor's number is read to register it, and while the socket is
        # closed: a registration is never made for a number this socket no longer owns (which
        # another socket may own by then).
        self._lock = _threading.Lock()
        # Set (under `_lock`) once no task may wait on the socket any more: `close`, `detach`,
        # or a stream that ended the waits first and closes the descriptor later.
        self._shut = False

    def __repr__(self) -> str:
        return repr(self._sock).replace("socket.socket", "quorlin.socket.SocketType", 1)

    def __enter__(self) -> SocketType:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    # -- plain attributes and calls --

    @property
    def family(self) -> int:
        return self._sock.family

    @property
    def type(self) -> int:
        return self._sock.type

    @property
    def proto(self) -> int:
        return self._sock.proto

    @property
    def did_shutdown_SHUT_WR(self) -> bool:  # noqa: N802 - the name other socket libraries use
        """True once `shutdown(SHUT_WR)` or `shutdown(SHUT_RDWR)` was called."""
        return self._did_shutdown_write

    def fileno(self) -> int:
        return self._sock.fileno()

    def getsockname(self) -> Any:
        return self._sock.getsockname()

    def getpeername(self) -> Any:
        return self._sock.getpeername()

    def getsockopt(self, *args: Any) -> Any:
        return self._sock.getsockopt(*args)

    def setsockopt(self, *args: Any) -> None:
        self._sock.setsockopt(*args)

    def listen(self, backlog: int = min(_stdlib.SOMAXCONN, 128)) -> None:
        self._sock.listen(backlog)

    def shutdown(self, how: int) -> None:
        self._sock.shutdown(how)
        if how in (_stdlib.SHUT_WR, _stdlib.SHUT_RDWR):
            self._did_shutdown_write = True

    def get_inheritable(self) -> bool:
        return self._sock.get_inheritable()

    def set_inheritable(self, inheritable: bool) -> None:
        self._sock.set_inheritable(inheritable)

    def dup(self) -> SocketType:
        """A new socket on a duplicate descriptor."""
        return SocketType(self._sock.dup())

    def is_readable(self) -> bool:
        """True if a receive would not block now (asks the kernel)."""
        import select

        poller = select.poll()
        poller.register(self._sock.fileno(), select.POLLIN | select.POLLPRI | select.POLLHUP | select.POLLERR)
        return bool(poller.poll(0))

    def close(self) -> None:
        """Closes the socket; tasks waiting on it raise `ClosedResourceError`.  Idempotent, and
        safe from any thread."""
        with self._lock:
            fd = self._sock.fileno()
            if fd == -1:
                return
            self._end_waits(fd)
            self._sock.close()

    def detach(self) -> int:
        """Gives up the descriptor without closing it and returns it."""
        with self._lock:
            fd = self._sock.fileno()
            if fd != -1:
                self._end_waits(fd)
            return self._sock.detach()

    def _shut_waits(self) -> None:
        """Wakes the tasks waiting on the socket with `ClosedResourceError` and lets no task wait
        on it again, but leaves the descriptor open (`close` closes it)."""
        with self._lock:
            fd = self._sock.fileno()
            if fd != -1:
                self._end_waits(fd)

    def _end_waits(self, fd: int) -> None:
        # Under `_lock`, while `fd` is still this socket's.
        self._shut = True
        entry = self._entry
        self._entry = None
        if entry is not None:
            _io.close_registration(entry)
        _io.notify_closing(fd)

    def _registration(self) -> _io._Registration:
        entry = self._entry
        if entry is not None and entry.is_current():
            return entry
        with self._lock:
            fd = self._sock.fileno()
            if fd == -1 or self._shut:
                raise OSError(_errno.EBADF, _os.strerror(_errno.EBADF))
            entry = self._entry = _io.registration(fd, self._sock)
            return entry

    # -- the waiting core --

    async def _receiving(self, call: Any, *args: Any) -> Any:
        task = _current_task.get()
        if task is None:
            raise RuntimeError("this must be called from inside a quorlin task")
        await _spend_budget(task)
        entry = self._entry
        if entry is None or entry.closed or entry.run is not _Process.current:
            entry = self._registration()
        while True:
            parking = _check_ready(entry, _READ, task)
            if parking is not None:
                await _park(parking, entry, _READ)
            try:
                return call(*args)
            except BlockingIOError:
                entry.clear_r()

    async def _sending(self, call: Any, *args: Any) -> Any:
        task = _current_task.get()
        if task is None:
            raise RuntimeError("this must be called from inside a quorlin task")
        await _spend_budget(task)
        task._raise_if_cancelled()
        try:
            return call(*args)
        except BlockingIOError:
            pass
        return await self._sending_after_wait(call, *args)

    async def _sending_after_wait(self, call: Any, *args: Any) -> Any:
        entry = self._registration()
        while True:
            entry.clear_w()
            await _io.ready(entry, _WRITE)
            try:
                return call(*args)
            except BlockingIOError:
                pass

    async def _resolve(self, address: Any, local: bool) -> Any:
        family = self._sock.family
        if family not in _INET_FAMILIES:
            return address
        numeric = _numeric_inet(family, address)
        if numeric is not None:
            return numeric
        if not isinstance(address, tuple) or not 2 <= len(address) <= (4 if family == _stdlib.AF_INET6 else 2):
            raise ValueError(f"address should be a (host, port{', [flowinfo, [scope_id]]' * (family == _stdlib.AF_INET6)}) "
                             f"tuple, got {address!r}")
        host, port, *rest = address
        if host == "":
            host = None
        elif host == "<broadcast>" and family == _stdlib.AF_INET:
            host = "255.255.255.255"
        flags = _stdlib.AI_PASSIVE if local else 0
        if family == _stdlib.AF_INET6 and not self._v6only():
            flags |= _stdlib.AI_V4MAPPED
        results = await getaddrinfo(host, port, family, self._sock.type, self._sock.proto, flags)
        if not results:
            raise OSError(f"name resolution of {address!r} returned no addresses")
        sockaddr = results[0][4]
        if family == _stdlib.AF_INET6 and rest:
            sockaddr = (*sockaddr[:2], *rest, *sockaddr[2 + len(rest):])
        return sockaddr

    def _v6only(self) -> bool:
        try:
            return bool(self._sock.getsockopt(_stdlib.IPPROTO_IPV6, _stdlib.IPV6_V6ONLY))
        except OSError:
            return False

    # -- blocking calls as coroutines --

    async def bind(self, address: Any) -> None:
        """Binds to `address`; a host name is resolved first (in a thread unless numeric)."""
        task = _current_task.get()
        if task is None:
            raise RuntimeError("this must be called from inside a quorlin task")
        await _spend_budget(task)
        address = await self._resolve(address, local=True)
        self._sock.bind(address)

    async def connect(self, address: Any) -> None:
        """Connects to `address`; waits until the connection is made or fails.

        If the wait is cancelled the socket is closed, because a half-made connection cannot be
        taken back.
        """
        from quorlin._core import current_task

        task = current_task()
        await _spend_budget(task)
        task._raise_if_cancelled()
        address = await self._resolve(address, local=False)
        try:
            self._sock.connect(address)
            return
        except (BlockingIOError, InterruptedError):
            pass
        try:
            entry = self._registration()
            while True:
                entry.clear_w()
                await _io.ready(entry, _WRITE)
                code = self._sock.getsockopt(_stdlib.SOL_SOCKET, _stdlib.SO_ERROR)
                if code != 0:
                    raise OSError(code, f"Error connecting to {address!r}: {_os.strerror(code)}")
                try:
                    self._sock.getpeername()
                except OSError as exc:
                    if exc.errno == _errno.ENOTCONN:
                        continue  # readiness from before the attempt; not connected yet
                    raise
                return
        except BaseException as exc:
            if not isinstance(exc, OSError):
                self.close()
            raise

    async def accept(self) -> tuple[SocketType, Any]:
        """Waits for a connection; returns the new socket and the peer's address."""
        sock, address = await self._receiving(self._sock.accept)
        return SocketType(sock), address

    async def recv(self, bufsize: int, flags: int = 0) -> bytes:
        """Receives up to `bufsize` bytes; b"" means the peer finished sending."""
        return await self._receiving(self._sock.recv, bufsize, flags)

    async def recv_into(self, buffer: Any, nbytes: int = 0, flags: int = 0) -> int:
        """Receives into `buffer`; returns the number of bytes received."""
        return await self._receiving(self._sock.recv_into, buffer, nbytes, flags)

    async def recvfrom(self, bufsize: int, flags: int = 0) -> tuple[bytes, Any]:
        """Receives a datagram (or stream data) and the sender's address."""
        return await self._receiving(self._sock.recvfrom, bufsize, flags)

    async def recvfrom_into(self, buffer: Any, nbytes: int = 0, flags: int = 0) -> tuple[int, Any]:
        """Like `recvfrom`, into `buffer`."""
        return await self._receiving(self._sock.recvfrom_into, buffer, nbytes, flags)

    async def recvmsg(self, bufsize: int, ancbufsize: int = 0, flags: int = 0) -> tuple[Any, ...]:
        """`socket.recvmsg` as a coroutine."""
        return await self._receiving(self._sock.recvmsg, bufsize, ancbufsize, flags)

    async def send(self, data: Any, flags: int = 0) -> int:
        """Sends some of `data`; returns the number of bytes sent."""
        return await self._sending(self._sock.send, data, flags)

    async def sendto(self, data: Any, *args: Any) -> int:
        """``sendto(data, address)`` or ``sendto(data, flags, address)``."""
        if len(args) == 1:
            flags, address = 0, args[0]
        elif len(args) == 2:
            flags, address = args
        else:
            raise TypeError(f"sendto() takes 2 or 3 arguments ({len(args) + 1} given)")
        address = await self._resolve(address, local=False)
        return await self._sending(self._sock.sendto, data, flags, address)

    async def sendmsg(self, buffers: Any, ancdata: Any = (), flags: int = 0, address: Any = None) -> int:
        """`socket.sendmsg` as a coroutine."""
        if address is None:
            return await self._sending(self._sock.sendmsg, buffers, ancdata, flags)
        address = await self._resolve(address, local=False)
        return await self._sending(self._sock.sendmsg, buffers, ancdata, flags, address)

    async def sendall(self, data: Any, flags: int = 0) -> None:
        """Sends all of `data`.  If cancelled part-way, an unknown amount has been sent."""
        if type(data) is bytes:
            task = _current_task.get()
            if task is None:
                raise RuntimeError("this must be called from inside a quorlin task")
            await _spend_budget(task)
            task._raise_if_cancelled()
            try:
                sent = self._sock.send(data, flags)
            except BlockingIOError:
                sent = await self._sending_after_wait(self._sock.send, data, flags)
            if sent == len(data):
                return
        else:
            sent = 0
        await self._send_rest(data, sent, flags)

    async def _send_rest(self, data: Any, sent: int, flags: int) -> None:
        with memoryview(data) as view, view.cast("B") as raw:
            total = len(raw)
            while sent < total:
                # Each slice is released here, by the thread that runs the task at that moment.
                # Left to be freed, it could be freed by the thread that made it (the step may have
                # moved to another worker since), which would then update the export count the
                # views of one buffer share while this thread releases another of them: the
                # interpreter does not guard that count against two threads.
                with raw[sent:] as rest:
                    sent += await self._sending(self._sock.send, rest, flags)

    async def wait_writable(self) -> None:
        """Waits until a send would probably not block."""
        await _io.wait_level(self._registration(), _WRITE)


__all__ = [
    "SocketType",
    "error",
    "from_stdlib_socket",
    "fromfd",
    "gaierror",
    "getaddrinfo",
    "getnameinfo",
    "getprotobyname",
    "herror",
    "socket",
    "socketpair",
    "timeout",
]
