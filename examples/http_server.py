"""A small HTTP/1.1 server that answers every request with the same short text, with keep-alive.

    .venv/bin/python examples/http_server.py [--host 127.0.0.1] [--port 8080] [--threads N]

Then ``curl http://127.0.0.1:8080/`` or ``wrk -t2 -c64 -d10s http://127.0.0.1:8080/``.  Connections
stay open across requests (HTTP/1.1 by default, HTTP/1.0 when asked with "Connection: keep-alive");
pipelined requests are answered in order with one write.  Request bodies (Content-Length) are read
and ignored; chunked request bodies are refused.  Ctrl-C stops the server.

Each connection answers for itself: a request it cannot handle gets a 400 reply and that connection
is closed (and logged); the server and its other connections go on.  A client must finish sending a
request's head within --header-timeout seconds (408 and close otherwise), and a kept-alive
connection with no request under way is closed after --idle-timeout seconds of silence.
"""

import argparse
import email.utils
import logging
import os
import time

import quorlin

BODY = b"Hello, world!\n"
MAX_HEAD = 16 * 1024
MAX_BODY = 1 << 20
# A Content-Length with more digits than this is refused before it is turned into a number.
_MAX_LENGTH_DIGITS = len(str(MAX_BODY))
HEADER_TIMEOUT = 10.0  # seconds from a request's first byte to the end of its head
IDLE_TIMEOUT = 5.0  # seconds a kept-alive connection may stay silent between requests
LINGER = 2.0  # seconds a connection closed with a final answer still reads what the client sends

log = logging.getLogger("http_server")


class _Date:
    """The Date header's value, formatted at most once per second."""

    second = -1
    text = b""

    @classmethod
    def now(cls) -> bytes:
        second = int(time.time())
        if second != cls.second:
            cls.text = email.utils.formatdate(second, usegmt=True).encode()
            cls.second = second
        return cls.text


def response(status: bytes, body: bytes, *, keep_alive: bool, version: bytes, head_only: bool = False) -> bytes:
    lines = [
        b"HTTP/1.1 " + status,
        b"Server: quorlin-example",
        b"Date: " + _Date.now(),
        b"Content-Type: text/plain; charset=utf-8",
        b"Content-Length: " + str(len(body)).encode(),
    ]
    if not keep_alive:
        lines.append(b"Connection: close")
    elif version == b"HTTP/1.0":
        lines.append(b"Connection: keep-alive")
    return b"\r\n".join(lines) + b"\r\n\r\n" + (b"" if head_only else body)


class BadRequest(Exception):
    def __init__(self, status: bytes) -> None:
        super().__init__(status.decode())
        self.status = status


def parse_head(head: bytes) -> tuple[bytes, bytes, dict[bytes, bytes]]:
    request_line, *header_lines = head.split(b"\r\n")
    parts = request_line.split(b" ")
    if len(parts) != 3 or not parts[2].startswith(b"HTTP/1."):
        raise BadRequest(b"400 Bad Request")
    headers = {}
    for line in header_lines:
        name, colon, value = line.partition(b":")
        if not colon or not name or name != name.strip():
            raise BadRequest(b"400 Bad Request")
        headers[name.lower()] = value.strip()
    return parts[0], parts[2], headers


class HttpConnection:
    """The HTTP side of one connection, without any I/O: feed it what arrives, send what it returns.

    Pipelined requests are answered in order, in one reply.  `closing` becomes True once the
    connection should be closed after the last reply has been sent.
    """

    def __init__(self) -> None:
        self.buffer = bytearray()
        self.body_left = 0  # bytes of a request body still to skip
        self.closing = False

    @property
    def in_head(self) -> bool:
        """True while part of a request's head has arrived but not its end."""
        return bool(self.buffer) and not self.body_left

    def receive(self, data: bytes) -> bytes:
        self.buffer += data
        replies = []
        while not self.closing:
            if self.body_left:
                skipped = min(self.body_left, len(self.buffer))
                del self.buffer[:skipped]
                self.body_left -= skipped
                if self.body_left:
                    break
            end = self.buffer.find(b"\r\n\r\n")
            if end < 0:
                if len(self.buffer) > MAX_HEAD:
                    replies.append(response(b"431 Request Header Fields Too Large", b"", keep_alive=False,
                                            version=b"HTTP/1.1"))
                    self.closing = True
                break
            head = bytes(self.buffer[:end])
            del self.buffer[:end + 4]
            try:
                method, version, headers = parse_head(head)
                if b"chunked" in headers.get(b"transfer-encoding", b"").lower():
                    raise BadRequest(b"501 Not Implemented")
                length = headers.get(b"content-length", b"0")
                if not length.isdigit():
                    raise BadRequest(b"400 Bad Request")
                length = length.lstrip(b"0") or b"0"
                if len(length) > _MAX_LENGTH_DIGITS or int(length) > MAX_BODY:
                    raise BadRequest(b"413 Content Too Large")
            except BadRequest as bad:
                replies.append(response(bad.status, bad.status + b"\n", keep_alive=False, version=b"HTTP/1.1"))
                self.closing = True
                break
            self.body_left = int(length)
            connection = headers.get(b"connection", b"").lower()
            keep_alive = connection != b"close" if version == b"HTTP/1.1" else connection == b"keep-alive"
            replies.append(response(b"200 OK", BODY, keep_alive=keep_alive, version=version,
                                    head_only=method == b"HEAD"))
            self.closing = not keep_alive
        return b"".join(replies)


def bad_request() -> bytes:
    status = b"400 Bad Request"
    return response(status, status + b"\n", keep_alive=False, version=b"HTTP/1.1")


async def send_bounded(stream: quorlin.SocketStream, data: bytes, timeout: float) -> bool:
    """Sends `data` unless the client takes more than `timeout` seconds to read it: False then."""
    with quorlin.move_on_after(timeout) as scope:
        await stream.send_all(data)
    return not scope.cancelled_caught


async def linger(stream: quorlin.SocketStream) -> None:
    """Ends a connection after a final answer to a client that may still be sending.  Closing
    with unread input would make the kernel reset the connection, and the client could lose the
    answer before reading it: so our side ends first, and what still comes is read and dropped
    for at most LINGER seconds."""
    try:
        await stream.send_eof()
        with quorlin.move_on_after(LINGER):
            while await stream.receive_some():
                pass
    except (quorlin.BrokenResourceError, quorlin.ClosedResourceError):
        pass  # the client is gone already


async def serve_connection(stream: quorlin.SocketStream, header_timeout: float = HEADER_TIMEOUT,
                           idle_timeout: float = IDLE_TIMEOUT) -> None:
    connection = HttpConnection()
    head_deadline = None  # when the head of the request under way must be complete
    while True:
        if connection.in_head:
            if head_deadline is None:
                head_deadline = quorlin.current_time() + header_timeout
            deadline = head_deadline
        else:
            # Between requests, and while a body arrives: at most this long between two receives.
            head_deadline = None
            deadline = quorlin.current_time() + idle_timeout
        with quorlin.move_on_at(deadline) as scope:
            data = await stream.receive_some()
        if scope.cancelled_caught:
            if connection.in_head and await send_bounded(
                    stream, response(b"408 Request Timeout", b"", keep_alive=False, version=b"HTTP/1.1"),
                    idle_timeout):
                await linger(stream)
            return
        if not data:
            return
        reply = connection.receive(data)
        if reply and not await send_bounded(stream, reply, idle_timeout):
            return
        if connection.closing:
            await linger(stream)
            return


def handler_for(header_timeout: float, idle_timeout: float):
    async def handler(stream: quorlin.SocketStream) -> None:
        """Serves one connection.  Whatever goes wrong with it ends that connection alone: an
        exception that left a handler would end `serve_listeners`, and every other connection."""
        try:
            await serve_connection(stream, header_timeout, idle_timeout)
        except (quorlin.BrokenResourceError, quorlin.ClosedResourceError):
            pass  # the client went away mid-request: nothing to answer
        except Exception as exc:
            log.warning("closed a connection after a failure: %s: %s", type(exc).__name__, exc)
            try:
                if await send_bounded(stream, bad_request(), idle_timeout):
                    await linger(stream)
            except Exception:
                pass  # the connection is beyond answering

    return handler


handler = handler_for(HEADER_TIMEOUT, IDLE_TIMEOUT)


async def main(host: str, port: int, header_timeout: float = HEADER_TIMEOUT,
               idle_timeout: float = IDLE_TIMEOUT) -> None:
    listeners = await quorlin.open_tcp_listeners(port, host=host)
    for listener in listeners:
        address, bound_port = listener.socket.getsockname()[:2]
        shown = f"[{address}]" if ":" in address else address
        print(f"serving on http://{shown}:{bound_port}/", flush=True)
    await quorlin.serve_listeners(handler_for(header_timeout, idle_timeout), listeners)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8080, help="TCP port; 0 picks a free one (default 8080)")
    parser.add_argument("--threads", type=int, default=os.process_cpu_count() or 1, help="worker threads")
    parser.add_argument("--header-timeout", type=float, default=HEADER_TIMEOUT,
                        help=f"seconds a client has to send a request's head (default {HEADER_TIMEOUT:g})")
    parser.add_argument("--idle-timeout", type=float, default=IDLE_TIMEOUT,
                        help=f"seconds an idle kept-alive connection stays open (default {IDLE_TIMEOUT:g})")
    args = parser.parse_args()
    logging.basicConfig(format="%(name)s: %(message)s", level=logging.INFO)
    try:
        quorlin.run(main, args.host, args.port, args.header_timeout, args.idle_timeout, threads=args.threads)
    except KeyboardInterrupt:
        print("stopped", flush=True)
