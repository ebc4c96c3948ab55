"""_sig_add, _sig_rem and the delivery of signal bytes, and real signals interrupting the loop."""

import socket
import time

import pytest

from conftest import WAIT, run_python
from quorlin._quorlin import Event, Runtime

OUT_OF_RANGE = "out of range integral type conversion attempted"


def wait_until(predicate):
    deadline = time.monotonic() + WAIT
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached"
        time.sleep(0.001)


def drained(sock):
    try:
        sock.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT)
    except BlockingIOError:
        return True
    return False


@pytest.fixture
def signals(running_runtime):
    """The running runtime with signal delivery on; registrations removed afterwards."""
    runtime = running_runtime.runtime
    runtime._sig_listening = True
    yield running_runtime
    runtime._sig_listening = False
    for number in range(256):
        runtime._sig_rem(number)


def test_add_returns_a_new_event_each_time_and_remove_reports_presence():
    runtime = Runtime(1, 1, 1, False, b"\x02")
    first = runtime._sig_add(2)
    second = runtime._sig_add(sig=2)
    assert type(first) is Event and type(second) is Event and first is not second
    assert not first.is_set() and not second.is_set()
    assert runtime._sig_rem(2) is True
    assert runtime._sig_rem(sig=2) is False
    assert runtime._sig_add(200) is not None  # not among the constructor's numbers
    assert runtime._sigset == [2]


@pytest.mark.parametrize(
    ("argument", "kind", "message"),
    [
        (256, OverflowError, OUT_OF_RANGE),
        (-1, OverflowError, OUT_OF_RANGE),
        (2**70, OverflowError, OUT_OF_RANGE),
        ("2", TypeError, None),
        (2.0, TypeError, None),
    ],
)
def test_signal_number_conversion(argument, kind, message):
    runtime = Runtime(1, 1, 1, False, b"")
    for method in (runtime._sig_add, runtime._sig_rem):
        with pytest.raises(kind) as caught:
            method(argument)
        if message is not None:
            assert str(caught.value) == message
        assert caught.value.__notes__ == ["while processing 'sig'"]
    with pytest.raises(TypeError):
        runtime._sig_add()
    assert runtime._sig_rem(0) is False  # nothing was registered


def test_bytes_set_the_latest_registered_events(signals):
    runtime = signals.runtime
    replaced = runtime._sig_add(2)
    current = runtime._sig_add(2)
    zero = runtime._sig_add(0)
    extra = runtime._sig_add(201)
    removed = runtime._sig_add(7)
    assert runtime._sig_rem(7) is True
    signals.signal_w.send(bytes([9, 2, 0, 7, 201]))
    wait_until(lambda: current.is_set() and zero.is_set() and extra.is_set())
    wait_until(lambda: drained(signals.signal_r))
    assert not replaced.is_set() and not removed.is_set()


def test_a_set_event_stays_set_once(signals):
    runtime = signals.runtime
    event = runtime._sig_add(3)
    signals.signal_w.send(b"\x03")
    wait_until(event.is_set)
    event.clear()
    signals.signal_w.send(b"\x03\x03")
    wait_until(event.is_set)
    signals.signal_w.send(b"\x03")
    wait_until(lambda: drained(signals.signal_r))
    assert event.is_set()


def test_bytes_read_while_not_listening_are_lost(signals):
    runtime = signals.runtime
    event = runtime._sig_add(4)
    runtime._sig_listening = False
    signals.signal_w.send(b"\x04")
    wait_until(lambda: drained(signals.signal_r))
    runtime._sig_listening = True
    later = runtime._sig_add(5)
    signals.signal_w.send(b"\x05")
    wait_until(later.is_set)
    assert not event.is_set()


def test_a_waiting_coroutine_resumes_on_its_signal(signals):
    import threading

    runtime = signals.runtime
    event = runtime._sig_add(6)
    resumed = threading.Event()

    async def wait():
        await event.waiter(None)
        resumed.set()

    runtime._spawn_coro(wait())
    signals.signal_w.send(b"\x06")
    assert resumed.wait(WAIT)


REAL_SIGNALS = """
import os, signal, socket, threading, time
from quorlin._quorlin import Runtime
runtime = Runtime(1, 1, 1, False, b"")
r, w = socket.socketpair()
r.setblocking(False)
w.setblocking(False)
runtime._ssock_r, runtime._ssock_w = r, w
runtime._sig_listening = True
signal.set_wakeup_fd(w.fileno(), warn_on_full_buffer=False)
for number in (signal.SIGUSR1, signal.SIGUSR2):
    signal.signal(number, lambda *args: None)
registered = runtime._sig_add(signal.SIGUSR1)
main = threading.main_thread().ident
returned = threading.Event()
log = []

def workers_alive():
    ran = threading.Event()
    runtime._call_soon(ran.set)
    return ran.wait(10)

def until_returned(number):
    # A signal that arrives while the loop is not inside its wait interrupts nothing; repeat it.
    sent = 0
    deadline = time.monotonic() + 10
    while not returned.is_set() and time.monotonic() < deadline:
        signal.pthread_kill(main, number)
        sent += 1
        returned.wait(0.05)
    return sent

def driver():
    assert workers_alive()
    SCENARIO
    log.append(("sent", until_returned(signal.SIGUSR2)))

thread = threading.Thread(target=driver)
thread.start()
log.append(("returned", runtime._run()))
returned.set()
thread.join(10)
r.detach(); w.detach()
print(log)
"""


def test_a_registered_signal_keeps_the_loop_running_and_another_ends_it():
    scenario = """
    signal.pthread_kill(main, signal.SIGUSR1)
    deadline = time.monotonic() + 10
    while not registered.is_set() and time.monotonic() < deadline:
        time.sleep(0.001)
    log.append(("set", registered.is_set()))
    log.append(("running", workers_alive() and not returned.is_set()))
    """
    out = run_python(REAL_SIGNALS.replace("SCENARIO", scenario.strip()), timeout=WAIT * 3)
    assert out.returncode == 0, out.stderr
    log = eval(out.stdout)
    assert log[:2] == [("set", True), ("running", True)]
    assert ("returned", None) in log
    assert log[-1][0] == "sent" and log[-1][1] >= 1


def test_a_registered_byte_seen_earlier_lets_one_interruption_pass():
    scenario = """
    w.send(bytes([signal.SIGUSR1]))  # delivered without interrupting anything
    deadline = time.monotonic() + 10
    while not registered.is_set() and time.monotonic() < deadline:
        time.sleep(0.001)
    log.append(("set", registered.is_set()))
    """
    out = run_python(REAL_SIGNALS.replace("SCENARIO", scenario.strip()), timeout=WAIT * 3)
    assert out.returncode == 0, out.stderr
    log = eval(out.stdout)
    assert log[0] == ("set", True)
    assert ("returned", None) in log
    assert log[-1][0] == "sent" and log[-1][1] >= 2
