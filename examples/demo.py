"""What quorlin is for: one event loop whose tasks run in parallel on every core.

The same program runs twice in this process, first on quorlin, then on asyncio: a task group of
CPU-bound tasks (pure-Python number crunching) and I/O-like tasks (sleeps standing in for network
waits).  On asyncio the CPU-bound tasks take turns on one thread; on quorlin they run at once.
"""

import asyncio
import os
import sys
import time

import quorlin

CPU_TASKS = max(2, os.process_cpu_count() or 1)
IO_TASKS = 200
CRUNCH = 1_500_000
IO_WAIT = 0.2


def crunch(seed: int) -> int:
    total = seed
    for i in range(CRUNCH):
        total = (total * 31 + i) % 1_000_003
    return total


async def on_quorlin() -> list[int]:
    results: list[int] = []

    async def cpu(seed: int) -> None:
        results.append(crunch(seed))

    async def io_like() -> None:
        await quorlin.sleep(IO_WAIT)

    async with quorlin.TaskGroup() as tg:
        for seed in range(CPU_TASKS):
            tg.start_soon(cpu, seed)
        for _ in range(IO_TASKS):
            tg.start_soon(io_like)
    return sorted(results)


async def on_asyncio() -> list[int]:
    results: list[int] = []

    async def cpu(seed: int) -> None:
        results.append(crunch(seed))

    async def io_like() -> None:
        await asyncio.sleep(IO_WAIT)

    async with asyncio.TaskGroup() as tg:
        for seed in range(CPU_TASKS):
            tg.create_task(cpu(seed))
        for _ in range(IO_TASKS):
            tg.create_task(io_like())
    return sorted(results)


def timed(run, main):
    start = time.perf_counter()
    result = run(main)
    return result, time.perf_counter() - start


def main() -> None:
    print(f"quorlin {quorlin.__version__} on Python {sys.version.split()[0]}"
          f" (GIL {'enabled' if sys._is_gil_enabled() else 'disabled'}), {os.process_cpu_count()} CPUs")
    print(f"workload: {CPU_TASKS} CPU-bound tasks + {IO_TASKS} tasks waiting {IO_WAIT}s each, in one task group")
    quorlin_result, quorlin_time = timed(lambda fn: quorlin.run(fn, threads=CPU_TASKS), on_quorlin)
    asyncio_result, asyncio_time = timed(lambda fn: asyncio.run(fn()), on_asyncio)
    assert quorlin_result == asyncio_result, "the two runs disagree"
    print(f"quorlin ({CPU_TASKS} workers): {quorlin_time:.2f}s   asyncio: {asyncio_time:.2f}s"
          f"   -> quorlin takes {quorlin_time / asyncio_time:.2f}x asyncio's time")


if __name__ == "__main__":
    main()
