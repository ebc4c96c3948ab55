"""Callbacks per second through `Runtime._call_soon`, beside asyncio on the same interpreter.

Two ways in:
- outside: a thread that is not a worker submits every callback (asyncio's peer:
  `loop.call_soon_threadsafe` from a thread other than the loop's);
- inside: a callback running on a worker submits every callback (asyncio's peer: `loop.call_soon`
  from a callback on the loop).
Each figure is the best of several rounds of submitting N callbacks and waiting until all have
run.  Then the pool is left at rest for a few seconds and the process CPU time is measured: idle
workers must use none.

    python bench/bench_callbacks.py [N]
"""

import asyncio
import sys
import threading
import time

from quorlin import _quorlin

ROUNDS = 3
REST_SECONDS = 3.0


class Countdown:
    """The callback under test: counts itself and signals when the last one has run."""

    def __init__(self, total):
        self.total = total
        self.ran = []
        self.finished = threading.Event()

    def __call__(self):
        self.ran.append(None)  # list.append is atomic, also without the GIL
        if len(self.ran) == self.total:
            self.finished.set()


class QuorlinPool:
    def __init__(self, threads):
        self.runtime = _quorlin.Runtime(threads, 1, 10, False, [])
        self.thread = threading.Thread(target=self.runtime._run, daemon=True)
        self.thread.start()

    def rate(self, count, inside):
        countdown = Countdown(count)
        call_soon = self.runtime._call_soon

        def submit_all():
            for _ in range(count):
                call_soon(countdown)

        start = time.perf_counter()
        if inside:
            call_soon(submit_all)
        else:
            submit_all()
        if not countdown.finished.wait(120):
            raise RuntimeError("callbacks did not finish")
        return count / (time.perf_counter() - start)

    def close(self):
        self.runtime._stopping = True
        self.thread.join(60)


class AsyncioLoop:
    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def rate(self, count, inside):
        countdown = Countdown(count)
        loop = self.loop

        def submit_all(call):
            for _ in range(count):
                call(countdown)

        start = time.perf_counter()
        if inside:
            loop.call_soon_threadsafe(submit_all, loop.call_soon)
        else:
            submit_all(loop.call_soon_threadsafe)
        if not countdown.finished.wait(120):
            raise RuntimeError("callbacks did not finish")
        return count / (time.perf_counter() - start)

    def close(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(60)
        self.loop.close()


def best(pool, count, inside):
    return max(pool.rate(count, inside) for _ in range(ROUNDS))


def idle_cpu_seconds(threads):
    pool = QuorlinPool(threads)
    pool.rate(1000, inside=False)  # wake every worker at least once, then let them park
    time.sleep(0.2)
    before = time.process_time()
    time.sleep(REST_SECONDS)
    used = time.process_time() - before
    pool.close()
    return used


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    print(f"Python {sys.version.split()[0]}, GIL enabled: {sys._is_gil_enabled()}, N = {count}, best of {ROUNDS}")
    peer = AsyncioLoop()
    print(f"{'submitted from':<16}{'threads':>8}{'quorlin /s':>14}{'asyncio /s':>14}{'ratio':>8}")
    for inside in (False, True):
        peer_rate = best(peer, count, inside)
        for threads in (1, 2):
            pool = QuorlinPool(threads)
            rate = best(pool, count, inside)
            pool.close()
            where = "a worker" if inside else "outside"
            print(f"{where:<16}{threads:>8}{rate:>14,.0f}{peer_rate:>14,.0f}{rate / peer_rate:>8.2f}")
    peer.close()
    for threads in (2, 4):
        used = idle_cpu_seconds(threads)
        print(f"idle pool of {threads}: {used:.4f} s CPU over {REST_SECONDS:.0f} s at rest")


if __name__ == "__main__":
    main()
