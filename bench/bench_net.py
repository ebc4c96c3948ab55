"""Networking on quorlin against asyncio (and uvloop where it is installed), measured in one run.

    python bench/bench_net.py [--rounds 3] [--duration 2.0] [--only echo,http]

echo   TCP echo over loopback, client and server in the same process: `connections` client tasks,
       each sending a message of `size` bytes and waiting for its echo before the next one; the
       server runs one handler task per connection.  Round trips per second (all connections) and
       the 99th percentile of one round trip.  quorlin uses SocketStream (serve_listeners /
       open_tcp_stream); asyncio and uvloop use their streams (start_server / open_connection).
http   examples/http_server.py (quorlin) and the same HTTP code on asyncio streams (asyncio,
       uvloop) in a server process, loaded by wrk (-t1 -c64, keep-alive) from another process.
       Requests per second and wrk's 99th percentile latency.

Each measurement runs in a fresh process (the quorlin runtime is configured once per process);
rounds alternate the contenders, and medians are reported beside the ratio to asyncio.  The
machine's cores are shared by the client side (the client tasks, or wrk) and the server.
"""

import argparse
import asyncio
import json
import os
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))

ECHO_CASES = [(size, connections) for size in (64, 1024) for connections in (1, 16, 64)]
WARM_UP = 0.3  # seconds of each echo run not measured


def contenders():
    names = ["quorlin-1", "quorlin-2", "asyncio"]
    try:
        import uvloop  # noqa: F401

        names.append("uvloop")
    except ImportError:
        pass
    return names


# --------------------------------------------------------------------------------------------
# echo, inside one process


def summarise(latencies_ns, elapsed):
    latencies_ns.sort()
    p99 = latencies_ns[min(len(latencies_ns) - 1, int(len(latencies_ns) * 0.99))] if latencies_ns else float("nan")
    return {"per_s": len(latencies_ns) / elapsed, "p99_us": p99 / 1000}


async def echo_quorlin(size, connections, duration):
    import quorlin

    async def handler(stream):
        async for chunk in stream:
            await stream.send_all(chunk)

    payload = b"x" * size
    latencies = []
    listeners = await quorlin.open_tcp_listeners(0, host="127.0.0.1")
    port = listeners[0].socket.getsockname()[1]
    start = time.perf_counter()
    measure_from, stop_at = start + WARM_UP, start + WARM_UP + duration

    async def client():
        async with await quorlin.open_tcp_stream("127.0.0.1", port) as stream:
            mine = []
            while (now := time.perf_counter()) < stop_at:
                began = time.perf_counter_ns()
                await stream.send_all(payload)
                got = 0
                while got < size:
                    got += len(await stream.receive_some())
                if now >= measure_from:
                    mine.append(time.perf_counter_ns() - began)
            latencies.extend(mine)

    async with quorlin.TaskGroup() as tg:
        tg.start_soon(quorlin.serve_listeners, handler, listeners)
        async with quorlin.TaskGroup() as clients:
            for _ in range(connections):
                clients.start_soon(client)
        tg.cancel_scope.cancel()
    return summarise(latencies, duration)


async def echo_asyncio(size, connections, duration):
    async def handler(reader, writer):
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
        writer.close()

    payload = b"x" * size
    latencies = []
    server = await asyncio.start_server(handler, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    start = time.perf_counter()
    measure_from, stop_at = start + WARM_UP, start + WARM_UP + duration

    async def client():
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        mine = []
        while (now := time.perf_counter()) < stop_at:
            began = time.perf_counter_ns()
            writer.write(payload)
            await writer.drain()
            await reader.readexactly(size)
            if now >= measure_from:
                mine.append(time.perf_counter_ns() - began)
        latencies.extend(mine)
        writer.close()
        await writer.wait_closed()

    async with server:
        await asyncio.gather(*(client() for _ in range(connections)))
    return summarise(latencies, duration)


def run_echo(contender, size, connections, duration):
    if contender.startswith("quorlin"):
        import quorlin

        threads = int(contender.partition("-")[2])
        return quorlin.run(echo_quorlin, size, connections, duration, threads=threads)
    if contender == "uvloop":
        import uvloop

        return uvloop.run(echo_asyncio(size, connections, duration))
    return asyncio.run(echo_asyncio(size, connections, duration))


# --------------------------------------------------------------------------------------------
# http, a server process under wrk


def serve_http_asyncio(use_uvloop):
    from http_server import HttpConnection

    async def handler(reader, writer):
        connection = HttpConnection()
        try:
            while data := await reader.read(65536):
                reply = connection.receive(data)
                if reply:
                    writer.write(reply)
                    await writer.drain()
                if connection.closing:
                    break
        except ConnectionError:
            pass
        writer.close()

    async def main():
        server = await asyncio.start_server(handler, "127.0.0.1", 0, backlog=1024)
        print(f"serving on http://127.0.0.1:{server.sockets[0].getsockname()[1]}/", flush=True)
        async with server:
            await server.serve_forever()

    try:
        if use_uvloop:
            import uvloop

            uvloop.run(main())
        else:
            asyncio.run(main())
    except KeyboardInterrupt:
        pass


def http_server_command(contender):
    if contender.startswith("quorlin"):
        threads = contender.partition("-")[2]
        return [sys.executable, str(ROOT / "examples" / "http_server.py"), "--port", "0", "--threads", threads]
    return [sys.executable, __file__, "--serve-http", contender]


def run_http(contender, duration):
    server = subprocess.Popen(http_server_command(contender), stdout=subprocess.PIPE, text=True)
    try:
        ready, _, _ = select.select([server.stdout], [], [], 30)
        if not ready:
            raise RuntimeError(f"the {contender} HTTP server did not start")
        url = re.search(r"http://\S+", server.stdout.readline()).group(0)
        seconds = max(1, round(duration))  # wrk takes whole seconds
        wrk = subprocess.run(["wrk", "-t1", "-c64", f"-d{seconds}s", "--latency", "--timeout", "5s", url],
                             capture_output=True, text=True, timeout=seconds + 60)
        if wrk.returncode != 0:
            raise RuntimeError(f"wrk failed: {wrk.stderr}")
        per_s = float(re.search(r"Requests/sec:\s+([\d.]+)", wrk.stdout).group(1))
        value, unit = re.search(r"99%\s+([\d.]+)(us|ms|s)\b", wrk.stdout).groups()
        p99_us = float(value) * {"us": 1, "ms": 1000, "s": 1_000_000}[unit]
        errors = "Socket errors" in wrk.stdout or "Non-2xx" in wrk.stdout
        return {"per_s": per_s, "p99_us": p99_us, "errors": float(errors)}
    finally:
        server.send_signal(signal.SIGINT)
        try:
            server.wait(10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait(10)


# --------------------------------------------------------------------------------------------
# driver


def measure(args):
    """Runs one measurement in a fresh process; returns its metrics."""
    command = [sys.executable, __file__, "--child", json.dumps(args)]
    completed = subprocess.run(command, capture_output=True, text=True, timeout=300)
    if completed.returncode != 0:
        raise RuntimeError(f"{args} failed:\n{completed.stderr[-3000:]}")
    return json.loads(completed.stdout.strip().splitlines()[-1])


def table(title, rows, names):
    print(f"\n{title}")
    header = f"{'case':<22}" + "".join(f"{name:>16}" for name in names) + "".join(
        f"{name + '/asyncio':>22}" for name in names if name != "asyncio")
    print(header)
    print("-" * len(header))
    for case, results in rows:
        for metric, label, higher_better in (("per_s", "per s", True), ("p99_us", "p99 us", False)):
            line = f"{case + ' ' + label:<22}"
            for name in names:
                line += f"{results[name][metric]:>16,.0f}" if name in results else f"{'-':>16}"
            for name in names:
                if name == "asyncio":
                    continue
                peer, value = results.get("asyncio", {}).get(metric), results.get(name, {}).get(metric)
                if not peer or value is None:
                    line += f"{'-':>22}"
                    continue
                ratio = value / peer
                better = ratio >= 1 if higher_better else ratio <= 1
                line += f"{ratio:>17.2f}x {'(+)' if better else '(-)'}"
            print(line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--duration", type=float, default=2.0, help="measured seconds per run")
    parser.add_argument("--only", default="echo,http")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--serve-http", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.serve_http:
        serve_http_asyncio(args.serve_http == "uvloop")
        return
    if args.child:
        request = json.loads(args.child)
        if request["workload"] == "echo":
            result = run_echo(request["contender"], request["size"], request["connections"], request["duration"])
        else:
            result = run_http(request["contender"], request["duration"])
        print(json.dumps(result))
        return

    names = contenders()
    only = set(args.only.split(","))
    print(f"quorlin networking benchmark: {os.process_cpu_count()} CPUs, Python {sys.version.split()[0]}, "
          f"GIL {'enabled' if sys._is_gil_enabled() else 'disabled'}; contenders: {', '.join(names)}; "
          f"{args.rounds} rounds of {args.duration} s, medians")
    print("ratios: quorlin (or uvloop) over asyncio; (+) means better (more per second, lower p99)")

    if "echo" in only:
        rows = []
        for size, connections in ECHO_CASES:
            samples = {name: [] for name in names}
            for _ in range(args.rounds):
                for name in names:
                    samples[name].append(measure({"workload": "echo", "contender": name, "size": size,
                                                  "connections": connections, "duration": args.duration}))
            rows.append((f"echo {size}B x{connections}",
                         {name: {key: statistics.median(s[key] for s in runs) for key in runs[0]}
                          for name, runs in samples.items()}))
        table("echo over loopback TCP (client and server in one process)", rows, names)

    if "http" in only:
        subprocess.run([str(ROOT / "scripts" / "install-net-tools.sh")], check=False)
        if shutil.which("wrk") is None:
            print("\nhttp: wrk is not available (scripts/install-net-tools.sh); skipped")
            return
        samples = {name: [] for name in names}
        for _ in range(args.rounds):
            for name in names:
                samples[name].append(measure({"workload": "http", "contender": name, "duration": args.duration}))
        results = {name: {key: statistics.median(s[key] for s in runs) for key in runs[0]}
                   for name, runs in samples.items()}
        table("HTTP/1.1 keep-alive under wrk -t1 -c64 (fixed 14-byte response)", [("http", results)], names)
        if any(result["errors"] for result in results.values()):
            print("note: wrk reported socket errors or non-2xx answers in some runs")


if __name__ == "__main__":
    main()
