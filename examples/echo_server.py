"""A TCP echo server: every byte a client sends comes straight back.

    .venv/bin/python examples/echo_server.py [--host 127.0.0.1] [--port 9000] [--threads N]

Each connection is served by its own task; with several worker threads the connections are served
in parallel.  Ctrl-C stops the server.  Try it with examples/echo_client.py, or with
``nc 127.0.0.1 9000``.
"""

import argparse
import os

import quorlin


async def echo(stream: quorlin.SocketStream) -> None:
    async for chunk in stream:
        await stream.send_all(chunk)


async def main(host: str, port: int) -> None:
    listeners = await quorlin.open_tcp_listeners(port, host=host)
    for listener in listeners:
        address, bound_port = listener.socket.getsockname()[:2]
        print(f"echo server listening on {address} port {bound_port}", flush=True)
    await quorlin.serve_listeners(echo, listeners)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=9000, help="TCP port; 0 picks a free one (default 9000)")
    parser.add_argument("--threads", type=int, default=os.process_cpu_count() or 1, help="worker threads")
    args = parser.parse_args()
    try:
        quorlin.run(main, args.host, args.port, threads=args.threads)
    except KeyboardInterrupt:
        print("stopped")
