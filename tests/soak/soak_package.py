"""Soak of the quorlin package: a mixed workload for QUORLIN_SOAK_SECONDS, then exact accounting.

Inside one `quorlin.run`, spawner tasks keep starting short tasks of every kind: sleeps, cancel
scopes that cancel (move_on_after, fail_after), memory-channel hand-offs, lock contention, thread
calls (some cancelled and abandoned), events set from plain threads, and TCP connections to a local
echo server that open, carry a random payload both ways and close.  A plain thread sends SIGUSR1
to the process all along; a task receives the signals.

At the end every task started has finished exactly once with the outcome its kind expects, every
item and every byte sent has been received, the lock's counter is exact, nothing was printed on
standard error, and the resident set stayed flat after warm-up.  Prints one line of JSON.

Run by tests/soak/test_soak.py, or by hand: QUORLIN_SOAK_SECONDS=30 python tests/soak/soak_package.py
"""

import functools
import json
import os
import random
import signal
import sys
import threading
import time

import quorlin
from quorlin import to_thread

SECONDS = float(os.environ.get("QUORLIN_SOAK_SECONDS", "60"))
WARM_UP = min(15.0, SECONDS / 4)
IN_FLIGHT = 200
WAIT = 60.0


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Ledger:
    def __init__(self):
        self.lock = threading.Lock()
        self.started = {}
        self.finished = {}
        self.wrong = []
        self.counts = {}

    def start(self, kind):
        with self.lock:
            self.started[kind] = self.started.get(kind, 0) + 1

    def finish(self, kind, ok, detail=None):
        with self.lock:
            self.finished[kind] = self.finished.get(kind, 0) + 1
            if not ok:
                self.wrong.append((kind, repr(detail)[:300]))

    def add(self, name, amount):
        with self.lock:
            self.counts[name] = self.counts.get(name, 0) + amount


ledger = Ledger()
shared = {"lock": None, "counter": 0, "port": None}
to_set = []  # (event) for the plain setter thread
to_set_lock = threading.Lock()
stop = threading.Event()  # no new tasks
setters_stop = threading.Event()  # every task has finished: no event is left to set


async def sleeps():
    await quorlin.sleep(random.random() / 200)
    return True, None


async def moves_on():
    with quorlin.move_on_after(random.random() / 500) as scope:
        await quorlin.sleep_forever()
    return scope.cancelled_caught, scope


async def fails_after():
    try:
        with quorlin.fail_after(random.random() / 500):
            await quorlin.sleep_forever()
    except TimeoutError:
        return True, None
    return False, "no TimeoutError"


async def channel():
    items = random.randint(1, 50)
    send, receive = quorlin.open_memory_channel(random.choice([0, 1, 8]))
    got = []

    async def produce():
        async with send:
            for i in range(items):
                await send.send(i)

    async with quorlin.TaskGroup() as group:
        group.start_soon(produce)
        async with receive:
            async for item in receive:
                got.append(item)
    ledger.add("channel items sent", items)
    ledger.add("channel items received", len(got))
    return got == list(range(items)), got[:5]


async def locked():
    async with shared["lock"]:
        before = shared["counter"]
        await quorlin.checkpoint()
        shared["counter"] = before + 1
    ledger.add("lock increments", 1)
    return True, None


async def thread_call():
    n = random.randint(0, 1000)
    value = await to_thread.run_sync(sum, range(n))
    return value == n * (n - 1) // 2, value


async def thread_abandoned():
    release = threading.Event()
    with quorlin.move_on_after(0.001) as scope:
        await to_thread.run_sync(release.wait, 1, abandon_on_cancel=True)
    release.set()
    return scope.cancelled_caught, scope


async def event_from_thread():
    event = quorlin.Event()
    with to_set_lock:
        to_set.append(event)
    with quorlin.fail_after(WAIT):
        await event.wait()
    return event.is_set(), None


async def tcp():
    payload = os.urandom(random.randint(1, 100_000))
    stream = await quorlin.open_tcp_stream("127.0.0.1", shared["port"])
    async with stream:
        received = bytearray()

        async def sender():
            await stream.send_all(payload)
            await stream.send_eof()

        async with quorlin.TaskGroup() as group:
            group.start_soon(sender)
            while True:
                chunk = await stream.receive_some(65536)
                if not chunk:
                    break
                received += chunk
    ledger.add("tcp bytes sent", len(payload))
    ledger.add("tcp bytes received", len(received))
    return bytes(received) == payload, len(received)


KINDS = {
    "sleeps": sleeps,
    "moves_on": moves_on,
    "fails_after": fails_after,
    "channel": channel,
    "locked": locked,
    "thread_call": thread_call,
    "thread_abandoned": thread_abandoned,
    "event_from_thread": event_from_thread,
    "tcp": tcp,
}


async def echo(stream):
    while True:
        data = await stream.receive_some(65536)
        if not data:
            break
        ledger.add("tcp bytes echoed", len(data))
        await stream.send_all(data)
    await stream.send_eof()


async def one(kind, slots):
    try:
        ok, detail = await KINDS[kind]()
    except BaseException as error:  # noqa: BLE001 - any escape is a wrong outcome
        ok, detail = False, error
    ledger.finish(kind, ok, detail)
    slots.release()


async def spawner(group, slots, seed):
    rng = random.Random(seed)
    names = sorted(KINDS)
    while not stop.is_set():
        await slots.acquire()
        kind = rng.choice(names)
        ledger.start(kind)
        group.start_soon(one, kind, slots)


async def listen_signals(task_status=quorlin.TASK_STATUS_IGNORED):
    with quorlin.open_signal_receiver(signal.SIGUSR1) as signals:
        task_status.started()
        async for _ in signals:
            ledger.add("signals received", 1)


def setter():
    while not setters_stop.is_set():
        with to_set_lock:
            batch = to_set[:]
            to_set.clear()
        for event in batch:
            event.set()
        time.sleep(0.0005)


def signaller():
    while not stop.is_set():
        os.kill(os.getpid(), signal.SIGUSR1)
        time.sleep(0.005)


async def main():
    shared["lock"] = quorlin.Lock()
    samples = []
    slots = quorlin.Semaphore(IN_FLIGHT)
    plain = [threading.Thread(target=setter), threading.Thread(target=signaller)]
    for thread in plain:
        thread.start()
    try:
        async with quorlin.TaskGroup() as services:
            listeners = await services.start(functools.partial(quorlin.serve_tcp, echo, 0, host="127.0.0.1"))
            shared["port"] = listeners[0].socket.getsockname()[1]
            await services.start(listen_signals)
            async with quorlin.TaskGroup() as work:
                for seed in range(2):
                    work.start_soon(spawner, work, slots, seed)
                started = quorlin.current_time()
                while quorlin.current_time() - started < SECONDS:
                    samples.append((quorlin.current_time() - started, resident_bytes()))
                    await quorlin.sleep(0.5)
                stop.set()
                # Leaving the block waits for the spawners and every task they started.
            services.cancel_scope.cancel()
    finally:
        stop.set()
        setters_stop.set()
        for thread in plain:
            thread.join(WAIT)
    return samples


def report(samples):
    after_warm_up = [rss for at, rss in samples if at >= WARM_UP]
    quarter = max(1, len(after_warm_up) // 4)
    first, last = sorted(after_warm_up[:quarter]), sorted(after_warm_up[-quarter:])
    counts = ledger.counts
    return {
        "seconds": SECONDS,
        "started": sum(ledger.started.values()),
        "finished": sum(ledger.finished.values()),
        "by_kind": {kind: [ledger.started.get(kind, 0), ledger.finished.get(kind, 0)] for kind in sorted(KINDS)},
        "wrong": ledger.wrong[:10],
        "lock_exact": shared["counter"] == counts.get("lock increments", 0),
        "channel_items": [counts.get("channel items sent", 0), counts.get("channel items received", 0)],
        "tcp_bytes": [counts.get("tcp bytes sent", 0), counts.get("tcp bytes echoed", 0),
                      counts.get("tcp bytes received", 0)],
        "signals": counts.get("signals received", 0),
        "rss_after_warm_up_mib": round(first[len(first) // 2] / 2**20, 1),
        "rss_at_end_mib": round(last[len(last) // 2] / 2**20, 1),
        # Every tenth of the run, to see the shape of any growth.
        "rss_trace_mib": [round(rss / 2**20, 1) for _, rss in samples[:: max(1, len(samples) // 10)]],
    }


if __name__ == "__main__":
    samples = quorlin.run(main, threads=3, blocking_threads=8, blocking_idle_timeout=1,
                          signals=[signal.SIGINT, signal.SIGUSR1])
    print(json.dumps(report(samples)))
