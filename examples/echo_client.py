"""A TCP echo client: sends messages to an echo server and checks that each comes back intact.

    .venv/bin/python examples/echo_client.py [--host 127.0.0.1] [--port 9000] [MESSAGE ...]
    .venv/bin/python examples/echo_client.py --connections 64 --messages 1000 --size 1024

With messages on the command line it sends each one and prints the reply.  Otherwise it opens
`--connections` concurrent connections, each sending `--messages` messages of `--size` bytes one
after another (waiting for each echo), and reports round trips per second.
"""

import argparse
import os
import sys
import time

import quorlin


async def receive_exactly(stream: quorlin.SocketStream, count: int) -> bytes:
    data = bytearray()
    while len(data) < count:
        chunk = await stream.receive_some(count - len(data))
        if not chunk:
            raise ConnectionError(f"the server closed the connection after {len(data)} of {count} bytes")
        data += chunk
    return bytes(data)


async def say(host: str, port: int, messages: list[str]) -> None:
    async with await quorlin.open_tcp_stream(host, port) as stream:
        for message in messages:
            data = message.encode()
            await stream.send_all(data)
            print((await receive_exactly(stream, len(data))).decode())


async def load(host: str, port: int, connections: int, messages: int, size: int) -> None:
    async def one_connection(index: int) -> None:
        payload = bytes([index % 256]) * size
        async with await quorlin.open_tcp_stream(host, port) as stream:
            for _ in range(messages):
                await stream.send_all(payload)
                if await receive_exactly(stream, size) != payload:
                    raise AssertionError("the echo differs from what was sent")

    started = time.perf_counter()
    async with quorlin.TaskGroup() as tg:
        for index in range(connections):
            tg.start_soon(one_connection, index)
    elapsed = time.perf_counter() - started
    trips = connections * messages
    print(f"{trips} round trips of {size} bytes over {connections} connections in {elapsed:.2f} s: "
          f"{trips / elapsed:,.0f} per second")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("message", nargs="*", help="messages to send (otherwise: a load run)")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=9000)
    parser.add_argument("--connections", type=int, default=16)
    parser.add_argument("--messages", type=int, default=1000)
    parser.add_argument("--size", type=int, default=64)
    parser.add_argument("--threads", type=int, default=os.process_cpu_count() or 1, help="worker threads")
    args = parser.parse_args()
    try:
        if args.message:
            quorlin.run(say, args.host, args.port, args.message, threads=args.threads)
        else:
            quorlin.run(load, args.host, args.port, args.connections, args.messages, args.size,
                        threads=args.threads)
    except OSError as exc:
        sys.exit(f"echo_client: {exc}")
