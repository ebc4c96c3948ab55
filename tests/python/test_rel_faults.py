"""Faults: descriptors run out, threads are refused, a peer resets, signals storm, user code raises
every kind of exception.  Each gets a clear error or the documented behaviour, and the runtime goes
on.  Every case runs in a fresh interpreter: limits and signal handlers are process-wide, and a
fault must not take pytest down with it.
"""

import os

import pytest

from conftest import run_python

TIMEOUT = 300  # seconds; bounds each subprocess, never what a test expects
SANITIZER = bool(os.environ.get("QUORLIN_SANITIZER"))

# A sanitizer's shadow memory shares the address space: a tight limit on it refuses the
# sanitizer's own mappings, or nothing, rather than the next thread's stack.
needs_address_space_limit = pytest.mark.skipif(
    SANITIZER, reason="an address-space limit does not refuse threads reliably under a sanitizer"
)

PRELUDE = """
import errno, functools, gc, os, resource, signal, socket, subprocess, sys, threading, time
from quorlin._quorlin import (CancelledError, Event, Result, Runtime, ScheduledIO, Waiter,
                              set_runtime)

WAIT = 60


class Fd:
    # Hands a bare descriptor to a run, which closes it when it ends.
    def __init__(self, fd):
        self.fd = fd

    def fileno(self):
        return self.fd


def give_signal_sockets(runtime):
    read_end, write_end = socket.socketpair()
    read_end.setblocking(False)
    write_end.setblocking(False)
    runtime._ssock_r, runtime._ssock_w = Fd(read_end.detach()), Fd(write_end.detach())


def start_run(runtime):
    give_signal_sockets(runtime)
    thread = threading.Thread(target=runtime._run, daemon=True)
    thread.start()
    up = threading.Event()
    runtime._call_soon(up.set)
    assert up.wait(WAIT), "the run did not start"
    return thread


def stop_run(runtime, thread):
    runtime._stopping = True
    thread.join(WAIT)
    assert not thread.is_alive(), "the run did not end"
    runtime._stopping = False


def open_descriptors():
    # Probed one by one: listing /proc/self/fd would need a descriptor of its own.
    found = []
    for fd in range(min(resource.getrlimit(resource.RLIMIT_NOFILE)[0], 1 << 16)):
        try:
            os.fstat(fd)
            found.append(fd)
        except OSError:
            pass
    return found


def runs_a_coroutine(runtime):
    done = threading.Event()

    async def body():
        await Waiter.checkpoint()
        done.set()

    runtime._spawn_coro(body())
    return done.wait(WAIT)


class FillDescriptors:
    # Lowers the descriptor limit a little above what is open and fills the table up to it.
    def __enter__(self):
        self.soft, self.hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(open_descriptors()) + 32, self.hard))
        self.fillers = []
        while True:
            try:
                self.fillers.append(os.open("/dev/null", os.O_RDONLY))
            except OSError as error:
                assert error.errno == errno.EMFILE
                return self

    def free(self, count):
        for _ in range(count):
            os.close(self.fillers.pop())

    def __exit__(self, *exc_info):
        self.free(len(self.fillers))
        resource.setrlimit(resource.RLIMIT_NOFILE, (self.soft, self.hard))
"""


# These processes end with their runtimes still registered or referenced, and with tasks parked:
# what a leak checker would find at exit is in use, not lost.
NO_LEAK_CHECK_AT_EXIT = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + " detect_leaks=0"}


def check(code, *, env=None, timeout=TIMEOUT):
    completed = run_python(PRELUDE + code, timeout=timeout, env={**NO_LEAK_CHECK_AT_EXIT, **(env or {})})
    assert completed.returncode == 0, completed.stdout[-3000:] + completed.stderr[-5000:]
    return completed


# --- descriptors --------------------------------------------------------------------------------


def test_descriptor_exhaustion_at_the_start_of_a_run_raises_and_leaks_nothing():
    completed = check(
        """
runtime = Runtime(2, 1, 1, False, [])
runtime._stopping = True  # a start-up that succeeds shuts down at once
outcomes = []
with FillDescriptors() as table:
    # Each round leaves one more descriptor free, so start-up fails one step later each time: the
    # epoll instance, the wake-up eventfd, the epoll duplicate.  Nothing it made stays open, and
    # once it owns the signal sockets it closes them too.
    for spare in range(3):
        table.free(2)
        give_signal_sockets(runtime)  # in the two places just freed
        signal_fds = {runtime._ssock_r.fileno(), runtime._ssock_w.fileno()}
        table.free(spare)
        before = set(open_descriptors())
        try:
            runtime._run()
            outcomes.append("ran")
        except OSError as error:
            outcomes.append(str(error))
        after = set(open_descriptors())
        assert after <= before, sorted(after - before)
        for fd in signal_fds & after:
            os.close(fd)
        while True:
            try:
                table.fillers.append(os.open("/dev/null", os.O_RDONLY))
            except OSError:
                break
runtime._stopping = False
print(*outcomes, sep="\\n")
thread = start_run(runtime)
assert runs_a_coroutine(runtime)
stop_run(runtime, thread)
print("goes on")
"""
    )
    lines = completed.stdout.splitlines()
    assert lines[:3] == ["Too many open files (os error 24)"] * 3
    assert lines[3] == "goes on"


def test_descriptor_exhaustion_while_registering_descriptors_spares_the_registrations_made():
    check(
        """
runtime = Runtime(2, 1, 1, False, [])
set_runtime(runtime)
thread = start_run(runtime)
pairs, registrations, woken = [], [], []
lock = threading.Lock()
def wake(index):
    def callback():
        with lock:
            woken.append(index)
    return callback
with FillDescriptors() as table:
    table.free(24)
    while True:
        try:
            pair = socket.socketpair()
        except OSError as error:
            assert error.errno == errno.EMFILE
            break
        pairs.append(pair)
        registration = ScheduledIO(pair[0].fileno())
        assert registration._arm_r_cb(wake(len(registrations))) is False
        registrations.append(registration)
    assert len(registrations) > 4
    # Every registration has a callback; a coroutine also waits on the first with an event.
    resumed = threading.Event()
    waiter = registrations[0]._arm_r()
    async def body():
        await waiter
        resumed.set()
    runtime._spawn_coro(body())
    for _, writer in pairs:
        writer.send(b"x")
    deadline = time.monotonic() + WAIT
    while len(woken) < len(registrations) and time.monotonic() < deadline:
        time.sleep(0.001)
    assert sorted(woken) == list(range(len(registrations))), woken
    assert resumed.wait(WAIT)
    for registration in registrations:
        registration.close()
    for reader, writer in pairs:
        reader.close()
        writer.close()
a, b = socket.socketpair()
fresh = ScheduledIO(a.fileno())
assert runs_a_coroutine(runtime)
fresh.close()
stop_run(runtime, thread)
print("goes on")
"""
    )


def test_accepting_under_descriptor_exhaustion_logs_retries_and_serves_everyone():
    completed = check(
        """
import logging, quorlin
from quorlin import to_thread

failures = []
class Remember(logging.Handler):
    def emit(self, record):
        failures.append(record.getMessage())
logging.getLogger("quorlin.serve_listeners").addHandler(Remember())

async def echo(stream):
    await stream.send_all(await stream.receive_some(100))

def exchange(client, message):
    client.settimeout(WAIT)
    client.sendall(message)
    return client.recv(100)

CLIENTS = 6

async def main():
    async with quorlin.TaskGroup() as group:
        listeners = await group.start(functools.partial(quorlin.serve_tcp, echo, 0, host="127.0.0.1"))
        port = listeners[0].socket.getsockname()[1]
        clients = [socket.socket() for _ in range(CLIENTS)]  # made before the table fills up
        with FillDescriptors() as table:
            table.free(2)  # room for two of the six accepts
            for client in clients:
                client.settimeout(WAIT)
                client.connect(("127.0.0.1", port))
            deadline = quorlin.current_time() + WAIT
            while not failures and quorlin.current_time() < deadline:
                await quorlin.sleep(0.01)
            assert failures, "accept never ran out of descriptors"
        replies = [await to_thread.run_sync(exchange, client, b"ping %d" % i) for i, client in enumerate(clients)]
        assert replies == [b"ping %d" % i for i in range(CLIENTS)], replies
        for client in clients:
            client.close()
        group.cancel_scope.cancel()
    return failures[0]

print(quorlin.run(main, threads=2))
"""
    )
    assert "accept failed" in completed.stdout
    assert "Too many open files" in completed.stdout


# --- threads ------------------------------------------------------------------------------------


@needs_address_space_limit
def test_refused_worker_threads_fail_the_run_cleanly_and_a_later_run_works():
    completed = check(
        """
runtime = Runtime(4, 1, 1, False, [])
set_runtime(runtime)
give_signal_sockets(runtime)
runtime._stopping = True  # start-up in full, then shutdown: no wait on epoll
before = open_descriptors()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/statm") as statm:
    size = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 20), hard))
try:
    runtime._run()
    outcome = "ran"
except RuntimeError as error:
    outcome = str(error)
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(outcome)
# Everything the run made is closed (its signal sockets included), and it left no cell filled.
assert set(open_descriptors()) <= set(before)
try:
    ScheduledIO(0)
except RuntimeError as error:
    print(error)
runtime._stopping = False
thread = start_run(runtime)
assert runs_a_coroutine(runtime)
stop_run(runtime, thread)
print("goes on")
""",
        # One malloc arena: the C library maps and unmaps a 64 MiB arena per thread as threads
        # come and go, which moves the address space under the limit.
        env={"MALLOC_ARENA_MAX": "1"},
    )
    assert completed.stdout.splitlines() == ["failed to spawn thread", "runtime is not running", "goes on"]


# (Blocking workers refused by the system: test_blocking.py covers a refusal with and without a
# live worker, and the calls after it.)


# --- peers --------------------------------------------------------------------------------------


def test_a_peer_that_resets_mid_transfer_breaks_only_its_own_stream():
    completed = check(
        """
import struct, quorlin
from quorlin import to_thread

seen = []

async def handler(stream):
    request = await stream.receive_some(100)
    if request == b"flood":
        try:
            while True:
                await stream.send_all(b"x" * 65536)
        except quorlin.BrokenResourceError as error:
            seen.append(type(error.__cause__).__name__)
    else:
        await stream.send_all(request)

def flood_then_reset(port):
    client = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
    client.sendall(b"flood")
    client.recv(65536)  # the transfer is under way
    client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    client.close()  # with a linger of 0: a reset

def echo_once(port):
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as client:
        client.sendall(b"still here")
        return client.recv(100)

async def main():
    async with quorlin.TaskGroup() as group:
        listeners = await group.start(functools.partial(quorlin.serve_tcp, handler, 0, host="127.0.0.1"))
        port = listeners[0].socket.getsockname()[1]
        await to_thread.run_sync(flood_then_reset, port)
        deadline = quorlin.current_time() + WAIT
        while not seen and quorlin.current_time() < deadline:
            await quorlin.sleep(0.01)
        reply = await to_thread.run_sync(echo_once, port)
        group.cancel_scope.cancel()
    return seen, reply

print(quorlin.run(main, threads=2))
"""
    )
    seen, reply = eval(completed.stdout.strip())
    assert len(seen) == 1 and seen[0] in ("ConnectionResetError", "BrokenPipeError"), seen
    assert reply == b"still here"


def test_a_reset_reads_as_readiness_on_a_scheduled_io():
    check(
        """
import struct
runtime = Runtime(2, 1, 1, False, [])
set_runtime(runtime)
thread = start_run(runtime)
listener = socket.create_server(("127.0.0.1", 0))
client = socket.create_connection(listener.getsockname(), timeout=WAIT)
server, _ = listener.accept()
server.setblocking(False)
registration = ScheduledIO(server.fileno())
registration.consume_r()
waiter = registration._arm_r()
resumed = threading.Event()
async def body():
    if waiter is not None:
        await waiter
    resumed.set()
runtime._spawn_coro(body())
client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
client.close()
assert resumed.wait(WAIT)
try:
    server.recv(10)
    raise AssertionError("no error after a reset")
except ConnectionResetError:
    pass
registration.close()
server.close()
assert runs_a_coroutine(runtime)
stop_run(runtime, thread)
"""
    )


# --- signals ------------------------------------------------------------------------------------

STORM = """
def storm(signum, count, senders=3):
    code = "import os, sys\\nfor _ in range(int(sys.argv[2])): os.kill(int(sys.argv[1]), int(sys.argv[3]))"
    return [subprocess.Popen([sys.executable, "-c", code, str(os.getpid()), str(count), str(signum)])
            for _ in range(senders)]

def hand_over(runtime):
    # The loop's signal plumbing: a socket pair whose write end the C-level handler writes to.
    read_end, write_end = socket.socketpair()
    read_end.setblocking(False)
    write_end.setblocking(False)
    ours = os.dup(write_end.fileno())
    runtime._ssock_r, runtime._ssock_w = Fd(read_end.detach()), Fd(write_end.detach())
    signal.set_wakeup_fd(ours, warn_on_full_buffer=False)
"""


def test_a_storm_of_a_registered_signal_never_ends_the_run():
    count = 5000 if SANITIZER else 30000
    completed = check(
        STORM
        + f"""
runtime = Runtime(2, 1, 1, False, [])
signal.signal(signal.SIGUSR1, lambda *args: None)
event = runtime._sig_add(signal.SIGUSR1)
runtime._sig_listening = True
ends = 0
for round in range(8):
    hand_over(runtime)
    senders = storm(signal.SIGUSR1, {count})
    def stop_after_storm():
        for sender in senders:
            sender.wait(WAIT)
        time.sleep(0.1)
        runtime._stopping = True
    stopper = threading.Thread(target=stop_after_storm)
    stopper.start()
    while True:
        runtime._run()  # on the main thread, as the Python loop runs it
        if runtime._stopping:
            break
        ends += 1  # ended although nobody asked it to stop
        hand_over(runtime)
    stopper.join(WAIT)
    runtime._stopping = False
print(ends, event.is_set())
"""
    )
    assert completed.stdout.split() == ["0", "True"]


def test_an_unregistered_signal_still_ends_the_run():
    completed = check(
        STORM
        + """
runtime = Runtime(2, 1, 1, False, [])
signal.signal(signal.SIGUSR2, lambda *args: None)
runtime._sig_listening = True
hand_over(runtime)
senders = storm(signal.SIGUSR2, 50, senders=1)
runtime._run()
print(runtime._stopping)
for sender in senders:
    sender.wait(WAIT)
"""
    )
    assert completed.stdout.split() == ["False"]


# --- exceptions from user code ------------------------------------------------------------------

EXCEPTIONS = """
class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no str")
    def __repr__(self):
        raise RuntimeError("no repr")

class Custom(BaseException):
    pass

KINDS = [ValueError("plain"), KeyboardInterrupt(), SystemExit(5), CancelledError("cancel"),
         GeneratorExit(), MemoryError(), RecursionError(), Custom(), Unprintable()]
"""


def test_callbacks_coroutines_and_blocking_calls_that_raise_anything_leave_the_runtime_going():
    completed = check(
        EXCEPTIONS
        + """
caught = []
sys.unraisablehook = lambda unraisable: caught.append(type(unraisable.exc_value).__name__)
runtime = Runtime(2, 2, 1, False, [])
set_runtime(runtime)
thread = start_run(runtime)

def raiser(error):
    def callback():
        raise error
    return callback

# Callbacks: each error goes to the unraisable hook and the next callback still runs.
for error in KINDS:
    runtime._call_soon(raiser(error))
assert runs_a_coroutine(runtime)
deadline = time.monotonic() + WAIT
while len(caught) < len(KINDS) and time.monotonic() < deadline:
    time.sleep(0.001)

# ScheduledIO callbacks, on the loop's own thread.
a, b = socket.socketpair()
registration = ScheduledIO(a.fileno())
for count, error in enumerate(KINDS, start=len(KINDS) + 1):
    registration.consume_w()
    while registration._arm_w_cb(raiser(error)):  # ready already: not kept, take it back, again
        registration.consume_w()
    b.send(b"x")  # a report for `a`, which is writable too: the loop calls the callback
    deadline = time.monotonic() + WAIT
    while len(caught) < count and time.monotonic() < deadline:
        time.sleep(0.001)
registration.close()

# Coroutines that raise at their first step.
async def failing(error):
    raise error
for error in KINDS:
    runtime._spawn_coro(failing(error))

# Coroutines that raise while a CancelledError is thrown into them.
controls, parked = [], threading.Semaphore(0)
async def failing_on_throw(control, error):
    await control
    parked.release()
    try:
        await Event().waiter(None)
    except CancelledError:
        raise error
for error in KINDS:
    if isinstance(error, SystemExit):
        continue  # the interpreter's treatment of SystemExit ends the process (test_coroutines)
    control = Waiter.checkpoint()
    controls.append(control)
    runtime._spawn_coro(failing_on_throw(control, error))
for _ in controls:
    assert parked.acquire(timeout=WAIT)
for control in controls:
    control.abort()

# Blocking calls: the error is the outcome.
outcomes = []
for error in KINDS:
    _ctl, event, result = runtime._spawn_blocking(raiser(error))
    deadline = time.monotonic() + WAIT
    while not event.is_set() and time.monotonic() < deadline:
        time.sleep(0.001)
    flag, value = result.fetch()
    outcomes.append(flag and value is error)

assert runs_a_coroutine(runtime)
stop_run(runtime, thread)
print(len(caught), sorted(set(caught)) == sorted({type(e).__name__ for e in KINDS}), all(outcomes))
"""
    )
    callbacks = 2 * 9  # nine kinds, from workers and from the loop
    assert completed.stdout.split() == [str(callbacks), "True", "True"]
    errors = completed.stderr.count("UNHANDLED COROUTINE ERROR ")
    throws = completed.stderr.count("UNHANDLED COROUTINE THROW ")
    assert (errors, throws) == (9, 8), completed.stderr[-3000:]


@pytest.mark.parametrize("kind", ["KeyboardInterrupt"])
def test_exit_requests_escaping_a_thrown_into_coroutine_go_to_the_hook_and_the_process_goes_on(kind):
    # The send step reports it like any other error; the throw step hands a KeyboardInterrupt to
    # sys.excepthook, as an uncaught error in a thread of the threading module is: a worker thread
    # does not mark the process as interrupted.  (A SystemExit there ends the process with its
    # code: see test_coroutines.)
    completed = run_python(
        PRELUDE
        + f"KIND = {kind}\n"
        + """
hooked = []
sys.excepthook = lambda kind, value, traceback: hooked.append(kind.__name__)
runtime = Runtime(2, 1, 1, False, [])
set_runtime(runtime)
thread = start_run(runtime)
control, parked = Waiter.checkpoint(), threading.Event()
async def body():
    await control
    parked.set()
    try:
        await Event().waiter(None)
    except CancelledError:
        raise KIND
runtime._spawn_coro(body())
assert parked.wait(WAIT)
control.abort()
deadline = time.monotonic() + WAIT
while not hooked and time.monotonic() < deadline:
    time.sleep(0.001)
assert runs_a_coroutine(runtime)
stop_run(runtime, thread)
print(hooked)
""",
        timeout=TIMEOUT,
        env=NO_LEAK_CHECK_AT_EXIT,
    )
    # The process ends as its main program does.
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.split() == [f"['{kind.split('(')[0]}']"]
    assert completed.stderr.startswith("UNHANDLED COROUTINE THROW ")
