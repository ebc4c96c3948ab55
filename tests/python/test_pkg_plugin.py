"""The pytest plugin: timeouts of quorlin tests and async fixtures, each in a pytest session of its
own (a subprocess bounded by a timeout)."""

import re
import subprocess
import sys
import textwrap

import pytest

needs_native_run = pytest.mark.skipif("bool(__import__('test_pkg_sessions').missing_native_parts())",
                                      reason="the native run loop or blocking pool is not built yet")

pytestmark = needs_native_run


def run_pytest(tmp_path, source, *args, timeout=120):
    (tmp_path / "test_sample.py").write_text(textwrap.dedent(source))
    completed = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "quorlin.testing", "--quorlin-threads=2", "-p", "no:cacheprovider",
         "-rA", *args, "test_sample.py"],
        capture_output=True, text=True, timeout=timeout, cwd=tmp_path,
    )
    return completed, completed.stdout + completed.stderr


def summary(output):
    """The outcome counts of pytest's last line, as {"passed": 2, "failed": 1, ...}."""
    last = output.strip().splitlines()[-1]
    counts = {word: int(count) for count, word in re.findall(r"(\d+) (\w+)", last)}
    return {word: count for word, count in counts.items() if not word.startswith("warning")}


HANGING = """
import pathlib, pytest, quorlin

@pytest.fixture
async def resource():
    yield "resource"
    # Teardown after the cancellation: it still runs, in the same run.
    await quorlin.sleep(0)
    pathlib.Path("teardown-ran").write_text("yes")

async def helper():
    await quorlin.sleep_forever()

@pytest.mark.quorlin
MARK
async def test_hangs(resource):
    async with quorlin.TaskGroup() as tg:
        tg.start_soon(helper)
        await quorlin.sleep(30)

@pytest.mark.quorlin
async def test_after_the_timeout():
    await quorlin.sleep(0)
    assert pathlib.Path("teardown-ran").read_text() == "yes"
"""


@pytest.mark.parametrize("mark, args", [
    ("", ["--timeout=1"]),
    ("", ["-o", "timeout=1", "-o", "timeout_method=signal"]),
    ("", ["--timeout=1", "-o", "timeout_method=thread"]),
    ("", ["--timeout=1", "-o", "timeout_func_only=true"]),
    ("@pytest.mark.timeout(1)", []),
    ("@pytest.mark.timeout(1)", ["-p", "no:timeout"]),  # without pytest-timeout: the marker alone
], ids=["option", "ini-signal", "thread-method", "func-only", "marker", "marker-alone"])
def test_a_hung_test_is_cancelled_and_failed_with_the_task_dump(tmp_path, mark, args):
    completed, output = run_pytest(tmp_path, HANGING.replace("MARK", mark), *args)
    assert summary(output) == {"failed": 1, "passed": 1}, output
    failure = output[output.index("_ test_hangs _"):]
    assert "Timeout: the test ran longer than 1 s and was cancelled" in failure, output
    # The dump shows where the test and its child were parked at the deadline.
    dump = failure[failure.index("Tasks at the deadline"):]
    assert re.search(r"test_hangs \[parked\]", dump) and "helper [parked]" in dump, output
    assert "at test_hangs (" in dump and "at helper (" in dump, output


def test_a_test_that_never_checkpoints_ends_the_process_with_the_dump(tmp_path):
    completed, output = run_pytest(tmp_path, """
        import time, pytest, quorlin

        @pytest.mark.quorlin
        async def test_hogs_its_worker():
            time.sleep(300)
    """, "--timeout=1", timeout=90)
    assert completed.returncode != 0, output
    report = output[output.index("+++ Timeout +++"):]
    assert "test_hogs_its_worker [running]" in report, output
    # Every thread's stack follows: the worker's shows the test's line that holds it.
    assert re.search(r'File ".*test_sample.py", line \d+ in test_hogs_its_worker', report), output


ASYNC_FIXTURES = """
import pytest, quorlin

log = []

@pytest.fixture
def plain():
    return "plain"

@pytest.fixture
async def echo():
    # A server task that lives from the fixture's setup to its teardown, in the test's run.
    send, receive = quorlin.open_memory_channel(1)
    replies_send, replies = quorlin.open_memory_channel(1)
    async def serve():
        async for item in receive:
            await replies_send.send(item * 2)
    async with quorlin.TaskGroup() as tg:
        tg.start_soon(serve)
        log.append(("echo-setup", id(quorlin.lowlevel.current_root_task())))
        yield send, replies
        log.append(("echo-teardown", id(quorlin.lowlevel.current_root_task())))
        tg.cancel_scope.cancel()

@pytest.fixture
async def doubled(echo, plain):
    send, replies = echo
    await send.send(21)
    log.append(("doubled-setup", plain))
    return await replies.receive()

@pytest.fixture
async def last():
    yield
    log.append(("last-teardown", None))

@pytest.mark.quorlin
async def test_uses_async_fixtures(doubled, echo, last):
    assert doubled == 42
    send, replies = echo
    await send.send(5)
    assert await replies.receive() == 10
    log.append(("test", id(quorlin.lowlevel.current_root_task())))

def test_setup_and_teardown_ran_in_the_test_run():
    names = [name for name, _ in log]
    assert names == ["echo-setup", "doubled-setup", "test", "last-teardown", "echo-teardown"], log
    runs = {value for name, value in log if name in ("echo-setup", "test", "echo-teardown")}
    assert len(runs) == 1, log
"""


def test_async_fixtures_are_set_up_and_torn_down_in_the_test_run(tmp_path):
    completed, output = run_pytest(tmp_path, ASYNC_FIXTURES)
    assert summary(output) == {"passed": 2}, output


@pytest.mark.parametrize("source, mode, message", [
    ("""
        @pytest.fixture(scope="module")
        async def shared():
            return 1

        @pytest.mark.quorlin
        async def test_it(shared):
            pass
     """, "strict", "has scope 'module'"),
    ("""
        @pytest.fixture
        async def inner():
            return 1

        @pytest.fixture
        def outer(inner):
            return inner

        @pytest.mark.quorlin
        async def test_it(outer):
            pass
     """, "strict", "synchronous fixture 'outer' requests the async fixture 'inner'"),
    ("""
        @pytest.fixture
        async def value():
            return 1

        def test_it(value):
            pass
     """, "auto", "'test_it' requests the async fixture 'value', but it is not an async test"),
    ("""
        @pytest.fixture
        async def empty():
            if False:
                yield
     
        @pytest.mark.quorlin
        async def test_it(empty):
            pass
     """, "strict", "ended without yielding a value"),
    ("""
        @pytest.fixture
        async def twice():
            yield 1
            yield 2

        @pytest.mark.quorlin
        async def test_it(twice):
            pass
     """, "strict", "'twice' yielded more than once"),
    ("""
        @pytest.fixture
        async def broken():
            yield 1
            raise ValueError("teardown broke")

        @pytest.mark.quorlin
        async def test_it(broken):
            pass
     """, "strict", "ValueError: teardown broke"),
], ids=["module-scope", "sync-fixture-on-async", "sync-test-auto-mode", "no-yield", "yields-twice",
        "teardown-fails"])
def test_async_fixture_misuse_gets_a_clear_error(tmp_path, source, mode, message):
    completed, output = run_pytest(tmp_path, "import pytest, quorlin\n" + textwrap.dedent(source),
                                   f"--quorlin-mode={mode}")
    assert completed.returncode == 1, output
    assert message in output, output
    if "teardown" in message:
        # A teardown failure is the test's teardown error; the test itself passed.
        assert summary(output) == {"passed": 1, "error": 1}, output
