"""Short blocking calls: Runtime._spawn_blocking beside asyncio.to_thread on the same interpreter.

    python bench/bench_blocking.py [--calls 10000] [--rounds 5]

Each round submits every call at once and waits for all of them; the contenders alternate,
each in a fresh pool.  Reports the median calls per second, the quorlin/asyncio ratio, and how
many threads each pool started (for quorlin the growth of /proc/self/task, as its workers outlive
the round; for the executor the threads it records).  Both pools get the same limit, the default
executor's min(32, cpus + 4).  The asyncio time excludes starting and closing the event loop.
"""

import argparse
import asyncio
import concurrent.futures
import os
import statistics
import sys
import threading
import time

from quorlin._quorlin import Runtime


def short_call():
    return threading.get_ident()


def thread_count():
    return len(os.listdir("/proc/self/task"))


def settle(baseline):
    """Waits (bounded) until threads of earlier rounds have ended."""
    deadline = time.monotonic() + 10
    while thread_count() > baseline and time.monotonic() < deadline:
        time.sleep(0.001)


def quorlin_round(calls, limit):
    runtime = Runtime(1, limit, 60, False, [])
    before = thread_count()
    start = time.perf_counter()
    tasks = [runtime._spawn_blocking(short_call) for _ in range(calls)]
    for _ctl, event, _result in tasks:
        while not event.is_set():
            time.sleep(0.0001)
    elapsed = time.perf_counter() - start
    started = thread_count() - before
    idents = {result.fetch()[1] for _ctl, _event, result in tasks}
    return calls / elapsed, started, len(idents)
    # The runtime goes here; its workers see the queue disconnected and end.


def asyncio_round(calls, limit):
    executor = concurrent.futures.ThreadPoolExecutor(max_workers=limit)

    async def run_all():
        asyncio.get_running_loop().set_default_executor(executor)
        start = time.perf_counter()
        idents = await asyncio.gather(*(asyncio.to_thread(short_call) for _ in range(calls)))
        return time.perf_counter() - start, idents

    elapsed, idents = asyncio.run(run_all())  # which also shuts the executor down
    return calls / elapsed, len(executor._threads), len(set(idents))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    limit = min(32, (os.cpu_count() or 1) + 4)
    contenders = {"quorlin _spawn_blocking": quorlin_round, "asyncio.to_thread": asyncio_round}
    samples = {name: [] for name in contenders}
    baseline = thread_count()
    for _ in range(options.rounds):
        for name, round_ in contenders.items():
            settle(baseline)
            samples[name].append(round_(options.calls, limit))
    print(f"python {sys.version.split()[0]}, GIL {'on' if sys._is_gil_enabled() else 'off'}, "
          f"{os.cpu_count()} CPUs, {options.calls} calls x {options.rounds} rounds, pool limit {limit}")
    medians = {}
    for name, rows in samples.items():
        rate = statistics.median(row[0] for row in rows)
        started = max(row[1] for row in rows)
        seen = max(row[2] for row in rows)
        medians[name] = rate
        print(f"  {name:24} {rate:12,.0f} calls/s   threads started {started:3}   threads that ran calls {seen:3}")
    quorlin, peer = medians["quorlin _spawn_blocking"], medians["asyncio.to_thread"]
    print(f"  ratio quorlin/asyncio calls/s: {quorlin / peer:.2f}x")


if __name__ == "__main__":
    main()
