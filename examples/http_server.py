"""A small HTTP/1.1 server that answers every request with the same short text, with keep-alive.

    .venv/bin/python examples/http_server.py [--host 127.0.0.1] [--port 8080] [--threads N]

Then ``curl http://127.0.0.1:8080/`` or ``wrk -t2 -c64 -d10s http://127.0.0.1:8080/``.  Connections
stay open across requests (HTTP/1.1 by default, HTTP/1.0 when asked with "Connection: keep-alive");
pipelined requests are answered in order with one write.  Request bodies (Content-Length) are read
and ignored; chunked request bodies are refused.  Ctrl-C stops the server.
"""

import argparse
import email.utils
import os
import time

import quorlin

BODY = b"Hello, world!\n"
MAX_HEAD = 16 * 1024


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


async def serve_connection(stream: quorlin.SocketStream) -> None:
    connection = HttpConnection()
    async for data in stream:
        reply = connection.receive(data)
        if reply:
            await stream.send_all(reply)
        if connection.closing:
            return


async def handler(stream: quorlin.SocketStream) -> None:
    try:
        await serve_connection(stream)
    except quorlin.BrokenResourceError:
        pass  # the client went away mid-request: nothing to answer


async def main(host: str, port: int) -> None:
    listeners = await quorlin.open_tcp_listeners(port, host=host)
    for listener in listeners:
        address, bound_port = listener.socket.getsockname()[:2]
        shown = f"[{address}]" if ":" in address else address
        print(f"serving on http://{shown}:{bound_port}/", flush=True)
    await quorlin.serve_listeners(handler, listeners)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8080, help="TCP port; 0 picks a free one (default 8080)")
    parser.add_argument("--threads", type=int, default=os.process_cpu_count() or 1, help="worker threads")
    args = parser.parse_args()
    try:
        quorlin.run(main, args.host, args.port, threads=args.threads)
    except KeyboardInterrupt:
        print("stopped", flush=True)
