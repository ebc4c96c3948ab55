"""Instructions and system calls per echo round trip, quorlin against asyncio, in one run.

    python bench/callgrind_net.py [--cases 64x64,64x1] [--contenders quorlin-1,quorlin-2,asyncio]
                                  [--rounds 40] [--tool callgrind,strace]

Each case is SIZExCONNECTIONS: a loopback TCP echo with client and server in one process (as in
bench_net.py's echo), but a fixed number of round trips per connection instead of a duration.
Every contender runs twice, with `rounds` and with a quarter of them, and the figures are the
difference divided by the difference in round trips: start-up, connection set-up and shutdown
cancel out.

callgrind   instructions per round trip (valgrind --tool=callgrind --separate-threads=yes), for the
            whole process and split into the main thread (quorlin: the I/O driver) and the others
            (quorlin: the workers).  Valgrind runs one thread at a time, so the hand-offs between
            threads are cheaper than on real cores; the instruction counts are what this measures.
strace      system calls per round trip (strace -f -c), the most frequent ones by name.
"""

from __future__ import annotations

import argparse
import asyncio
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


# --------------------------------------------------------------------------------------------
# The workload, run in a child process


async def echo_quorlin(size: int, connections: int, rounds: int) -> None:
    import quorlin

    async def handler(stream):
        async for chunk in stream:
            await stream.send_all(chunk)

    payload = b"x" * size
    listeners = await quorlin.open_tcp_listeners(0, host="127.0.0.1")
    port = listeners[0].socket.getsockname()[1]

    async def client():
        async with await quorlin.open_tcp_stream("127.0.0.1", port) as stream:
            for _ in range(rounds):
                await stream.send_all(payload)
                got = 0
                while got < size:
                    got += len(await stream.receive_some())

    async with quorlin.TaskGroup() as tg:
        tg.start_soon(quorlin.serve_listeners, handler, listeners)
        async with quorlin.TaskGroup() as clients:
            for _ in range(connections):
                clients.start_soon(client)
        tg.cancel_scope.cancel()


async def echo_asyncio(size: int, connections: int, rounds: int) -> None:
    async def handler(reader, writer):
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
        writer.close()

    payload = b"x" * size
    server = await asyncio.start_server(handler, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]

    async def client():
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        for _ in range(rounds):
            writer.write(payload)
            await writer.drain()
            await reader.readexactly(size)
        writer.close()
        await writer.wait_closed()

    async with server:
        await asyncio.gather(*(client() for _ in range(connections)))


def child(contender: str, size: int, connections: int, rounds: int) -> None:
    if contender.startswith("quorlin"):
        import quorlin

        quorlin.run(echo_quorlin, size, connections, rounds, threads=int(contender.partition("-")[2]))
    else:
        asyncio.run(echo_asyncio(size, connections, rounds))


# --------------------------------------------------------------------------------------------
# The measurements


def command(contender: str, size: int, connections: int, rounds: int) -> list[str]:
    return [sys.executable, str(Path(__file__).resolve()), "--child", contender, str(size), str(connections),
            str(rounds)]


def callgrind_counts(contender: str, size: int, connections: int, rounds: int) -> tuple[int, int]:
    """(main thread, other threads) instructions of one run."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--separate-threads=yes", f"--callgrind-out-file={out}",
                        *command(contender, size, connections, rounds)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        main = others = 0
        for path in glob.glob(out + "*"):
            text = Path(path).read_text(errors="replace")
            total = re.search(r"^(?:summary|totals):\s*(\d+)", text, re.M)
            thread = re.search(r"^thread:\s*(\d+)", text, re.M)
            count = int(total.group(1)) if total else 0
            if thread is None or thread.group(1) == "1":
                main += count
            else:
                others += count
        return main, others


def strace_counts(contender: str, size: int, connections: int, rounds: int) -> dict[str, int]:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "strace.out")
        subprocess.run(["strace", "-f", "-c", "-o", out, *command(contender, size, connections, rounds)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        calls: dict[str, int] = {}
        for line in Path(out).read_text().splitlines():
            fields = line.split()
            # % time, seconds, usecs/call, calls, [errors], syscall
            if len(fields) >= 5 and fields[0][0].isdigit() and fields[-1] != "total":
                calls[fields[-1]] = int(fields[3])
        return calls


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cases", default="64x64,64x1")
    parser.add_argument("--contenders", default="quorlin-1,quorlin-2,asyncio")
    parser.add_argument("--rounds", type=int, default=40, help="round trips per connection (64 connections)")
    parser.add_argument("--tool", default="callgrind,strace")
    parser.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        contender, size, connections, rounds = args.child
        child(contender, int(size), int(connections), int(rounds))
        return

    tools = args.tool.split(",")
    for case in args.cases.split(","):
        size, connections = (int(part) for part in case.split("x"))
        # About the same number of round trips in every case: fewer connections, more rounds each.
        high = max(args.rounds * 64 // connections, 8)
        low = high // 4
        trips = (high - low) * connections
        print(f"\n== echo {size} B x {connections} connections: {trips} round trips measured "
              f"({high} - {low} per connection)")
        for contender in args.contenders.split(","):
            if "callgrind" in tools and shutil.which("valgrind"):
                hi_main, hi_others = callgrind_counts(contender, size, connections, high)
                lo_main, lo_others = callgrind_counts(contender, size, connections, low)
                main_per = (hi_main - lo_main) / trips
                others_per = (hi_others - lo_others) / trips
                print(f"{contender:10s} instructions/round trip {main_per + others_per:9.0f}  "
                      f"(main thread {main_per:8.0f}, other threads {others_per:8.0f})")
            if "strace" in tools and shutil.which("strace"):
                hi = strace_counts(contender, size, connections, high)
                lo = strace_counts(contender, size, connections, low)
                per = {name: (hi.get(name, 0) - lo.get(name, 0)) / trips for name in hi}
                total = sum(per.values())
                top = sorted(per.items(), key=lambda item: -item[1])[:6]
                listed = ", ".join(f"{name} {value:.2f}" for name, value in top if value >= 0.01)
                print(f"{contender:10s} syscalls/round trip {total:6.2f}  ({listed})")


if __name__ == "__main__":
    main()
