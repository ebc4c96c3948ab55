"""The quorlin package against asyncio on the same workloads, in this process.

    python bench/bench_package.py [--rounds 3] [--scale 1.0]

Prints the median wall time of each side and the quorlin/asyncio ratio (below 1: quorlin faster).
quorlin runs with one worker per usable CPU.
"""

import argparse
import asyncio
import os
import statistics
import time

import quorlin


def spin(n):
    total = 0
    for i in range(n):
        total = (total * 31 + i) % 1_000_003
    return total


def workloads(scale):
    tasks = int(20_000 * scale)
    rounds = int(20_000 * scale)
    items = int(50_000 * scale)
    crunch = int(400_000 * scale)
    cpus = max(2, os.process_cpu_count() or 1)

    async def q_spawn():
        async def child():
            await quorlin.sleep(0)
        async with quorlin.TaskGroup() as tg:
            for _ in range(tasks):
                tg.start_soon(child)

    async def a_spawn():
        async def child():
            await asyncio.sleep(0)
        async with asyncio.TaskGroup() as tg:
            for _ in range(tasks):
                tg.create_task(child())

    async def q_lock():
        lock = quorlin.Lock()
        async def user():
            for _ in range(rounds // 4):
                async with lock:
                    pass
        async with quorlin.TaskGroup() as tg:
            for _ in range(4):
                tg.start_soon(user)

    async def a_lock():
        lock = asyncio.Lock()
        async def user():
            for _ in range(rounds // 4):
                async with lock:
                    await asyncio.sleep(0)  # asyncio's lock has no checkpoint of its own
        async with asyncio.TaskGroup() as tg:
            for _ in range(4):
                tg.create_task(user())

    async def q_channel():
        send, receive = quorlin.open_memory_channel(100)
        async def producer():
            async with send:
                for n in range(items):
                    await send.send(n)
        async with quorlin.TaskGroup() as tg:
            tg.start_soon(producer)
            async for _ in receive:
                pass

    async def a_channel():
        queue = asyncio.Queue(100)
        async def producer():
            for n in range(items):
                await queue.put(n)
            await queue.put(None)
        async with asyncio.TaskGroup() as tg:
            tg.create_task(producer())
            while await queue.get() is not None:
                pass

    async def q_cpu():
        async def worker():
            spin(crunch)
        async with quorlin.TaskGroup() as tg:
            for _ in range(cpus * 2):
                tg.start_soon(worker)

    async def a_cpu():
        async def worker():
            spin(crunch)
        async with asyncio.TaskGroup() as tg:
            for _ in range(cpus * 2):
                tg.create_task(worker())

    return {
        f"spawn and join {tasks} tasks": (q_spawn, a_spawn),
        f"{rounds} contended lock acquisitions": (q_lock, a_lock),
        f"{items} items through a 100-slot channel": (q_channel, a_channel),
        f"{cpus * 2} CPU-bound tasks": (q_cpu, a_cpu),
    }


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--scale", type=float, default=1.0)
    options = parser.parse_args()
    threads = os.process_cpu_count() or 1
    quorlin.configure(threads=threads)
    print(f"quorlin package vs asyncio, {threads} workers, median of {options.rounds} rounds")
    for name, (on_quorlin, on_asyncio) in workloads(options.scale).items():
        q_times, a_times = [], []
        for _ in range(options.rounds):
            q_times.append(timed(lambda: quorlin.run(on_quorlin)))
            a_times.append(timed(lambda: asyncio.run(on_asyncio())))
        q, a = statistics.median(q_times), statistics.median(a_times)
        print(f"{name:45s} quorlin {q * 1e3:9.1f} ms   asyncio {a * 1e3:9.1f} ms   ratio {q / a:6.2f}")


if __name__ == "__main__":
    main()
