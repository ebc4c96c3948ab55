"""Coroutine throughput and wake-up latency of the native core, beside asyncio in the same run.

    python bench/bench_coroutines.py [--tasks 100000] [--round-trips 20000] [--rounds 5]

Workloads, each with 1 and 2 worker threads for quorlin and one event loop for asyncio:
  spawn   spawn trivial coroutines and wait until all have completed (tasks per second)
  pingpong  two coroutines wake each other through two events (microseconds per round trip)
Medians over the rounds; the ratio is quorlin against asyncio (>1: quorlin ahead).
"""

import argparse
import asyncio
import os
import statistics
import sys
import threading
import time

from quorlin._quorlin import Event, Runtime


class Running:
    def __init__(self, threads):
        self.runtime = Runtime(threads, 1, 10, False, b"")
        self.thread = threading.Thread(target=self.runtime._run, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self.runtime

    def __exit__(self, *exc):
        self.runtime._stopping = True
        self.thread.join(timeout=60)


def quorlin_spawn(threads, tasks):
    finished = []
    done = threading.Event()

    async def trivial():
        finished.append(None)
        if len(finished) == tasks:
            done.set()

    with Running(threads) as runtime:
        spawn = runtime._spawn_coro
        start = time.perf_counter()
        for _ in range(tasks):
            spawn(trivial())
        if not done.wait(120):
            raise SystemExit("spawn workload did not finish")
        elapsed = time.perf_counter() - start
    return tasks / elapsed


def asyncio_spawn(tasks):
    async def main():
        finished = []
        done = asyncio.Event()

        async def trivial():
            finished.append(None)
            if len(finished) == tasks:
                done.set()

        loop = asyncio.get_running_loop()
        start = time.perf_counter()
        for _ in range(tasks):
            loop.create_task(trivial())
        await done.wait()
        return time.perf_counter() - start

    return tasks / asyncio.run(main())


def quorlin_pingpong(threads, round_trips):
    ping, pong = Event(), Event()
    done = threading.Event()
    elapsed = []

    async def server():
        for _ in range(round_trips):
            await ping.waiter(None)
            ping.clear()
            pong.set()

    async def client():
        start = time.perf_counter()
        for _ in range(round_trips):
            pong.clear()
            ping.set()
            await pong.waiter(None)
        elapsed.append(time.perf_counter() - start)
        done.set()

    with Running(threads) as runtime:
        runtime._spawn_coro(server())
        runtime._spawn_coro(client())
        if not done.wait(120):
            raise SystemExit("ping-pong workload did not finish")
    return elapsed[0] / round_trips * 1e6


def asyncio_pingpong(round_trips):
    async def main():
        ping, pong = asyncio.Event(), asyncio.Event()

        async def server():
            for _ in range(round_trips):
                await ping.wait()
                ping.clear()
                pong.set()

        async def client():
            start = time.perf_counter()
            for _ in range(round_trips):
                pong.clear()
                ping.set()
                await pong.wait()
            return time.perf_counter() - start

        task = asyncio.create_task(server())
        elapsed = await client()
        await task
        return elapsed

    return asyncio.run(main()) / round_trips * 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tasks", type=int, default=100_000)
    parser.add_argument("--round-trips", type=int, default=20_000)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()

    contenders = {
        "spawn": {
            "quorlin-1": lambda: quorlin_spawn(1, options.tasks),
            "quorlin-2": lambda: quorlin_spawn(2, options.tasks),
            "asyncio": lambda: asyncio_spawn(options.tasks),
        },
        "pingpong": {
            "quorlin-1": lambda: quorlin_pingpong(1, options.round_trips),
            "quorlin-2": lambda: quorlin_pingpong(2, options.round_trips),
            "asyncio": lambda: asyncio_pingpong(options.round_trips),
        },
    }
    units = {"spawn": ("tasks/s", True), "pingpong": ("us/round trip", False)}

    print(
        f"interpreter {sys.version.split()[0]}, GIL enabled: {sys._is_gil_enabled()}, "
        f"{os.cpu_count()} CPUs, rounds {options.rounds} (medians)"
    )
    for workload, runners in contenders.items():
        samples = {name: [] for name in runners}
        for round_index in range(options.rounds):
            order = list(runners) if round_index % 2 == 0 else list(reversed(runners))
            for name in order:
                samples[name].append(runners[name]())
        unit, higher_better = units[workload]
        peer = statistics.median(samples["asyncio"])
        print(f"\n{workload} ({unit}, {'higher' if higher_better else 'lower'} is better)")
        for name, values in samples.items():
            value = statistics.median(values)
            advantage = value / peer if higher_better else peer / value
            note = "" if name == "asyncio" else f"   quorlin advantage over asyncio: {advantage:.2f}x"
            print(f"  {name:10s} {value:12.4g}{note}")


if __name__ == "__main__":
    main()
