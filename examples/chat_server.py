"""A chat server: every line a client sends goes to every other connected client.

    .venv/bin/python examples/chat_server.py [--host 127.0.0.1] [--port 9100] [--threads N]

Connect with ``nc 127.0.0.1 9100`` from several terminals.  The first line a client sends is its
name.  All clients feed one broadcast channel; one task takes each message from it and hands it to
every member's own bounded outbox, which that member's writer task sends.  A member whose outbox
is full (it stopped reading) is disconnected rather than allowed to hold everyone up.  Ctrl-C stops
the server.
"""

import argparse
import itertools
import os
import threading

import quorlin

OUTBOX_SIZE = 256
MAX_LINE = 4096


class Room:
    """The members and the one broadcast channel; safe to use from tasks on any worker."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.members: dict[int, tuple[str, quorlin.MemorySendChannel, quorlin.CancelScope]] = {}
        self.broadcast_send, self.broadcast_receive = quorlin.open_memory_channel(1024)
        self.ids = itertools.count(1)

    def join(self, name: str, outbox: quorlin.MemorySendChannel, scope: quorlin.CancelScope) -> tuple[int, int]:
        """Adds a member; returns its id and how many others are here."""
        member = next(self.ids)
        with self.lock:
            others = len(self.members)
            self.members[member] = (name, outbox, scope)
        return member, others

    def leave(self, member: int) -> None:
        with self.lock:
            self.members.pop(member, None)

    async def say(self, sender: int, text: str) -> None:
        await self.broadcast_send.send((sender, text))

    async def fan_out(self) -> None:
        async for sender, text in self.broadcast_receive:
            data = text.encode()
            with self.lock:
                members = list(self.members.items())
            for member, (_, outbox, scope) in members:
                if member == sender:
                    continue
                try:
                    outbox.send_nowait(data)
                except quorlin.WouldBlock:
                    scope.cancel()  # too slow: drop it
                except (quorlin.ClosedResourceError, quorlin.BrokenResourceError):
                    pass  # leaving right now


class LineReader:
    """Splits what a stream receives into text lines."""

    def __init__(self, stream: quorlin.SocketStream) -> None:
        self.stream = stream
        self.buffer = bytearray()

    async def next_line(self) -> str | None:
        """The next line without its end, or None at the end of the stream (or a line too long)."""
        while (end := self.buffer.find(b"\n")) < 0:
            if len(self.buffer) > MAX_LINE:
                return None
            chunk = await self.stream.receive_some()
            if not chunk:
                return None
            self.buffer += chunk
        line = bytes(self.buffer[:end]).rstrip(b"\r")
        del self.buffer[:end + 1]
        return line.decode(errors="replace")


async def write_outbox(stream: quorlin.SocketStream, outbox: quorlin.MemoryReceiveChannel) -> None:
    async for data in outbox:
        await stream.send_all(data)


async def chat(room: Room, stream: quorlin.SocketStream) -> None:
    await stream.send_all(b"Welcome! Your name? ")
    lines = LineReader(stream)
    name = ((await lines.next_line()) or "").strip()[:32] or "anonymous"
    outbox_send, outbox_receive = quorlin.open_memory_channel(OUTBOX_SIZE)
    with quorlin.CancelScope() as scope:
        member, others = room.join(name, outbox_send, scope)
        try:
            outbox_send.send_nowait(f"Hello {name}, {others} other(s) here.\n".encode())
            await room.say(member, f"* {name} joined\n")
            async with quorlin.TaskGroup() as tg:
                tg.start_soon(write_outbox, stream, outbox_receive)
                while (line := await lines.next_line()) is not None:
                    if line:
                        await room.say(member, f"{name}: {line}\n")
                tg.cancel_scope.cancel()  # the client finished: stop its writer too
        finally:
            room.leave(member)
            outbox_send.close()
    with quorlin.CancelScope(shield=True):
        await room.say(member, f"* {name} left\n")


async def handler(room: Room, stream: quorlin.SocketStream) -> None:
    try:
        await chat(room, stream)
    except* quorlin.BrokenResourceError:
        pass  # the client went away


async def main(host: str, port: int) -> None:
    room = Room()
    listeners = await quorlin.open_tcp_listeners(port, host=host)
    for listener in listeners:
        address, bound_port = listener.socket.getsockname()[:2]
        print(f"chat server listening on {address} port {bound_port}", flush=True)
    async with quorlin.TaskGroup() as tg:
        tg.start_soon(room.fan_out)
        await quorlin.serve_listeners(lambda stream: handler(room, stream), listeners)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=9100, help="TCP port; 0 picks a free one (default 9100)")
    parser.add_argument("--threads", type=int, default=os.process_cpu_count() or 1, help="worker threads")
    args = parser.parse_args()
    try:
        quorlin.run(main, args.host, args.port, threads=args.threads)
    except KeyboardInterrupt:
        print("stopped", flush=True)
