"""Descriptor readiness: wait_readable / wait_writable / notify_closing and the per-run registry."""

import os
import socket as stdlib_socket
import threading

import pytest

import quorlin
from quorlin import BusyResourceError, Cancelled, ClosedResourceError
from quorlin import _io, lowlevel
from quorlin import socket as qsocket

pytestmark = [
    pytest.mark.quorlin,
    pytest.mark.skipif("not config.getoption('quorlin_threads', None)",
                       reason="needs a session of its own (test_net_sessions.py runs it)"),
]

LIMIT = 20  # seconds; every test body runs under fail_after(LIMIT)


def pair():
    a, b = stdlib_socket.socketpair()
    a.setblocking(False)
    b.setblocking(False)
    return a, b


def close_all(*socks):
    for sock in socks:
        if sock.fileno() != -1:
            lowlevel.notify_closing(sock.fileno())
        sock.close()


async def test_readable_wakes_on_data_and_is_level_triggered():
    a, b = pair()
    try:
        with quorlin.fail_after(LIMIT):
            woke = []

            async def reader():
                await lowlevel.wait_readable(a)
                woke.append(a.recv(100))

            async with quorlin.TaskGroup() as tg:
                tg.start_soon(reader)
                await quorlin.sleep(0.05)
                assert woke == []  # nothing to read yet: the reader is parked
                b.send(b"ping")
            assert woke == [b"ping"]

            # Data already waiting counts, however often we ask without reading it.
            b.send(b"more")
            for _ in range(3):
                await lowlevel.wait_readable(a.fileno())
            assert a.recv(100) == b"more"
            # Writable from the start, also when asked repeatedly.
            for _ in range(3):
                await lowlevel.wait_writable(a)
    finally:
        close_all(a, b)


async def test_writable_wakes_when_the_peer_drains():
    a, b = pair()
    try:
        with quorlin.fail_after(LIMIT):
            a.setsockopt(stdlib_socket.SOL_SOCKET, stdlib_socket.SO_SNDBUF, 4096)
            filled = 0
            with pytest.raises(BlockingIOError):
                while True:
                    filled += a.send(b"x" * 65536)
            drained = []

            async def drain_later():
                await quorlin.sleep(0.05)
                while len(drained) < filled:
                    try:
                        drained.extend(b.recv(1 << 20))
                    except BlockingIOError:
                        await lowlevel.wait_readable(b)

            async with quorlin.TaskGroup() as tg:
                tg.start_soon(drain_later)
                await lowlevel.wait_writable(a)
                assert a.send(b"y") == 1
    finally:
        close_all(a, b)


@pytest.mark.parametrize("wait", [lowlevel.wait_readable, lowlevel.wait_writable], ids=["readers", "writers"])
async def test_second_waiter_in_one_direction_is_refused(wait):
    a, b = pair()
    try:
        with quorlin.fail_after(LIMIT):
            if wait is lowlevel.wait_writable:
                with pytest.raises(BlockingIOError):
                    while True:
                        a.send(b"x" * 65536)
            parked = quorlin.Event()

            async def first():
                parked.set()
                await wait(a)

            async with quorlin.TaskGroup() as tg:
                task = tg.create_task(first)
                await parked.wait()
                await quorlin.sleep(0.05)
                with pytest.raises(BusyResourceError):
                    await wait(a)
                # The other direction is independent.
                other = lowlevel.wait_writable if wait is lowlevel.wait_readable else lowlevel.wait_readable
                if other is lowlevel.wait_readable:
                    b.send(b"!")
                await other(a)
                # The refused waiter did not steal the first one's wake-up.
                if wait is lowlevel.wait_readable:
                    b.send(b"data")
                else:
                    while True:
                        try:
                            b.recv(1 << 20)
                        except BlockingIOError:
                            break
                await task.wait()
                assert task.done() and task.exception() is None
    finally:
        close_all(a, b)


async def test_cancelling_a_parked_wait_and_waiting_again():
    a, b = pair()
    try:
        with quorlin.fail_after(LIMIT):
            with quorlin.move_on_after(0.05) as scope:
                await lowlevel.wait_readable(a)
            assert scope.cancelled_caught

            # Cancelled from a plain thread while parked.
            async with quorlin.TaskGroup() as tg:
                task = tg.create_task(lowlevel.wait_readable, a)
                await quorlin.sleep(0.05)
                threading.Thread(target=task.cancel).start()
            assert task.cancelled()

            # An already cancelled task is refused even though the descriptor is ready.
            b.send(b"x")
            with quorlin.CancelScope() as scope:
                scope.cancel()
                with pytest.raises(Cancelled):
                    await lowlevel.wait_readable(a)
            # The slot is free again and works.
            await lowlevel.wait_readable(a)
            assert a.recv(10) == b"x"
    finally:
        close_all(a, b)


async def test_parks_left_behind_do_not_wake_the_next_one():
    a, b = pair()
    sock = qsocket.from_stdlib_socket(a)
    try:
        with quorlin.fail_after(LIMIT):
            # Each cancelled park leaves its wake-up armed with the driver, which the next report
            # calls after the park has gone.
            for _ in range(3):
                with quorlin.move_on_after(0.02):
                    await lowlevel.wait_readable(a)
                b.send(b"gone")
                await lowlevel.wait_readable(a)
                assert a.recv(10) == b"gone"
            # A later wait still returns only once data has really arrived.
            threading.Timer(0.1, b.send, (b"late",)).start()
            await lowlevel.wait_readable(a)
            assert a.recv(10) == b"late"

            # A cancelled task meeting a direction another task waits on hears of its
            # cancellation, and the waiting task keeps its wake-up.
            async with quorlin.TaskGroup() as tg:
                receiving = tg.create_task(sock.recv, 10)
                await quorlin.sleep(0.05)
                with quorlin.CancelScope() as scope:
                    scope.cancel()
                    with pytest.raises(Cancelled):
                        await sock.recv(10)
                b.send(b"ok")
            assert receiving.result() == b"ok"
    finally:
        sock.close()
        close_all(b)


async def test_notify_closing_wakes_waiters_with_closed_resource_error():
    a, b = pair()
    try:
        with quorlin.fail_after(LIMIT):
            with pytest.raises(BlockingIOError):
                while True:
                    a.send(b"x" * 65536)
            outcomes = []

            async def waiter(wait):
                try:
                    await wait(a)
                except ClosedResourceError:
                    outcomes.append(wait.__name__)

            async with quorlin.TaskGroup() as tg:
                tg.start_soon(waiter, lowlevel.wait_readable)
                tg.start_soon(waiter, lowlevel.wait_writable)
                await quorlin.sleep(0.05)
                # From a plain thread: notify, then close, as a socket's close does.
                closer = threading.Thread(target=lambda: (lowlevel.notify_closing(a), a.close()))
                closer.start()
            closer.join(LIMIT)
            assert sorted(outcomes) == ["wait_readable", "wait_writable"]

            # A descriptor nobody waited on, and repeated notifications, are no-ops.
            lowlevel.notify_closing(b)
            lowlevel.notify_closing(b)
    finally:
        close_all(a, b)


async def test_reused_descriptor_number_starts_afresh():
    with quorlin.fail_after(LIMIT):
        a, b = pair()
        numbers = {a.fileno(), b.fileno()}
        b.send(b"x")
        a.send(b"x")
        await lowlevel.wait_readable(a)
        await lowlevel.wait_readable(b)
        close_all(a, b)
        c, d = pair()  # the lowest free numbers: very likely the same two
        try:
            got = []

            async def receive(sock):
                await lowlevel.wait_readable(sock)  # parks: the data is sent only later
                got.append(sock.recv(1))

            async with quorlin.TaskGroup() as tg:
                tg.start_soon(receive, c)
                tg.start_soon(receive, d)
                await quorlin.sleep(0.05)
                c.send(b"c")
                d.send(b"d")
            assert sorted(got) == [b"c", b"d"]
            if {c.fileno(), d.fileno()} != numbers:
                pytest.skip("the descriptor numbers were not reused")
        finally:
            close_all(c, d)


async def test_bad_descriptors():
    with quorlin.fail_after(LIMIT):
        r, w = os.pipe()
        os.close(r)
        os.close(w)
        with pytest.raises(OSError) as info:
            await lowlevel.wait_readable(r)
        assert info.value.errno == 9  # EBADF
        with pytest.raises(ValueError):
            await lowlevel.wait_readable(-1)
        with pytest.raises(TypeError):
            await lowlevel.wait_readable("3")


def test_registrations_belong_to_one_run(pytestconfig):
    """A descriptor waited on in one run is registered anew in the next (the driver dropped it)."""
    a, b = pair()
    try:
        async def wait_once():
            with quorlin.fail_after(LIMIT):
                b.send(b"x")
                await lowlevel.wait_readable(a)
                assert a.recv(10) == b"x"
                return _io.registration(a.fileno())

        threads = pytestconfig.getoption("quorlin_threads")
        first = quorlin.run(wait_once, threads=threads)
        second = quorlin.run(wait_once, threads=threads)
        assert first is not second and first.sio is not second.sio
    finally:
        a.close()
        b.close()
