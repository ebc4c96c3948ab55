"""Memory channels: semantics, plain-thread variants and exactly-once delivery under pressure."""

import math
import random
import threading

import pytest

import quorlin
from quorlin import BrokenResourceError, ClosedResourceError, EndOfChannel, WouldBlock

pytestmark = [
    pytest.mark.quorlin,
    pytest.mark.skipif("not config.getoption('quorlin_threads', None)",
                       reason="needs a session of its own (test_pkg_sessions.py runs it)"),
]


async def test_buffer_close_and_iteration():
    send, receive = quorlin.open_memory_channel(2)
    send.send_nowait(1)
    send.send_nowait(2)
    with pytest.raises(WouldBlock):
        send.send_nowait(3)
    assert send.statistics()["current_buffer_used"] == 2
    clone = send.clone()
    send.close()
    assert receive.receive_nowait() == 1
    clone.send_nowait(3)
    clone.close()
    assert [item async for item in receive] == [2, 3]
    with pytest.raises(EndOfChannel):
        receive.receive_nowait()
    with pytest.raises(ClosedResourceError):
        send.send_nowait(4)
    with pytest.raises(ClosedResourceError):
        send.clone()


async def test_closing_the_last_receiver_breaks_senders():
    send, receive = quorlin.open_memory_channel(0)
    outcome = []

    async def blocked_sender():
        try:
            await send.send("x")
        except BrokenResourceError:
            outcome.append("broken")

    async def blocked_receiver(channel):
        try:
            await channel.receive()
        except ClosedResourceError:
            outcome.append("closed")

    with quorlin.fail_after(20):
        async with quorlin.TaskGroup() as tg:
            tg.start_soon(blocked_sender)
            await quorlin.sleep(0.01)
            receive.close()
        with pytest.raises(BrokenResourceError):
            send.send_nowait("y")
        send2, receive2 = quorlin.open_memory_channel(0)
        async with quorlin.TaskGroup() as tg:
            tg.start_soon(blocked_receiver, receive2)
            await quorlin.sleep(0.01)
            receive2.close()  # closing the end a task waits on wakes it with ClosedResourceError
    assert outcome == ["broken", "closed"]


async def test_unbuffered_rendezvous_and_blocking_variants():
    send, receive = quorlin.open_memory_channel(0)
    from_thread = []

    def plain_thread():
        for n in range(3):
            send.send_blocking(n, timeout=10)
        from_thread.append(receive.receive_blocking(timeout=10))
        with pytest.raises(TimeoutError):
            receive.receive_blocking(timeout=0.01)

    thread = threading.Thread(target=plain_thread)
    thread.start()
    with quorlin.fail_after(20):
        got = [await receive.receive() for _ in range(3)]
        await send.send("back")
    thread.join(10)
    assert not thread.is_alive()
    assert got == [0, 1, 2] and from_thread == ["back"]
    with pytest.raises(RuntimeError, match="blocks its thread"):
        send.send_blocking(1)
    with pytest.raises(ValueError):
        quorlin.open_memory_channel(-1)
    quorlin.open_memory_channel(math.inf)


@pytest.mark.parametrize("buffer", [0, 1, 16])
async def test_every_item_is_received_exactly_once(buffer):
    send, receive = quorlin.open_memory_channel(buffer)
    sent, received = [], []
    sent_lock = threading.Lock()
    stop = threading.Event()
    scopes, scopes_lock = set(), threading.Lock()

    def canceller():
        rng = random.Random(7)
        while not stop.is_set():
            with scopes_lock:
                victims = list(scopes)
            if victims:
                rng.choice(victims).cancel()
            stop.wait(0.0001)

    async def producer(base):
        rng = random.Random(base)
        for n in range(base, base + 1500):
            with quorlin.move_on_after(rng.choice([0, 0.0002, 0.002])) as scope:
                with scopes_lock:
                    scopes.add(scope)
                try:
                    await send.send(n)
                    with sent_lock:
                        sent.append(n)
                finally:
                    with scopes_lock:
                        scopes.discard(scope)

    def thread_producer(base):
        for n in range(base, base + 100):
            try:
                send.send_blocking(n, timeout=random.choice([0.0001, 0.01]))
            except TimeoutError:
                continue
            with sent_lock:
                sent.append(n)

    async def consumer(seed):
        rng = random.Random(seed)
        while True:
            with quorlin.move_on_after(rng.choice([0.00005, 0.0002, 0.002])) as scope:
                with scopes_lock:
                    scopes.add(scope)
                try:
                    received.append(await receive.receive())
                except EndOfChannel:
                    return
                finally:
                    with scopes_lock:
                        scopes.discard(scope)

    helpers = [threading.Thread(target=canceller), threading.Thread(target=thread_producer, args=(10_000,))]
    for helper in helpers:
        helper.start()
    try:
        with quorlin.fail_after(60):
            async with quorlin.TaskGroup() as consumers:
                for seed in range(6):
                    consumers.start_soon(consumer, seed)
                async with quorlin.TaskGroup() as producers:
                    for base in (0, 2000, 4000):
                        producers.start_soon(producer, base)
                helpers[1].join(30)
                send.close()
    finally:
        stop.set()
        for helper in helpers:
            helper.join(10)
    assert sorted(received) == sorted(sent)
    assert len(set(received)) == len(received)
    assert len(sent) > 0
