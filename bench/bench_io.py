"""The I/O driver and the timers, measured on the native core against asyncio.

    python bench/bench_io.py [--rounds 3] [--scale 1.0]

echo    Loopback echo over socket pairs: one client and one echo server coroutine per pair, each
        message sent only after the previous one came back.  Messages per second, quorlin with one
        and two workers (readiness through ScheduledIO) beside one asyncio loop (sock_recv /
        sock_sendall).
timers  100,000 concurrent timed waits of random length up to 1 s.  Wall time beyond the longest
        timeout, and the CPU time of the thread that runs the loop.

Each contender runs in a fresh process (the runtime registry is write-once per process); the rounds
alternate contenders and the medians are reported with the quorlin/asyncio ratio.
"""

import argparse
import json
import statistics
import subprocess
import sys

PAIRS = 8
MESSAGE = b"x" * 64


# --------------------------------------------------------------------------------------------
# quorlin: a minimal driver over the native core


def quorlin_run(threads, main):
    """Registers a runtime, runs `main(runtime, stop)` as a coroutine and `_run` on this thread.

    Returns (main's value, CPU seconds of this thread inside `_run`)."""
    import socket
    import time

    from quorlin._quorlin import Runtime, set_runtime

    runtime = Runtime(threads, 4, 10, False, b"")
    set_runtime(runtime)
    r, w = socket.socketpair()
    r.setblocking(False)
    w.setblocking(False)
    runtime._ssock_r, runtime._ssock_w = r, w
    box = {}

    async def root():
        try:
            box["value"] = await main(runtime)
        finally:
            runtime._stopping = True

    runtime._spawn_coro(root())
    cpu = time.thread_time()
    runtime._run()
    cpu = time.thread_time() - cpu
    r.detach()
    w.detach()
    return box["value"], cpu


async def quorlin_recv(sock, io, size):
    while True:
        waiter = io._arm_r()
        if waiter is not None:
            await waiter
            continue
        try:
            data = sock.recv(size)
        except BlockingIOError:
            io.clear_r()  # stale readiness, unless a report arrived since the arm
            continue
        return data


async def quorlin_send_all(sock, io, data):
    view = memoryview(data)
    while view:
        waiter = io._arm_w()
        if waiter is not None:
            await waiter
            continue
        try:
            view = view[sock.send(view) :]
        except BlockingIOError:
            io.clear_w()


def echo_quorlin(threads, messages):
    import socket
    import threading
    import time

    from quorlin._quorlin import Event, ScheduledIO

    async def main(runtime):
        pairs = []
        for _ in range(PAIRS):
            a, b = socket.socketpair()
            a.setblocking(False)
            b.setblocking(False)
            pairs.append((a, ScheduledIO(a.fileno()), b, ScheduledIO(b.fileno())))
        remaining = [2 * PAIRS]
        lock = threading.Lock()
        finished = Event()

        def one_done():
            with lock:
                remaining[0] -= 1
                if remaining[0] == 0:
                    finished.set()

        async def client(sock, io):
            for _ in range(messages):
                await quorlin_send_all(sock, io, MESSAGE)
                got = 0
                while got < len(MESSAGE):
                    got += len(await quorlin_recv(sock, io, 65536))
            sock.shutdown(socket.SHUT_WR)
            one_done()

        async def server(sock, io):
            while data := await quorlin_recv(sock, io, 65536):
                await quorlin_send_all(sock, io, data)
            one_done()

        start = time.perf_counter()
        for a, a_io, b, b_io in pairs:
            runtime._spawn_coro(server(b, b_io))
            runtime._spawn_coro(client(a, a_io))
        await finished.waiter(None)
        elapsed = time.perf_counter() - start
        for a, a_io, b, b_io in pairs:
            a_io.close()
            b_io.close()
            a.close()
            b.close()
        return PAIRS * messages / elapsed

    rate, _ = quorlin_run(threads, main)
    return {"messages_per_s": rate}


def echo_asyncio(messages):
    import asyncio
    import socket
    import time

    async def main():
        loop = asyncio.get_running_loop()
        pairs = []
        for _ in range(PAIRS):
            a, b = socket.socketpair()
            a.setblocking(False)
            b.setblocking(False)
            pairs.append((a, b))

        async def client(sock):
            for _ in range(messages):
                await loop.sock_sendall(sock, MESSAGE)
                got = 0
                while got < len(MESSAGE):
                    got += len(await loop.sock_recv(sock, 65536))
            sock.shutdown(socket.SHUT_WR)

        async def server(sock):
            while data := await loop.sock_recv(sock, 65536):
                await loop.sock_sendall(sock, data)

        start = time.perf_counter()
        async with asyncio.TaskGroup() as group:
            for a, b in pairs:
                group.create_task(server(b))
                group.create_task(client(a))
        elapsed = time.perf_counter() - start
        for a, b in pairs:
            a.close()
            b.close()
        return PAIRS * messages / elapsed

    return {"messages_per_s": asyncio.run(main())}


# --------------------------------------------------------------------------------------------
# 100,000 timed waits


def timeouts(count):
    import random

    generator = random.Random(7)
    return [generator.randrange(1, 1_000_001) for _ in range(count)]  # microseconds


def timers_quorlin(threads, count):
    import threading
    import time

    from quorlin._quorlin import Event

    waits = timeouts(count)

    async def main(runtime):
        lock = threading.Lock()
        remaining = [count]
        finished = Event()

        async def sleeper(timeout_us):
            await Event().waiter(timeout_us)
            with lock:
                remaining[0] -= 1
                if remaining[0] == 0:
                    finished.set()

        start = time.perf_counter()
        for timeout_us in waits:
            runtime._spawn_coro(sleeper(timeout_us))
        await finished.waiter(None)
        return time.perf_counter() - start

    elapsed, loop_cpu = quorlin_run(threads, main)
    return {"beyond_longest_ms": (elapsed - max(waits) / 1e6) * 1000, "loop_cpu_s": loop_cpu}


def timers_asyncio(count):
    import asyncio
    import time

    waits = timeouts(count)

    async def main():
        start = time.perf_counter()
        async with asyncio.TaskGroup() as group:
            for timeout_us in waits:
                group.create_task(asyncio.sleep(timeout_us / 1e6))
        return time.perf_counter() - start

    cpu = time.thread_time()
    elapsed = asyncio.run(main())
    cpu = time.thread_time() - cpu
    return {"beyond_longest_ms": (elapsed - max(waits) / 1e6) * 1000, "loop_cpu_s": cpu}


# --------------------------------------------------------------------------------------------
# Driver


CONTENDERS = {
    "echo": ["quorlin-1", "quorlin-2", "asyncio-1"],
    "timers": ["quorlin-1", "quorlin-2", "asyncio-1"],
}
PRIMARY = {"echo": ("messages_per_s", True), "timers": ("beyond_longest_ms", False)}


def child(workload, contender, scale):
    family, _, threads = contender.partition("-")
    threads = int(threads)
    if workload == "echo":
        messages = int(5_000 * scale)
        result = echo_quorlin(threads, messages) if family == "quorlin" else echo_asyncio(messages)
    else:
        count = int(100_000 * scale)
        result = timers_quorlin(threads, count) if family == "quorlin" else timers_asyncio(count)
    print(json.dumps(result))


def measure(workload, contender, scale):
    completed = subprocess.run(
        [sys.executable, __file__, "--child", workload, contender, "--scale", str(scale)],
        capture_output=True,
        text=True,
        timeout=600,
    )
    if completed.returncode != 0:
        raise SystemExit(f"{workload} {contender} failed:\n{completed.stderr[-3000:]}")
    return json.loads(completed.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--child", nargs=2)
    arguments = parser.parse_args()
    if arguments.child:
        child(*arguments.child, arguments.scale)
        return

    for workload, contenders in CONTENDERS.items():
        samples = {contender: [] for contender in contenders}
        for _ in range(arguments.rounds):
            for contender in contenders:
                samples[contender].append(measure(workload, contender, arguments.scale))
        medians = {
            contender: {key: statistics.median(s[key] for s in runs) for key in runs[0]}
            for contender, runs in samples.items()
        }
        primary, higher_better = PRIMARY[workload]
        peer = medians["asyncio-1"]
        print(f"\n{workload} (median of {arguments.rounds}; ratio = quorlin / asyncio-1, "
              f"{'higher' if higher_better else 'lower'} is better for {primary})")
        for contender, values in medians.items():
            cells = []
            for key, value in values.items():
                ratio = value / peer[key] if peer[key] else float("nan")
                cells.append(f"{key} {value:,.3f} (x{ratio:.2f})")
            print(f"  {contender:10s} " + "  ".join(cells))


if __name__ == "__main__":
    main()
