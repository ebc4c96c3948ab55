"""pytest plugin: runs ``async def`` tests on quorlin.

Enable it with ``pytest -p quorlin.testing`` (it is also registered as the ``quorlin`` entry
point).  Tests marked ``@pytest.mark.quorlin`` run as the root task of a `quorlin.run`; with
``--quorlin-mode=auto`` (or the ini option ``quorlin_mode = auto``) every ``async def`` test does.

The runtime is configured once per process, so a session runs in one mode:
``--quorlin-threads=1`` gives one worker (deterministic ordering, like a classic event loop),
``--quorlin-threads=N`` gives N workers running tasks in parallel.  Run the suite once per mode to
cover both.  Fixtures are synchronous; an async test receives them as usual.
"""

from __future__ import annotations

import functools
import inspect
import os
import sys
import pytest

import quorlin


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


def _mode(config: pytest.Config) -> str:
    return config.getoption("quorlin_mode") or config.getini("quorlin_mode") or "strict"


def threads_for(config: pytest.Config) -> int:
    """The worker count the session's runs use."""
    threads = config.getoption("quorlin_threads")
    return threads if threads is not None else (os.process_cpu_count() or 1)


def _wants_quorlin(item: pytest.Function) -> bool:
    if not inspect.iscoroutinefunction(item.obj):
        return False
    return item.get_closest_marker("quorlin") is not None or _mode(item.config) == "auto"


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem: pytest.Function) -> bool | None:
    if not _wants_quorlin(pyfuncitem):
        return None
    arguments = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    quorlin.run(functools.partial(pyfuncitem.obj, **arguments), threads=threads_for(pyfuncitem.config))
    return True


def pytest_report_header(config: pytest.Config) -> str:
    return f"quorlin {quorlin.__version__}: threads={threads_for(config)} mode={_mode(config)}"
