"""Descriptor readiness: wait_readable, wait_writable and notify_closing."""

import socket

import pytest

import quorlin
from quorlin import BusyResourceError, ClosedResourceError
from quorlin.lowlevel import notify_closing, wait_readable, wait_writable

pytestmark = [
    pytest.mark.quorlin,
    pytest.mark.skipif("not config.getoption('quorlin_threads', None)",
                       reason="needs a session of its own (test_pkg_sessions.py runs it)"),
]


def pair():
    a, b = socket.socketpair()
    a.setblocking(False)
    b.setblocking(False)
    return a, b


async def test_readable_writable_and_unread_data():
    a, b = pair()
    with a, b, quorlin.fail_after(20):
        await wait_writable(a)  # a fresh socket is writable at once
        async with quorlin.TaskGroup() as tg:
            async def later():
                await quorlin.sleep(0.01)
                b.send(b"hello")
            tg.start_soon(later)
            await wait_readable(a)
        await wait_readable(a)  # still readable: found ready at once
        assert a.recv(2) == b"he"
        await wait_readable(a)  # data left unread is seen again without a new edge
        assert a.recv(10) == b"llo"
        with quorlin.move_on_after(0.02) as scope:
            await wait_readable(a)  # nothing left: waits until cancelled
        assert scope.cancelled_caught
        b.send(b"again")
        await wait_readable(a.fileno())
        assert a.recv(10) == b"again"
        notify_closing(a)
        notify_closing(b)


async def test_one_waiter_per_direction_and_notify_closing():
    a, b = pair()
    outcome = []

    async def reader():
        try:
            await wait_readable(a)
        except ClosedResourceError:
            outcome.append("closed")

    with b, quorlin.fail_after(20):
        async with quorlin.TaskGroup() as tg:
            tg.start_soon(reader)
            await quorlin.sleep(0.01)
            assert quorlin.lowlevel.statistics()["io_waits"] == 1
            with pytest.raises(BusyResourceError):
                await wait_readable(a)
            notify_closing(a)
            a.close()
    assert outcome == ["closed"]
    with pytest.raises(ValueError):
        await wait_readable(a)  # closed socket object: fileno() is -1
