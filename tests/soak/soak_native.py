"""Soak of the native core: a mixed workload for QUORLIN_SOAK_SECONDS, then exact accounting.

Plain threads keep spawning coroutines of every kind while other plain threads set their events,
abort them and send signals; the coroutines wait on single events (set before or after the wait),
on all of several events, on timeouts, on checkpoints that are aborted, on blocking calls, on
descriptors (bytes through socket pairs opened and closed by the task), and yield; some spawn
children.  The run itself lives on the main thread, as a Python loop would run it.

At the end every task spawned has finished exactly once with the outcome its kind expects, every
byte written has been read, the signal was delivered, nothing was printed on standard error, and
the resident set stayed flat after warm-up.  Prints one line of JSON with the figures.

Run by tests/soak/test_soak.py, or by hand: QUORLIN_SOAK_SECONDS=30 python tests/soak/soak_native.py
"""

import json
import os
import queue
import random
import signal
import socket
import sys
import threading
import time
import types

from quorlin._quorlin import CancelledError, Event, Runtime, ScheduledIO, Waiter, set_runtime

SECONDS = float(os.environ.get("QUORLIN_SOAK_SECONDS", "60"))
WARM_UP = min(15.0, SECONDS / 4)
IN_FLIGHT = 200  # tasks alive at once, so that memory measures leaks rather than backlog
WAIT = 60.0


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Ledger:
    """Counts per kind: spawned, finished with the expected outcome, and anything unexpected."""

    def __init__(self):
        self.lock = threading.Lock()
        self.spawned = {}
        self.finished = {}
        self.wrong = []
        self.bytes_written = 0
        self.bytes_read = 0

    def spawn(self, kind):
        with self.lock:
            self.spawned[kind] = self.spawned.get(kind, 0) + 1

    def finish(self, kind, ok, detail=None):
        with self.lock:
            self.finished[kind] = self.finished.get(kind, 0) + 1
            if not ok:
                self.wrong.append((kind, repr(detail)[:200]))

    def moved(self, written, read):
        with self.lock:
            self.bytes_written += written
            self.bytes_read += read


ledger = Ledger()
slots = threading.BoundedSemaphore(IN_FLIGHT)
to_set = queue.SimpleQueue()  # events for the setter threads
to_abort = queue.SimpleQueue()  # control waiters for the aborter thread
stopping = threading.Event()

runtime = Runtime(3, 4, 1, True, [signal.SIGUSR1])
set_runtime(runtime)


@types.coroutine
def yield_none():
    yield


def task(kind):
    """Wraps a kind's body: counts it, frees its slot, whatever happens."""

    async def run(body):
        try:
            ok, detail = await body()
        except BaseException as error:  # noqa: BLE001 - any escape is a wrong outcome
            ok, detail = False, error
        ledger.finish(kind, ok, detail)
        slots.release()

    return run


async def event_after():
    event = Event()
    to_set.put(event)
    value = await event.waiter(None)
    return value is None and event.is_set(), value


async def event_before():
    event = Event()
    event.set()
    value = await event.waiter(None)
    return value is None, value


async def all_of():
    events = [Event() for _ in range(random.randint(2, 4))]
    for event in events:
        to_set.put(event)
    value = await Waiter(*events)
    return value == [None] * len(events), value


async def timeout():
    event = Event()
    value = await event.waiter(random.randint(100, 3000))
    return value is None and not event.is_set(), value  # resumed by its timeout: nobody sets it


async def aborted():
    control = Waiter.checkpoint()
    await control
    to_abort.put(control)
    try:
        await Event().waiter(None)
    except CancelledError as error:
        return error.args == ("Execution aborted",), error
    return False, "resumed without an abort"


async def blocking():
    n = random.randint(0, 1000)
    _ctl, event, result = runtime._spawn_blocking(sum, range(n))
    await event.waiter(None)
    return result.fetch() == [False, n * (n - 1) // 2], result.fetch()


async def sockets():
    a, b = socket.socketpair()
    a.setblocking(False)
    b.setblocking(False)
    reader = ScheduledIO(b.fileno())
    try:
        payload = os.urandom(random.randint(1, 200_000))
        sent = 0
        received = bytearray()
        while len(received) < len(payload):
            if sent < len(payload):
                try:
                    sent += a.send(payload[sent:sent + 65536])
                except BlockingIOError:
                    pass
            try:
                received += b.recv(65536)
                continue
            except BlockingIOError:
                pass
            # Readiness is taken back, then the socket asked once more: data that arrives after
            # this look brings a new report.  The timeout adds timers to the mix.
            reader.consume_r()
            try:
                received += b.recv(65536)
                continue
            except BlockingIOError:
                pass
            waiter = reader._arm_r(20_000)
            if waiter is not None:
                await waiter
        ledger.moved(sent, len(received))
        return bytes(received) == payload, len(received)
    finally:
        reader.close()
        a.close()
        b.close()


async def yields():
    for _ in range(random.randint(1, 5)):
        await yield_none()
    return True, None


async def parent():
    # A child spawned from a worker; the parent waits for it through an event.
    done = Event()
    outcome = []

    async def child():
        await Waiter.checkpoint()
        outcome.append("child")
        done.set()

    runtime._spawn_coro(child())
    await done.waiter(None)
    return outcome == ["child"], outcome


KINDS = {
    "event_after": event_after,
    "event_before": event_before,
    "all_of": all_of,
    "timeout": timeout,
    "aborted": aborted,
    "blocking": blocking,
    "sockets": sockets,
    "yields": yields,
    "parent": parent,
}


# QUORLIN_SOAK_KINDS (comma-separated) restricts the mix, to look for the kind behind a growth.
CHOSEN = sorted(os.environ.get("QUORLIN_SOAK_KINDS", ",".join(KINDS)).split(","))


def spawner(seed):
    rng = random.Random(seed)
    names = CHOSEN
    while not stopping.is_set():
        if not slots.acquire(timeout=0.1):
            continue
        kind = rng.choice(names)
        ledger.spawn(kind)
        runtime._spawn_coro(task(kind)(KINDS[kind]))


def setter(seed):
    rng = random.Random(seed)
    while True:
        event = to_set.get()
        if event is None:
            return
        if rng.random() < 0.3:
            time.sleep(rng.random() / 1000)
        event.set()


def aborter():
    while True:
        control = to_abort.get()
        if control is None:
            return
        control.abort()


signals_seen = []


async def signal_listener(event):
    while True:
        await event.waiter(None)
        event.clear()
        signals_seen.append(1)
        if stopping.is_set() and signals_seen:
            return


def signaller():
    while not stopping.is_set():
        os.kill(os.getpid(), signal.SIGUSR1)
        time.sleep(0.005)


def main():
    read_end, write_end = socket.socketpair()
    read_end.setblocking(False)
    write_end.setblocking(False)
    signal.signal(signal.SIGUSR1, lambda *args: None)
    signal.set_wakeup_fd(os.dup(write_end.fileno()), warn_on_full_buffer=False)

    class Fd:
        def __init__(self, fd):
            self.fd = fd

        def fileno(self):
            return self.fd

    runtime._ssock_r, runtime._ssock_w = Fd(read_end.detach()), Fd(write_end.detach())
    runtime._sig_listening = True
    runtime._spawn_coro(signal_listener(runtime._sig_add(signal.SIGUSR1)))

    threads = [threading.Thread(target=spawner, args=(i,)) for i in range(2)]
    threads += [threading.Thread(target=setter, args=(10 + i,)) for i in range(2)]
    threads += [threading.Thread(target=aborter), threading.Thread(target=signaller)]
    samples = []

    def conduct():
        started = time.monotonic()
        while time.monotonic() - started < SECONDS:
            samples.append((time.monotonic() - started, resident_bytes()))
            time.sleep(0.5)
        stopping.set()
        for thread in threads[:2] + threads[-1:]:
            thread.join(WAIT)
        # Every slot back means every task has finished (setters and the aborter still work).
        for _ in range(IN_FLIGHT):
            if not slots.acquire(timeout=WAIT):
                break
        os.kill(os.getpid(), signal.SIGUSR1)  # lets the listener see the stop
        for _ in range(2):
            to_set.put(None)
        to_abort.put(None)
        for thread in threads[2:5]:
            thread.join(WAIT)
        runtime._stopping = True

    for thread in threads:
        thread.start()
    conductor = threading.Thread(target=conduct)
    conductor.start()
    runtime._run()
    if not runtime._stopping:
        print(json.dumps({"ended_early": True}), flush=True)
        os._exit(1)  # the run ended by itself: the tasks in flight are stranded
    conductor.join(WAIT)

    after_warm_up = [rss for at, rss in samples if at >= WARM_UP]
    first, last = after_warm_up[: len(after_warm_up) // 4], after_warm_up[-(len(after_warm_up) // 4):]
    figures = {
        "seconds": SECONDS,
        "spawned": sum(ledger.spawned.values()),
        "finished": sum(ledger.finished.values()),
        "by_kind": {kind: [ledger.spawned.get(kind, 0), ledger.finished.get(kind, 0)] for kind in sorted(KINDS)},
        "wrong": ledger.wrong[:10],
        "bytes_written": ledger.bytes_written,
        "bytes_read": ledger.bytes_read,
        "signals": len(signals_seen),
        "rss_after_warm_up_mib": round(sorted(first)[len(first) // 2] / 2**20, 1),
        "rss_at_end_mib": round(sorted(last)[len(last) // 2] / 2**20, 1),
        # Every tenth of the run, to see the shape of any growth.
        "rss_trace_mib": [round(rss / 2**20, 1) for _, rss in samples[:: max(1, len(samples) // 10)]],
    }
    print(json.dumps(figures))


if __name__ == "__main__":
    main()
