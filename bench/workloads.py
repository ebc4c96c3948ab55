"""One benchmark workload for one contender, in this process; prints a JSON object of metrics.

    python bench/workloads.py W1 quorlin-2 [--scale 1.0]

Contenders: quorlin-1, quorlin-2 (worker threads), asyncio-1 (one loop), asyncio-2 (two loops in two
threads, each taking half the work), uvloop-1, uvloop-2, trio-1.  Not every workload has every
contender.  W5 (TCP echo) and W7 (the HTTP example under wrk) reuse bench_net.py, one loop per peer.
"""

import argparse
import json
import os
import random
import resource
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


def percentile(values, fraction):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


# --------------------------------------------------------------------------------------------
# Running a coroutine function on each contender


def run_on(contender, async_fn, *args):
    family, _, count = contender.partition("-")
    count = int(count or 1)
    if family == "quorlin":
        import quorlin

        return quorlin.run(async_fn, *args, threads=count)
    if family == "trio":
        import trio

        return trio.run(async_fn, *args)
    if family in ("asyncio", "uvloop"):
        import asyncio

        def one_loop(part, parts):
            if family == "uvloop":
                import uvloop

                return uvloop.run(async_fn(*args, part=part, parts=parts))
            return asyncio.run(async_fn(*args, part=part, parts=parts))

        if count == 1:
            return [one_loop(0, 1)]
        results = [None] * count

        def worker(index):
            results[index] = one_loop(index, count)

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return results
    raise SystemExit(f"unknown contender {contender}")


def family_of(contender):
    return contender.partition("-")[0]


# --------------------------------------------------------------------------------------------
# W1: spawn and complete trivial tasks


def w1(contender, scale):
    total = int(200_000 * scale)
    family = family_of(contender)

    async def trivial():
        return None

    if family == "quorlin":
        import quorlin

        async def main():
            start = time.perf_counter()
            async with quorlin.TaskGroup() as group:
                for _ in range(total):
                    group.start_soon(trivial)
            return time.perf_counter() - start

        elapsed = run_on(contender, main)
    elif family == "trio":
        import trio

        async def main():
            start = time.perf_counter()
            async with trio.open_nursery() as nursery:
                for _ in range(total):
                    nursery.start_soon(trivial)
            return time.perf_counter() - start

        elapsed = run_on(contender, main)
    else:
        import asyncio

        async def main(part=0, parts=1):
            start = time.perf_counter()
            async with asyncio.TaskGroup() as group:
                for _ in range(total // parts):
                    group.create_task(trivial())
            return time.perf_counter() - start

        elapsed = max(run_on(contender, main))
    return {"tasks_per_s": total / elapsed}


# --------------------------------------------------------------------------------------------
# W2: ping-pong between two tasks through events


def w2(contender, scale):
    rounds = int(100_000 * scale)
    family = family_of(contender)
    if family in ("quorlin", "trio"):
        # Both have one-shot events and a structured group with start_soon.
        library = __import__(family)
        open_group = library.TaskGroup if family == "quorlin" else library.open_nursery

        async def main():
            ping_events = [library.Event() for _ in range(rounds)]
            pong_events = [library.Event() for _ in range(rounds)]
            samples = []

            async def ponger():
                for i in range(rounds):
                    await ping_events[i].wait()
                    pong_events[i].set()

            async with open_group() as group:
                group.start_soon(ponger)
                for i in range(rounds):
                    start = time.perf_counter_ns()
                    ping_events[i].set()
                    await pong_events[i].wait()
                    samples.append(time.perf_counter_ns() - start)
            return samples

        samples = run_on(contender, main)
    else:
        import asyncio

        async def main(part=0, parts=1):
            ping, pong = asyncio.Event(), asyncio.Event()
            samples = []
            count = rounds // parts

            async def ponger():
                for _ in range(count):
                    await ping.wait()
                    ping.clear()
                    pong.set()

            task = asyncio.create_task(ponger())
            for _ in range(count):
                start = time.perf_counter_ns()
                ping.set()
                await pong.wait()
                pong.clear()
                samples.append(time.perf_counter_ns() - start)
            await task
            return samples

        samples = [s for part in run_on(contender, main) for s in part]
    return {"p50_us": percentile(samples, 0.5) / 1000, "p99_us": percentile(samples, 0.99) / 1000}


# --------------------------------------------------------------------------------------------
# W3: many timed waits, plus timeouts that never fire


def w3(contender, scale):
    count = int(100_000 * scale)
    rng = random.Random(3)
    delays = [rng.uniform(0, 2.0) for _ in range(count)]
    family = family_of(contender)
    lateness = []
    lock = threading.Lock()
    if family == "quorlin":
        import quorlin

        async def sleeper(delay):
            due = time.monotonic() + delay
            await quorlin.sleep(delay)
            late = time.monotonic() - due
            with lock:
                lateness.append(late)

        async def guarded():
            with quorlin.move_on_after(3600):
                await quorlin.checkpoint()

        async def main():
            async with quorlin.TaskGroup() as group:
                for delay in delays:
                    group.start_soon(sleeper, delay)
                for _ in range(count):
                    group.start_soon(guarded)

        run_on(contender, main)
    else:
        import asyncio

        async def sleeper(delay):
            due = time.monotonic() + delay
            await asyncio.sleep(delay)
            late = time.monotonic() - due
            with lock:
                lateness.append(late)

        async def guarded():
            async with asyncio.timeout(3600):
                await asyncio.sleep(0)

        async def main(part=0, parts=1):
            async with asyncio.TaskGroup() as group:
                for delay in delays[part::parts]:
                    group.create_task(sleeper(delay))
                for _ in range(count // parts):
                    group.create_task(guarded())

        run_on(contender, main)
    return {"lateness_p99_ms": percentile(lateness, 0.99) * 1000, "lateness_p50_ms": percentile(lateness, 0.5) * 1000}


# --------------------------------------------------------------------------------------------
# W4: CPU-bound tasks


def cpu_work(data):
    total = 0
    for value in data:
        total += value * value % 7
    return total


def w4(contender, scale, shared=False):
    tasks = 64
    length = int(60_000 * scale)
    shared_data = list(range(length))
    private = [list(range(length)) for _ in range(tasks)] if not shared else None
    family = family_of(contender)

    def data_for(i):
        return shared_data if shared else private[i]

    if family == "quorlin":
        import quorlin

        async def one(i):
            cpu_work(data_for(i))

        async def main():
            async with quorlin.TaskGroup() as group:
                for i in range(tasks):
                    group.start_soon(one, i)

        start = time.perf_counter()
        run_on(contender, main)
    else:
        import asyncio

        async def one(i):
            cpu_work(data_for(i))

        async def main(part=0, parts=1):
            async with asyncio.TaskGroup() as group:
                for i in range(part, tasks, parts):
                    group.create_task(one(i))

        start = time.perf_counter()
        run_on(contender, main)
    return {"wall_s": time.perf_counter() - start}


def w4_shared(contender, scale):
    return w4(contender, scale, shared=True)


# --------------------------------------------------------------------------------------------
# W6: blocking calls beside asyncio.to_thread


def w6(contender, scale):
    calls = int(2_000 * scale)
    family = family_of(contender)
    trips = []
    if family == "quorlin":
        import quorlin

        async def main():
            for _ in range(200):
                start = time.perf_counter_ns()
                await quorlin.to_thread.run_sync(int)
                trips.append(time.perf_counter_ns() - start)
            start = time.perf_counter()
            async with quorlin.TaskGroup() as group:
                for _ in range(calls):
                    group.start_soon(quorlin.to_thread.run_sync, time.sleep, 0.001)
            return time.perf_counter() - start

        sleeps = run_on(contender, main)
    else:
        import asyncio

        async def main(part=0, parts=1):
            for _ in range(200 // parts):
                start = time.perf_counter_ns()
                await asyncio.to_thread(int)
                trips.append(time.perf_counter_ns() - start)
            start = time.perf_counter()
            async with asyncio.TaskGroup() as group:
                for _ in range(calls // parts):
                    group.create_task(asyncio.to_thread(time.sleep, 0.001))
            return time.perf_counter() - start

        sleeps = max(run_on(contender, main))
    return {"round_trip_p50_us": percentile(trips, 0.5) / 1000, "sleeps_wall_s": sleeps}


# --------------------------------------------------------------------------------------------
# W8: a pool at rest


def w8(contender, scale):
    """CPU over a rest, the same over a rest twice as long (their difference is what resting
    itself costs, per second), and voluntary context switches per burst of 64 spawns into a pool
    at rest (each worker should wake at most once per burst)."""
    rest = 2.0 * max(scale, 0.5)
    bursts = 20
    family = family_of(contender)

    def switches():
        return resource.getrusage(resource.RUSAGE_SELF).ru_nvcsw

    async def nothing():
        return None

    async def measure(sleep, burst):
        await sleep(0.05)
        before = time.process_time()
        await sleep(rest)
        short = time.process_time() - before
        before = time.process_time()
        await sleep(2 * rest)
        long = time.process_time() - before
        burst_switches = 0
        for _ in range(bursts):
            await sleep(0.02)
            start = switches()
            await burst()
            burst_switches += switches() - start
        return short, long, burst_switches / bursts

    if family == "quorlin":
        import quorlin

        async def burst():
            async with quorlin.TaskGroup() as group:
                for _ in range(64):
                    group.start_soon(nothing)

        async def main():
            return await measure(quorlin.sleep, burst)

        short, long, per_burst = run_on(contender, main)
    else:
        import asyncio

        async def burst():
            async with asyncio.TaskGroup() as group:
                for _ in range(64):
                    group.create_task(nothing())

        async def main(part=0, parts=1):
            return await measure(asyncio.sleep, burst)

        short, long, per_burst = max(run_on(contender, main))
    return {
        "rest_cpu_ms": short * 1000,
        "rest_cpu_ms_per_s": max(long - short, 0.0) * 1000 / rest,
        "switches_per_burst": per_burst,
    }


# --------------------------------------------------------------------------------------------
# W5: loopback TCP echo, and W7: the HTTP example under wrk (both from bench_net.py)


def _net_contender(contender):
    # bench_net names one asyncio or uvloop loop without a count.
    family, _, count = contender.partition("-")
    if family == "quorlin":
        return contender
    if count not in ("", "1"):
        raise SystemExit(f"{contender}: the networking workloads run one loop per peer")
    return family


def _echo(contender, scale, size, connections):
    import bench_net

    duration = max(0.5, 2.0 * scale)
    metrics = bench_net.run_echo(_net_contender(contender), size, connections, duration)
    return {"round_trips_per_s": metrics["per_s"], "p99_us": metrics["p99_us"]}


def w5(contender, scale):
    return _echo(contender, scale, 64, 64)


def w5_1k(contender, scale):
    return _echo(contender, scale, 1024, 16)


def w5_one(contender, scale):
    return _echo(contender, scale, 64, 1)


def w7(contender, scale):
    import bench_net

    metrics = bench_net.run_http(_net_contender(contender), max(1.0, 5.0 * scale))
    return {"requests_per_s": metrics["per_s"], "p99_us": metrics["p99_us"], "errors": metrics["errors"]}


WORKLOADS = {
    "W1": w1,
    "W2": w2,
    "W3": w3,
    "W4": w4,
    "W4-shared": w4_shared,
    "W5": w5,
    "W5-1KiB": w5_1k,
    "W5-1conn": w5_one,
    "W6": w6,
    "W7": w7,
    "W8": w8,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("workload", choices=sorted(WORKLOADS))
    parser.add_argument("contender")
    parser.add_argument("--scale", type=float, default=1.0)
    options = parser.parse_args()
    metrics = WORKLOADS[options.workload](options.contender, options.scale)
    json.dump(metrics, sys.stdout)
    sys.stdout.write("\n")
    sys.stdout.flush()
    os._exit(0)  # a contender's leftover threads must not hold up the measurement


if __name__ == "__main__":
    main()
