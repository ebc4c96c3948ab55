"""pytest plugin: runs ``async def`` tests on quorlin.

Enable it with ``pytest -p quorlin.testing`` (it is also registered as the ``quorlin`` entry
point).  Tests marked ``@pytest.mark.quorlin`` run as the root task of a `quorlin.run`; with
``--quorlin-mode=auto`` (or the ini option ``quorlin_mode = auto``) every ``async def`` test does.

The runtime is configured once per process, so a session runs in one mode:
``--quorlin-threads=1`` gives one worker (deterministic ordering, like a classic event loop),
``--quorlin-threads=N`` gives N workers running tasks in parallel.  Run the suite once per mode to
cover both.

Async fixtures
--------------
An ``async def`` fixture (a coroutine function, or an async generator that yields once) requested
by a quorlin test is set up in that test's run, in the root task before the test, and an async
generator's teardown runs in the same run after it, in reverse order of setup: a fixture may
start tasks, open sockets or make events that the test uses.  So they are function-scoped, and
only async fixtures and quorlin tests may request them.  A teardown that fails is reported as an
error at the test's teardown.

Timeouts
--------
The main thread is inside the run loop while a test runs, so pytest-timeout can neither raise
there (signal method) nor stop the test without ending the session (thread method).  So the
run of a quorlin test takes over what is left of pytest-timeout's timer (``--timeout``, the
``timeout`` ini option, ``@pytest.mark.timeout(seconds)``; without pytest-timeout, the marker
alone), and pytest-timeout gets the rest back for the synchronous teardown.  When the time is up
the plugin dumps the task tree, cancels the test and fails it with the dump; the session goes on.
Async fixture teardowns then get `GRACE` seconds; a run that has still not ended after twice that
(a task that never reaches a checkpoint holds its worker) ends the process with the dump and
every thread's stack, as pytest-timeout's thread method does.
"""

from __future__ import annotations

import faulthandler
import functools
import inspect
import io
import os
import sys
import threading
import time
from typing import Any

import pytest
from _pytest.fixtures import resolve_fixture_function

import quorlin
from quorlin._errors import RunFinishedError

GRACE = 5.0  # seconds a timed-out test's teardown may take, and the run after that, to end


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("quorlin")
    group.addoption(
        "--quorlin-threads",
        action="store",
        type=int,
        default=None,
        dest="quorlin_threads",
        help="worker threads of the quorlin runtime for this session (default: usable CPUs)",
    )
    group.addoption(
        "--quorlin-mode",
        action="store",
        choices=("strict", "auto"),
        default=None,
        dest="quorlin_mode",
        help="strict: run only tests marked quorlin; auto: run every async test on quorlin",
    )
    parser.addini("quorlin_mode", "strict (default) or auto", default="strict")


def pytest_plugin_registered(plugin: object, plugin_name: str, manager: pytest.PytestPluginManager) -> None:
    # Loaded by module name (`-p quorlin.testing`) before the entry point: keep the entry point
    # from registering the same module a second time under its own name.
    if plugin is sys.modules[__name__] and plugin_name != "quorlin":
        manager.set_blocked("quorlin")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "quorlin: run this async test as the root task of quorlin.run()")
    if not config.pluginmanager.has_plugin("timeout"):
        config.addinivalue_line("markers", "timeout(seconds): fail a quorlin test that runs longer")


def _mode(config: pytest.Config) -> str:
    return config.getoption("quorlin_mode") or config.getini("quorlin_mode") or "strict"


def threads_for(config: pytest.Config) -> int:
    """The worker count the session's runs use."""
    threads = config.getoption("quorlin_threads")
    return threads if threads is not None else (os.process_cpu_count() or 1)


def _wants_quorlin(item: pytest.Item) -> bool:
    if not isinstance(item, pytest.Function) or not inspect.iscoroutinefunction(item.obj):
        return False
    return item.get_closest_marker("quorlin") is not None or _mode(item.config) == "auto"


# -- async fixtures ---------------------------------------------------------------------------


class _Current:
    """The test item whose protocol is running (fixtures are set up inside it)."""

    item: pytest.Item | None = None


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item: pytest.Item) -> Any:
    _Current.item = item
    try:
        yield
    finally:
        _Current.item = None


class _AsyncFixture:
    """Stands for an async fixture's value until the test's run sets the fixture up."""

    __slots__ = ("name", "func", "kwargs", "is_generator")

    def __init__(self, name: str, func: Any, kwargs: dict[str, Any], is_generator: bool) -> None:
        self.name = name
        self.func = func
        self.kwargs = kwargs
        self.is_generator = is_generator

    def __repr__(self) -> str:
        return f"<async fixture {self.name!r}, set up only in the run of a quorlin test>"


def _is_async(func: Any) -> bool:
    return inspect.iscoroutinefunction(func) or inspect.isasyncgenfunction(func)


@pytest.hookimpl(tryfirst=True)
def pytest_fixture_setup(fixturedef: pytest.FixtureDef[Any], request: pytest.FixtureRequest) -> Any:
    item = _Current.item
    name = fixturedef.argname
    if not _is_async(fixturedef.func):
        # A synchronous fixture cannot use a value that exists only inside the test's run.
        for argname in fixturedef.argnames:
            value = request.getfixturevalue(argname)
            if isinstance(value, _AsyncFixture):
                pytest.fail(f"the synchronous fixture {name!r} requests the async fixture {argname!r}, which is"
                            f" set up only inside the test's run; make {name!r} async as well", pytrace=False)
        return None
    if item is None or not _wants_quorlin(item):
        if item is not None and _mode(item.config) == "auto":
            pytest.fail(f"{item.name!r} requests the async fixture {name!r}, but it is not an async test: async"
                        " fixtures are set up in the run of a quorlin test", pytrace=False)
        return None  # pytest, or another plugin, decides
    if fixturedef.scope != "function":
        pytest.fail(f"the async fixture {name!r} has scope {fixturedef.scope!r}: an async fixture lives in the"
                    " run of the one test that uses it, so it must be function-scoped", pytrace=False)
    kwargs = {argname: request.getfixturevalue(argname) for argname in fixturedef.argnames}
    func = resolve_fixture_function(fixturedef, request)  # type: ignore[arg-type]
    value = _AsyncFixture(name, func, kwargs, inspect.isasyncgenfunction(fixturedef.func))
    fixturedef.cached_result = (value, fixturedef.cache_key(request), None)  # type: ignore[arg-type]
    return value


# -- one test's run ---------------------------------------------------------------------------


class _TestRun:
    """The root task of one quorlin test: its async fixtures, the test, their teardowns.

    The fixtures are set up and torn down inside `outer`, in the root task, the test inside
    `inner`: a fixture's own cancel scopes (a task group it keeps open across its yield) nest
    between the two and are left in reverse order of setup.  The watchdog calls `expire` from its
    own thread: during the test it cancels `inner` and leaves the teardowns `GRACE` seconds;
    during setup or teardown it cancels `outer`.  `lock` orders it with the phase changes.
    """

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.outer = quorlin.CancelScope()
        self.inner: quorlin.CancelScope | None = None
        self.expired = False
        self.ended = threading.Event()
        self.values: dict[int, Any] = {}
        self.live: list[tuple[_AsyncFixture, Any]] = []
        self.teardown_errors: list[BaseException] = []

    def expire(self) -> None:
        with self.lock:
            self.expired = True
            inner = self.inner
            if inner is not None:
                inner.cancel()
                self.outer.deadline = quorlin.current_time() + GRACE
            else:
                self.outer.cancel()

    def _enter_test(self) -> quorlin.CancelScope:
        with self.lock:
            self.inner = quorlin.CancelScope()
            if self.expired:
                self.inner.cancel()
            return self.inner

    def _leave_test(self) -> None:
        with self.lock:
            self.inner = None

    async def main(self, test: Any, arguments: dict[str, Any]) -> None:
        with self.outer:
            try:
                values = {name: await self._value(value) for name, value in arguments.items()}
                try:
                    with self._enter_test():
                        await test(**values)
                finally:
                    self._leave_test()
            finally:
                await self._tear_down()

    async def _value(self, value: Any) -> Any:
        if not isinstance(value, _AsyncFixture):
            return value
        if id(value) in self.values:
            return self.values[id(value)]
        kwargs = {name: await self._value(argument) for name, argument in value.kwargs.items()}
        if value.is_generator:
            generator = value.func(**kwargs)
            try:
                result = await generator.__anext__()
            except StopAsyncIteration:
                pytest.fail(f"the async fixture {value.name!r} ended without yielding a value", pytrace=False)
            self.live.append((value, generator))
        else:
            result = await value.func(**kwargs)
        self.values[id(value)] = result
        return result

    async def _tear_down(self) -> None:
        while self.live:
            fixture, generator = self.live.pop()
            try:
                await generator.__anext__()
            except StopAsyncIteration:
                continue
            except quorlin.Cancelled:
                self.teardown_errors.append(pytest.fail.Exception(
                    f"the teardown of the async fixture {fixture.name!r} was cut short: the test ran out of time",
                    pytrace=False))
                continue
            except BaseException as error:  # noqa: BLE001 - reported at the test's teardown
                self.teardown_errors.append(error)
                continue
            await generator.aclose()
            self.teardown_errors.append(pytest.fail.Exception(
                f"the async fixture {fixture.name!r} yielded more than once", pytrace=False))


# -- timeouts ---------------------------------------------------------------------------------


def _task_dump() -> str:
    try:
        return quorlin.lowlevel.dump_tasks(io.StringIO())
    except RunFinishedError:
        return "(the run had ended)\n"


class _Watchdog:
    """Cancels a quorlin test's run that outlives its timeout.

    A plain thread, not a task: a test whose tasks hold every worker could not be stopped by a
    task.  If the run has not ended `2 * GRACE` seconds after the cancellation, nothing in the
    process can end it, and the watchdog ends the process.
    """

    def __init__(self, item: pytest.Item, timeout: float, left: float, run: _TestRun) -> None:
        self.item = item
        self.timeout = timeout
        self.left = left
        self.run = run
        self.dump: str | None = None
        self.thread = threading.Thread(target=self._watch, name=f"quorlin timeout {item.nodeid}", daemon=True)
        self.thread.start()

    def stop(self) -> None:
        self.run.ended.set()
        self.thread.join()

    def _watch(self) -> None:
        if self.run.ended.wait(max(self.left, 0.0)):
            return
        self.dump = _task_dump()
        self.run.expire()
        if self.run.ended.wait(2 * GRACE):
            return
        capture = self.item.config.pluginmanager.getplugin("capturemanager")
        if capture is not None:
            capture.suspend_global_capture(in_=True)
        out = sys.__stderr__ or sys.stderr
        out.write(f"\n+++ Timeout +++ {self.item.nodeid} ran longer than {self.timeout:g} s and did not end"
                  f" within {2 * GRACE:g} s of being cancelled (a task that never reaches a checkpoint holds"
                  f" its worker).\nTasks at the deadline:\n{self.dump}")
        out.flush()
        faulthandler.dump_traceback(file=out, all_threads=True)
        out.flush()
        os._exit(1)


class _TimeoutArmed:
    """pytest-timeout's timer for an item: when it was armed and with which settings."""

    __slots__ = ("started", "settings")

    def __init__(self, settings: Any) -> None:
        self.started = time.monotonic()
        self.settings = settings


_ARMED = pytest.StashKey[_TimeoutArmed]()
_REARMING = threading.local()


@pytest.hookimpl(optionalhook=True, tryfirst=True)
def pytest_timeout_set_timer(item: pytest.Item, settings: Any) -> None:
    # pytest-timeout arms its timer (for the whole protocol, or the call alone): note when, so
    # that the run of a quorlin test can take over what is left of it.
    if _wants_quorlin(item) and not getattr(_REARMING, "active", False):
        item.stash[_ARMED] = _TimeoutArmed(settings)


def _take_timeout(item: pytest.Function) -> tuple[float | None, float | None, Any]:
    """The test's timeout, the seconds of it left to the run, and a function that hands the
    rest back afterwards.

    pytest-timeout's own timer is paused during the run, since neither of its methods can stop
    a run well (a signal handler cannot raise where the main thread is, a thread ends the
    process), and armed again for what is left once the run is over.
    """
    armed = item.stash.get(_ARMED, None)
    if armed is None:
        if item.config.pluginmanager.has_plugin("timeout"):
            return None, None, lambda: None  # pytest-timeout found no timeout for this test
        timeout = _marker_timeout(item)
        return timeout, timeout, lambda: None
    deadline = armed.started + armed.settings.timeout
    hook = item.config.hook
    hook.pytest_timeout_cancel_timer(item=item)

    def resume() -> None:
        left = deadline - time.monotonic()
        if left > 0:
            _REARMING.active = True
            try:
                hook.pytest_timeout_set_timer(item=item, settings=armed.settings._replace(timeout=left))
            finally:
                _REARMING.active = False

    return armed.settings.timeout, deadline - time.monotonic(), resume


def _marker_timeout(item: pytest.Item) -> float | None:
    """Without pytest-timeout: the timeout of ``@pytest.mark.timeout(seconds)``, if any."""
    marker = item.get_closest_marker("timeout")
    if marker is None:
        return None
    seconds = marker.kwargs.get("timeout", marker.args[0] if marker.args else None)
    if seconds is None:
        return None
    try:
        value = float(seconds)
    except (TypeError, ValueError):
        pytest.fail(f"the timeout marker needs a number of seconds, got {seconds!r}", pytrace=False)
    return value if value > 0 else None


# -- running a test ---------------------------------------------------------------------------


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem: pytest.Function) -> bool | None:
    if not _wants_quorlin(pyfuncitem):
        return None
    arguments = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    test_run = _TestRun()
    timeout, left, resume = _take_timeout(pyfuncitem)
    watchdog = None if timeout is None or left is None else _Watchdog(pyfuncitem, timeout, left, test_run)
    root = test_run.main(pyfuncitem.obj, arguments)
    root.__qualname__ = pyfuncitem.name  # the root task, as task dumps name it
    try:
        quorlin.run(root, threads=threads_for(pyfuncitem.config))
    except BaseException as error:
        if watchdog is None or not test_run.expired:
            raise
        _fail_timed_out(watchdog, error)
    finally:
        test_run.ended.set()
        if watchdog is not None:
            watchdog.stop()
        resume()
        if test_run.teardown_errors:
            pyfuncitem.addfinalizer(functools.partial(_raise_teardown_errors, test_run.teardown_errors))
    if watchdog is not None and test_run.expired:
        _fail_timed_out(watchdog, None)
    return True


def _fail_timed_out(watchdog: _Watchdog, error: BaseException | None) -> None:
    message = (f"Timeout: the test ran longer than {watchdog.timeout:g} s and was cancelled.\n"
               f"Tasks at the deadline:\n{watchdog.dump or ''}")
    raise pytest.fail.Exception(message, pytrace=False) from error


def _raise_teardown_errors(errors: list[BaseException]) -> None:
    if len(errors) == 1:
        raise errors[0]
    raise BaseExceptionGroup("async fixture teardowns failed", errors)


def pytest_report_header(config: pytest.Config) -> str:
    return f"quorlin {quorlin.__version__}: threads={threads_for(config)} mode={_mode(config)}"
