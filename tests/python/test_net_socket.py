"""quorlin.socket: echo over TCP, UDP and Unix sockets, large transfers, half-close, cancellation,
refused and reset connections, closing under a waiter, name resolution."""

import hashlib
import os
import socket as stdlib_socket
import struct

import pytest

import quorlin
from quorlin import BusyResourceError, ClosedResourceError
from quorlin import socket as qsocket

pytestmark = [
    pytest.mark.quorlin,
    pytest.mark.skipif("not config.getoption('quorlin_threads', None)",
                       reason="needs a session of its own (test_net_sessions.py runs it)"),
]

LIMIT = 20  # seconds; every test body runs under fail_after(LIMIT)


def has_ipv6_loopback():
    try:
        with stdlib_socket.socket(stdlib_socket.AF_INET6, stdlib_socket.SOCK_STREAM) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


async def tcp_listener(family=qsocket.AF_INET, host="127.0.0.1"):
    listener = qsocket.socket(family, qsocket.SOCK_STREAM)
    await listener.bind((host, 0))
    listener.listen(128)
    return listener


async def recv_exactly(sock, count):
    chunks, got = [], 0
    while got < count:
        chunk = await sock.recv(count - got)
        if not chunk:
            raise EOFError(f"end of stream after {got} of {count} bytes")
        chunks.append(chunk)
        got += len(chunk)
    return b"".join(chunks)


async def connected_tcp_pair(family=qsocket.AF_INET, host="127.0.0.1"):
    listener = await tcp_listener(family, host)
    client = qsocket.socket(family, qsocket.SOCK_STREAM)
    async with quorlin.TaskGroup() as tg:
        accepted = tg.create_task(listener.accept)
        await client.connect(listener.getsockname()[:2])
    listener.close()
    server, _ = accepted.result()
    return client, server


# ---------------------------------------------------------------------------------------------
# Echo over each kind of socket


async def echo_stream_server(listener, connections):
    async with quorlin.TaskGroup() as tg:
        for _ in range(connections):
            conn, _ = await listener.accept()
            tg.start_soon(echo_stream_connection, conn)


async def echo_stream_connection(conn):
    with conn:
        while data := await conn.recv(4096):
            await conn.sendall(data)


async def echo_datagram_server(sock, count):
    for _ in range(count):
        data, peer = await sock.recvfrom(65536)
        await sock.sendto(data, peer)


MESSAGES = [b"hello", b"x" * 1000, bytes(range(256)) * 20, b"\0", b"last"]


@pytest.mark.parametrize("kind", ["tcp4", "tcp6", "udp4", "udp6", "unix-stream", "unix-dgram"])
async def test_echo(kind, tmp_path):
    family = {"4": qsocket.AF_INET, "6": qsocket.AF_INET6}.get(kind[-1], qsocket.AF_UNIX)
    if family == qsocket.AF_INET6 and not has_ipv6_loopback():
        pytest.skip("no IPv6 loopback here")
    host = "::1" if family == qsocket.AF_INET6 else "127.0.0.1"
    stream = kind.startswith("tcp") or kind == "unix-stream"
    kind_type = qsocket.SOCK_STREAM if stream else qsocket.SOCK_DGRAM
    server = qsocket.socket(family, kind_type)
    client = qsocket.socket(family, kind_type)
    with server, client, quorlin.fail_after(LIMIT):
        if family == qsocket.AF_UNIX:
            server_address = str(tmp_path / "server.sock")
            await server.bind(server_address)
            if not stream:
                await client.bind(str(tmp_path / "client.sock"))  # so that replies can reach us
        else:
            await server.bind((host, 0))
            server_address = server.getsockname()[:2]
        async with quorlin.TaskGroup() as tg:
            if stream:
                server.listen()
                tg.start_soon(echo_stream_server, server, 1)
                await client.connect(server_address)
                for message in MESSAGES:
                    await client.sendall(message)
                    assert await recv_exactly(client, len(message)) == message
                client.shutdown(qsocket.SHUT_WR)
                assert await client.recv(10) == b""
            else:
                tg.start_soon(echo_datagram_server, server, len(MESSAGES))
                for message in MESSAGES:
                    assert await client.sendto(message, server_address) == len(message)
                    data, sender = await client.recvfrom(65536)
                    assert data == message
                    if family == qsocket.AF_UNIX:
                        assert sender == server_address
                    else:
                        assert sender[:2] == server_address


async def test_large_transfer_both_directions_at_once():
    """Each side sends 8 MiB while receiving 8 MiB: a reader and a writer on one socket at once."""
    size = 8 << 20

    async def send(sock):
        # Every kind of buffer, one with 4-byte items.  Each sender has its own: views of one buffer
        # shared by two threads are not safe to release concurrently in the interpreter itself.
        blocks = [os.urandom(1 << 16), bytearray(os.urandom(1 << 16)), memoryview(os.urandom(1 << 16)),
                  memoryview(os.urandom(1 << 16)).cast("I")]
        digest = hashlib.sha256()
        for index in range(size // (1 << 16)):
            block = blocks[index % len(blocks)]
            digest.update(block)
            await sock.sendall(block)
        return digest.hexdigest()

    async def receive(sock):
        digest, got, buffer = hashlib.sha256(), 0, bytearray(1 << 17)
        view = memoryview(buffer)
        while got < size:
            count = await sock.recv_into(buffer)
            assert count > 0
            digest.update(view[:count])
            got += count
        return digest.hexdigest()

    with quorlin.fail_after(LIMIT * 3):
        client, server = await connected_tcp_pair()
        with client, server:
            results = await quorlin.gather(send(client), receive(server), send(server), receive(client))
        assert results[0] == results[1] and results[2] == results[3]


async def test_half_close_keeps_the_other_direction_open():
    with quorlin.fail_after(LIMIT):
        client, server = await connected_tcp_pair()
        with client, server:
            await client.sendall(b"request")
            client.shutdown(qsocket.SHUT_WR)
            assert client.did_shutdown_SHUT_WR
            received = b""
            while data := await server.recv(100):
                received += data
            assert received == b"request"  # then end of file
            await server.sendall(b"response after the peer's EOF")
            server.shutdown(qsocket.SHUT_WR)
            assert await recv_exactly(client, 29) == b"response after the peer's EOF"
            assert await client.recv(10) == b""
            with pytest.raises(BrokenPipeError):
                await client.send(b"after shutdown")


# ---------------------------------------------------------------------------------------------
# Cancellation, conflicts and closing


async def test_cancelled_receive_and_accept_leave_the_socket_usable():
    with quorlin.fail_after(LIMIT):
        client, server = await connected_tcp_pair()
        with client, server:
            with quorlin.move_on_after(0.05) as scope:
                await server.recv(10)
            assert scope.cancelled_caught
            await client.sendall(b"later")
            assert await recv_exactly(server, 5) == b"later"

        listener = await tcp_listener()
        with listener:
            with quorlin.move_on_after(0.05) as scope:
                await listener.accept()
            assert scope.cancelled_caught
            client = qsocket.socket()
            with client:
                await client.connect(listener.getsockname())
                conn, address = await listener.accept()
                conn.close()
                assert address == client.getsockname()


async def test_second_receiver_is_refused_and_close_wakes_the_first():
    with quorlin.fail_after(LIMIT):
        client, server = await connected_tcp_pair()
        with client, server:
            outcome = []

            async def first():
                try:
                    await server.recv(10)
                except ClosedResourceError:
                    outcome.append("closed")

            async with quorlin.TaskGroup() as tg:
                tg.start_soon(first)
                await quorlin.sleep(0.05)
                with pytest.raises(BusyResourceError):
                    await server.recv(10)
                server.close()
            assert outcome == ["closed"]
            assert server.fileno() == -1
            with pytest.raises(OSError):
                await server.recv(10)


async def test_descriptor_closed_behind_our_back_is_registered_afresh():
    """A socket whose descriptor was closed without our close() and whose number was reused."""
    with quorlin.fail_after(LIMIT):
        a, b = qsocket.socketpair()
        await b.sendall(b"x")
        assert await a.recv(1) == b"x"  # registers a's descriptor
        number = a.fileno()
        a._sock.close()  # the standard socket closes, the registration is not told
        b.close()
        c, d = qsocket.socketpair()
        with c, d:
            if number not in (c.fileno(), d.fileno()):
                pytest.skip("the descriptor number was not reused")
            reused, other = (c, d) if c.fileno() == number else (d, c)
            async with quorlin.TaskGroup() as tg:
                task = tg.create_task(reused.recv, 10)
                await quorlin.sleep(0.05)  # let it park before the data exists
                await other.sendall(b"fresh")
            assert task.result() == b"fresh"


# ---------------------------------------------------------------------------------------------
# Refused and reset connections


async def test_refused_connection_raises_connection_refused_error():
    with quorlin.fail_after(LIMIT):
        # A bound but not listening socket holds the port, so nobody else can listen on it.
        with stdlib_socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            sock = qsocket.socket()
            with sock, pytest.raises(ConnectionRefusedError):
                await sock.connect(holder.getsockname())


async def test_reset_connection_raises_connection_reset_error():
    with quorlin.fail_after(LIMIT):
        client, server = await connected_tcp_pair()
        with client:
            await client.sendall(b"unread")  # unread data makes the close a reset, even without SO_LINGER
            await quorlin.sleep(0.02)
            server.setsockopt(qsocket.SOL_SOCKET, qsocket.SO_LINGER, struct.pack("ii", 1, 0))
            server.close()
            with pytest.raises(ConnectionResetError):
                await client.recv(10)


# ---------------------------------------------------------------------------------------------
# Name resolution


async def test_name_resolution():
    with quorlin.fail_after(LIMIT):
        numeric = await qsocket.getaddrinfo("127.0.0.1", 80, qsocket.AF_INET, qsocket.SOCK_STREAM)
        assert [entry[4] for entry in numeric] == [("127.0.0.1", 80)]
        named = await qsocket.getaddrinfo("localhost", "80", type=qsocket.SOCK_STREAM)
        assert named and all(entry[4][0] in ("127.0.0.1", "::1") for entry in named)
        assert await qsocket.getnameinfo(("127.0.0.1", 80), qsocket.NI_NUMERICHOST | qsocket.NI_NUMERICSERV) == (
            "127.0.0.1", "80")
        with pytest.raises(qsocket.gaierror):  # fails in the resolving thread, without asking a server
            await qsocket.getaddrinfo("not-a-number", 80, flags=qsocket.AI_NUMERICHOST)

        # Connecting and binding by name resolve first.
        listener = qsocket.socket()
        with listener:
            await listener.bind(("localhost", 0))
            listener.listen()
            client = qsocket.socket()
            with client:
                await client.connect(("localhost", listener.getsockname()[1]))
                conn, _ = await listener.accept()
                conn.close()
