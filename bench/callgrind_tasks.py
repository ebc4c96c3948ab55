"""Instructions per unit of work for the task-heavy workloads, counted by callgrind.

    .venv/bin/python bench/callgrind_tasks.py [--only W1,W2,W3] [--contenders quorlin-1,quorlin-2,asyncio-1]

Each workload runs twice per contender under ``valgrind --tool=callgrind`` with a small and a
large count; the difference of the two totals divided by the difference of the counts is the cost
of one unit, without the interpreter's start-up and the run's set-up.  Units: W1 one trivial task
spawned and finished in one group; W2 one round trip of two events between two tasks; W3 one
timed sleep (0-50 ms) plus one task inside a deadline scope that never fires, each its own task.
Counts cover every thread (callgrind runs them one at a time), so they are comparable across
worker counts but include whatever the idle workers spin.

    .venv/bin/python bench/callgrind_tasks.py --child W1 quorlin-2 20000

runs one workload once, without valgrind (for a profiler of your own).
"""

import argparse
import os
import random
import subprocess
import sys
import tempfile

COUNTS = {"W1": (5_000, 25_000), "W2": (2_000, 10_000), "W3": (2_000, 10_000)}


def run_w1(contender, count):
    family, threads = _split(contender)

    async def trivial():
        return None

    if family == "quorlin":
        import quorlin

        async def main():
            async with quorlin.TaskGroup() as group:
                for _ in range(count):
                    group.start_soon(trivial)

        quorlin.run(main, threads=threads)
    else:
        import asyncio

        async def main():
            async with asyncio.TaskGroup() as group:
                for _ in range(count):
                    group.create_task(trivial())

        asyncio.run(main())


def run_w2(contender, count):
    family, threads = _split(contender)
    if family == "quorlin":
        import quorlin

        async def main():
            pings = [quorlin.Event() for _ in range(count)]
            pongs = [quorlin.Event() for _ in range(count)]

            async def ponger():
                for i in range(count):
                    await pings[i].wait()
                    pongs[i].set()

            async with quorlin.TaskGroup() as group:
                group.start_soon(ponger)
                for i in range(count):
                    pings[i].set()
                    await pongs[i].wait()

        quorlin.run(main, threads=threads)
    else:
        import asyncio

        async def main():
            ping, pong = asyncio.Event(), asyncio.Event()

            async def ponger():
                for _ in range(count):
                    await ping.wait()
                    ping.clear()
                    pong.set()

            task = asyncio.create_task(ponger())
            for _ in range(count):
                ping.set()
                await pong.wait()
                pong.clear()
            await task

        asyncio.run(main())


def run_w3(contender, count):
    family, threads = _split(contender)
    rng = random.Random(3)
    delays = [rng.uniform(0, 0.05) for _ in range(count)]
    if family == "quorlin":
        import quorlin

        async def sleeper(delay):
            await quorlin.sleep(delay)

        async def guarded():
            with quorlin.move_on_after(3600):
                await quorlin.checkpoint()

        async def main():
            async with quorlin.TaskGroup() as group:
                for delay in delays:
                    group.start_soon(sleeper, delay)
                for _ in range(count):
                    group.start_soon(guarded)

        quorlin.run(main, threads=threads)
    else:
        import asyncio

        async def sleeper(delay):
            await asyncio.sleep(delay)

        async def guarded():
            async with asyncio.timeout(3600):
                await asyncio.sleep(0)

        async def main():
            async with asyncio.TaskGroup() as group:
                for delay in delays:
                    group.create_task(sleeper(delay))
                for _ in range(count):
                    group.create_task(guarded())

        asyncio.run(main())


WORKLOADS = {"W1": run_w1, "W2": run_w2, "W3": run_w3}


def _split(contender):
    family, _, threads = contender.partition("-")
    return family, int(threads or 1)


def instructions(workload, contender, count):
    with tempfile.TemporaryDirectory() as directory:
        out = os.path.join(directory, "callgrind.out")
        command = [
            "valgrind",
            "--tool=callgrind",
            "--dump-instr=no",
            "--compress-strings=no",
            f"--callgrind-out-file={out}",
            sys.executable,
            os.path.abspath(__file__),
            "--child",
            workload,
            contender,
            str(count),
        ]
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as handle:
            for line in handle:
                if line.startswith(("summary:", "totals:")):
                    return int(line.split()[1])
    raise RuntimeError("callgrind wrote no total")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--only", default="W1,W2,W3")
    parser.add_argument("--contenders", default="quorlin-1,quorlin-2,asyncio-1")
    parser.add_argument("--child", nargs=3, metavar=("WORKLOAD", "CONTENDER", "COUNT"))
    options = parser.parse_args()
    if options.child:
        workload, contender, count = options.child
        WORKLOADS[workload](contender, int(count))
        return
    for workload in options.only.split(","):
        small, large = COUNTS[workload]
        per_unit = {}
        for contender in options.contenders.split(","):
            low = instructions(workload, contender, small)
            high = instructions(workload, contender, large)
            per_unit[contender] = (high - low) / (large - small)
        peer = per_unit.get("asyncio-1")
        for contender, value in per_unit.items():
            ratio = f"  ({value / peer:.2f}x asyncio)" if peer and contender != "asyncio-1" else ""
            print(f"{workload} {contender:10s} {value:10.0f} instructions/unit{ratio}", flush=True)


if __name__ == "__main__":
    main()
