"""Socket streams, listeners and serve_tcp: echo, stream errors, and a thousand concurrent connections."""

import functools
import resource
import struct
import threading

import pytest

import quorlin
from quorlin import BrokenResourceError, BusyResourceError, ClosedResourceError
from quorlin import (
    SocketListener,
    SocketStream,
    open_tcp_listeners,
    open_tcp_stream,
    open_unix_socket,
    serve_listeners,
    serve_tcp,
)
from quorlin import socket as qsocket
from quorlin.lowlevel import wait_readable

pytestmark = [
    pytest.mark.quorlin,
    pytest.mark.skipif("not config.getoption('quorlin_threads', None)",
                       reason="needs a session of its own (test_net_sessions.py runs it)"),
]

LIMIT = 20  # seconds; every test body runs under fail_after(LIMIT)


async def echo_handler(stream):
    async for chunk in stream:
        await stream.send_all(chunk)


async def receive_exactly(stream, count):
    data = bytearray()
    while len(data) < count:
        chunk = await stream.receive_some(count - len(data))
        if not chunk:
            raise EOFError(f"end of stream after {len(data)} of {count} bytes")
        data += chunk
    return bytes(data)


async def outcome_of(awaitable):
    """The exception `awaitable` raises (or its result), without failing the task group."""
    try:
        return await awaitable
    except Exception as exc:
        return exc


async def start_echo_server(tg, handler=echo_handler):
    with quorlin.fail_after(LIMIT):  # a bounded start, in a scope of its own below the group's
        listeners = await tg.start(functools.partial(serve_tcp, handler, 0, host="127.0.0.1"))
    return listeners[0].socket.getsockname()[1]


async def test_tcp_echo_through_serve_tcp():
    with quorlin.fail_after(LIMIT):
        async with quorlin.TaskGroup() as tg:
            port = await start_echo_server(tg)
            async with await open_tcp_stream("127.0.0.1", port) as stream:
                for size in (1, 100, 70_000, 1 << 20):
                    payload = bytes(i % 251 for i in range(size))
                    async with quorlin.TaskGroup() as inner:  # send and receive at once: big payloads
                        inner.start_soon(stream.send_all, payload)
                        echoed = inner.create_task(receive_exactly, stream, size)
                    assert echoed.result() == payload
                await stream.send_eof()
                assert await stream.receive_some() == b""  # the handler ended and closed its stream
            tg.cancel_scope.cancel()


async def test_unix_stream_echo(tmp_path):
    path = str(tmp_path / "echo.sock")
    with quorlin.fail_after(LIMIT):
        listening = qsocket.socket(qsocket.AF_UNIX, qsocket.SOCK_STREAM)
        await listening.bind(path)
        listening.listen()
        listener = SocketListener(listening)
        async with quorlin.TaskGroup() as tg:
            tg.start_soon(serve_listeners, echo_handler, [listener])
            stream = await open_unix_socket(path)
            async with stream:
                await stream.send_all(b"over a unix socket")
                assert await receive_exactly(stream, 18) == b"over a unix socket"
            tg.cancel_scope.cancel()
        with pytest.raises(FileNotFoundError):
            await open_unix_socket(str(tmp_path / "missing.sock"))


async def test_stream_misuse_raises_stream_errors():
    with quorlin.fail_after(LIMIT):
        async with quorlin.TaskGroup() as tg:
            port = await start_echo_server(tg)
            stream = await open_tcp_stream("127.0.0.1", port)
            assert stream.getsockopt(qsocket.IPPROTO_TCP, qsocket.TCP_NODELAY)
            with pytest.raises(ValueError):
                await stream.receive_some(0)

            # Two receivers at once.
            receiving = tg.create_task(stream.receive_some)
            await quorlin.sleep(0.05)
            with pytest.raises(BusyResourceError):
                await stream.receive_some()
            await stream.send_all(b"ping")
            assert await receiving == b"ping"

            # Sending after send_eof, then after aclose; aclose wakes a parked receiver.
            await stream.send_eof()
            await stream.send_eof()  # idempotent
            with pytest.raises(ClosedResourceError):
                await stream.send_all(b"late")
            await stream.aclose()
            await stream.aclose()
            for operation in (stream.receive_some(), stream.send_all(b"x"), stream.send_eof()):
                with pytest.raises(ClosedResourceError):
                    await operation

            second = await open_tcp_stream("127.0.0.1", port)
            parked = tg.create_task(outcome_of, second.receive_some())
            await quorlin.sleep(0.05)
            await second.aclose()
            assert type(await parked) is ClosedResourceError
            tg.cancel_scope.cancel()


async def test_one_sender_at_a_time():
    # A send_all parked on a full buffer holds the sending side: every other sending operation is
    # refused until it finishes, and the side is free again afterwards, also after a refusal.
    a, b = qsocket.socketpair()
    stream = SocketStream(a)
    payload = b"z" * (8 << 20)  # far more than the socket buffers hold
    try:
        with quorlin.fail_after(LIMIT):
            async with quorlin.TaskGroup() as tg:
                first = tg.create_task(stream.send_all, payload)
                await quorlin.sleep(0.05)
                assert not first.done()
                for operation in (stream.send_all(b"x"), stream.send_eof(), stream.wait_send_all_might_not_block()):
                    with pytest.raises(BusyResourceError):
                        await operation

                def drain():
                    with b._sock as raw:
                        raw.setblocking(True)
                        raw.settimeout(LIMIT)
                        got = 0
                        while got < len(payload) + 2:
                            chunk = raw.recv(1 << 20)
                            if not chunk:
                                break
                            got += len(chunk)
                        return got

                draining = tg.create_task(quorlin.to_thread.run_sync, drain)
                await first
                await stream.send_all(b"ok")
                await stream.send_eof()
                assert await draining == len(payload) + 2
    finally:
        await stream.aclose()


@pytest.mark.parametrize("steps", [
    [b"abc", "eof"],                        # data and the end of the stream arrive together
    [b"abc", "pause", "eof"],               # the end comes after the buffer was emptied
    [b"abc", "pause", b"defg", "eof"],      # more data comes after the buffer was emptied
    [b"x" * 200_000, "pause", b"y", "eof"],  # full reads first, then a short one
])
async def test_receiving_after_the_buffer_was_emptied(steps):
    a, b = qsocket.socketpair()
    stream = SocketStream(a)
    expected = b"".join(step for step in steps if isinstance(step, bytes))

    def peer():
        with b._sock as raw:
            raw.setblocking(True)
            for step in steps:
                if step == "pause":
                    threading.Event().wait(0.05)
                elif step == "eof":
                    raw.shutdown(qsocket.SHUT_WR)
                else:
                    raw.sendall(step)

    try:
        with quorlin.fail_after(LIMIT):
            sender = threading.Thread(target=peer)
            sender.start()
            received = bytearray()
            while chunk := await stream.receive_some(65536):
                received += chunk
            assert received == expected
            assert await stream.receive_some() == b""
            assert await stream.socket.recv(16) == b""  # the end stays visible to the socket itself
            sender.join(LIMIT)
    finally:
        await stream.aclose()


async def test_refused_and_reset_connections():
    with quorlin.fail_after(LIMIT):
        holder = qsocket.socket()
        with holder:
            await holder.bind(("127.0.0.1", 0))  # bound, never listening: connections are refused
            with pytest.raises(ConnectionRefusedError):
                await open_tcp_stream("127.0.0.1", holder.getsockname()[1])

        async def reset_at_once(stream):
            await stream.receive_some(1)  # the client is surely connected: reset now
            stream.setsockopt(qsocket.SOL_SOCKET, qsocket.SO_LINGER, struct.pack("ii", 1, 0))
            await stream.aclose()

        async with quorlin.TaskGroup() as tg:
            port = await start_echo_server(tg, reset_at_once)
            stream = await open_tcp_stream("127.0.0.1", port)
            async with stream:
                await stream.send_all(b"!")
                with pytest.raises(BrokenResourceError) as info:
                    await stream.receive_some()
                assert isinstance(info.value.__cause__, ConnectionResetError)
                with pytest.raises(BrokenResourceError) as info:
                    for _ in range(100):  # the first send may still be accepted by the kernel
                        await stream.send_all(b"x" * 65536)
                assert isinstance(info.value.__cause__, (BrokenPipeError, ConnectionResetError))
            tg.cancel_scope.cancel()


async def test_listeners_on_every_loopback_address_and_closing_one():
    with quorlin.fail_after(LIMIT):
        listeners = await open_tcp_listeners(0, host="localhost")
        assert listeners and all(isinstance(listener, SocketListener) for listener in listeners)
        for listener in listeners:
            host, port = listener.socket.getsockname()[:2]
            async with listener, await open_tcp_stream(host, port) as client:
                server = await listener.accept()
                async with server:
                    await client.send_all(b"hi")
                    assert await receive_exactly(server, 2) == b"hi"
                    assert isinstance(server, SocketStream)

        listener = (await open_tcp_listeners(0, host="127.0.0.1"))[0]
        async with quorlin.TaskGroup() as tg:
            accepting = tg.create_task(outcome_of, listener.accept())
            await quorlin.sleep(0.05)
            threading.Thread(target=listener.socket.close).start()  # from a plain thread
            assert type(await accepting) is ClosedResourceError
        await listener.aclose()
        with pytest.raises(ClosedResourceError):
            await listener.accept()


def descriptor_budget(wanted):
    """Raises the soft descriptor limit towards `wanted` (never above the hard one); returns it."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < wanted:
        target = wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
        soft = target
    return soft


async def test_a_thousand_concurrent_connections_with_exact_byte_accounting():
    connections = 1200
    budget = descriptor_budget(2 * connections + 200)
    connections = min(connections, (budget - 200) // 2)
    assert connections >= 1000, f"only {budget} descriptors available"
    rounds = 5
    lock = threading.Lock()
    counts = {"server": 0, "clients": 0, "finished": 0}
    everyone_connected = quorlin.Event()

    def message(index, round_):
        return f"{index}:{round_}:".encode() + bytes([index % 256]) * (index % 97 + 1)

    async def counting_echo(stream):
        async for chunk in stream:
            with lock:
                counts["server"] += len(chunk)
            await stream.send_all(chunk)

    async def client(index):
        async with await open_tcp_stream("127.0.0.1", port) as stream:
            for round_ in range(rounds):
                data = message(index, round_)
                await stream.send_all(data)
                assert await receive_exactly(stream, len(data)) == data
                with lock:
                    counts["clients"] += len(data)
            with lock:
                counts["finished"] += 1
                last = counts["finished"] == connections
            if last:
                everyone_connected.set()
            await everyone_connected.wait()  # every connection stays open until all are done

    expected = sum(len(message(i, r)) for i in range(connections) for r in range(rounds))
    with quorlin.fail_after(LIMIT * 3):
        async with quorlin.TaskGroup() as tg:
            port = await start_echo_server(tg, counting_echo)
            async with quorlin.TaskGroup() as clients:
                for index in range(connections):
                    clients.start_soon(client, index)
            tg.cancel_scope.cancel()
    assert counts == {"server": expected, "clients": expected, "finished": connections}


# ---------------------------------------------------------------------------------------------
# Fairness: a task whose sockets are always ready still lets the other tasks run


HAMMER_ROUNDS = 100_000  # far more rounds than the other task needs turns, when it gets them


async def hammer(kind, stop):
    """Works a socket pair whose every operation finds its socket ready, until `stop` is set.
    Returns the number of rounds made."""
    left, right = qsocket.socketpair()
    streams = SocketStream(left), SocketStream(right)
    try:
        if kind == "wait_readable":
            right._sock.send(b"never read")
        for rounds in range(HAMMER_ROUNDS):
            if stop.is_set():
                return rounds
            if kind == "stream":
                await streams[0].send_all(b"x" * 64)
                await streams[1].receive_some()
            elif kind == "socket":
                await left.sendall(b"x" * 64)
                await right.recv(65536)
            else:
                await wait_readable(left)
        return HAMMER_ROUNDS
    finally:
        for stream in streams:
            await stream.aclose()


@pytest.mark.parametrize("kind", ["stream", "socket", "wait_readable"])
@pytest.mark.parametrize("turn", ["sleep", "checkpoint"])
async def test_a_task_on_ready_sockets_lets_the_others_run(turn, kind, pytestconfig):
    # More hammering tasks than workers: without turns, the sleeping task's wake-up waits behind a
    # hammer on every worker until the hammers have run out of rounds.
    stop = threading.Event()
    turns = 0
    with quorlin.fail_after(LIMIT * 3):
        async with quorlin.TaskGroup() as tg:
            hammers = [tg.create_task(hammer, kind, stop)
                       for _ in range(pytestconfig.getoption("quorlin_threads") + 1)]
            await quorlin.sleep(0.01)  # the hammers are under way
            try:
                for turns in range(1, 11):
                    if turn == "sleep":
                        await quorlin.sleep(0.001)
                    else:
                        await quorlin.checkpoint()
            finally:
                stop.set()
    rounds = [task.result() for task in hammers]
    assert turns == 10
    assert all(count < HAMMER_ROUNDS for count in rounds), f"the others ran only after the hammers: {rounds}"


# ---------------------------------------------------------------------------------------------
# Closing while an operation is starting: the descriptor number may be reused at once


async def test_a_socket_closed_while_a_receive_registers_it_leaves_a_reused_number_alone(monkeypatch):
    from quorlin import _io

    a, b = qsocket.socketpair()
    fd = a.fileno()
    seen = {}
    real_registration = _io.registration

    def racing_registration(number, owner=None):
        if number == fd and "closer" not in seen:
            # Another thread closes the socket just now, and a new socket may take its number.
            closed = threading.Event()
            seen["closer"] = threading.Thread(target=lambda: (a.close(), closed.set()))
            seen["closer"].start()
            closed.wait(0.5)
            c, d = qsocket.socketpair()
            seen["new"] = (c, d)
            seen["new entry"] = c._registration()
        return real_registration(number, owner)

    monkeypatch.setattr(_io, "registration", racing_registration)
    try:
        with quorlin.fail_after(5):
            with pytest.raises((OSError, ClosedResourceError)):
                await a.recv(10)  # not left waiting on whatever took the number
        seen["closer"].join(LIMIT)
        c, d = seen["new"]
        assert not seen["new entry"].closed, "closing one socket ended another socket's registration"
        with quorlin.fail_after(LIMIT):
            d._sock.send(b"for the new socket")
            assert await c.recv(100) == b"for the new socket"
    finally:
        for sock in (a, b, *seen.get("new", ())):
            sock.close()


async def test_aclose_keeps_the_descriptor_until_a_receive_under_way_ends(pytestconfig):
    import fcntl
    import os
    import socket as stdlib_socket

    if pytestconfig.getoption("quorlin_threads") < 2:
        pytest.skip("the closing task must run while the receiving one is inside recv")
    closed = threading.Event()
    observed = {}

    class SlowSocket(stdlib_socket.socket):
        def recv(self, *args):
            if "open" not in observed:
                closed.wait(LIMIT)  # the closing task finishes aclose meanwhile
                try:
                    fcntl.fcntl(number, fcntl.F_GETFD)
                    observed["open"] = True
                except OSError:
                    observed["open"] = False
            return super().recv(*args)

    left, right = stdlib_socket.socketpair()
    number = left.fileno()
    stream = SocketStream(qsocket.from_stdlib_socket(SlowSocket(fileno=left.detach())))
    right.sendall(b"in flight")

    async def close_it():
        await quorlin.sleep(0.05)
        await stream.aclose()
        closed.set()

    try:
        with quorlin.fail_after(LIMIT):
            async with quorlin.TaskGroup() as tg:
                tg.start_soon(close_it)
                received = await outcome_of(stream.receive_some())
        assert observed == {"open": True}, "aclose closed the descriptor under a receive in progress"
        assert received == b"in flight"
        with pytest.raises(OSError):
            os.fstat(number)  # closed once the receive ended
        with pytest.raises(ClosedResourceError):
            await stream.receive_some()
    finally:
        closed.set()
        right.close()
        await stream.aclose()


async def test_listener_aclose_keeps_the_descriptor_until_an_accept_under_way_ends(pytestconfig):
    import fcntl
    import os
    import socket as stdlib_socket

    if pytestconfig.getoption("quorlin_threads") < 2:
        pytest.skip("the closing task must run while the accepting one is inside accept")
    closed = threading.Event()
    observed = {}

    class SlowListeningSocket(stdlib_socket.socket):
        def accept(self):
            if "open" not in observed:
                closed.wait(LIMIT)  # the closing task finishes aclose meanwhile
                try:
                    fcntl.fcntl(number, fcntl.F_GETFD)
                    observed["open"] = True
                except OSError:
                    observed["open"] = False
            return super().accept()

    raw = SlowListeningSocket(stdlib_socket.AF_INET, stdlib_socket.SOCK_STREAM)
    raw.bind(("127.0.0.1", 0))
    raw.listen()
    number = raw.fileno()
    listener = SocketListener(qsocket.from_stdlib_socket(raw))
    client = stdlib_socket.create_connection(raw.getsockname(), timeout=LIMIT)

    async def close_it():
        await quorlin.sleep(0.05)
        await listener.aclose()
        closed.set()

    try:
        with quorlin.fail_after(LIMIT):
            async with quorlin.TaskGroup() as tg:
                tg.start_soon(close_it)
                accepted = await outcome_of(listener.accept())
        assert observed == {"open": True}, "aclose closed the descriptor under an accept in progress"
        assert isinstance(accepted, SocketStream)
        await accepted.aclose()
        with pytest.raises(OSError):
            os.fstat(number)  # closed once the accept ended
        with pytest.raises(ClosedResourceError):
            await listener.accept()
    finally:
        closed.set()
        client.close()
        await listener.aclose()
