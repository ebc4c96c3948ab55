"""The process-wide runtime registry; every test runs in a pristine interpreter."""

import pytest

from conftest import run_python

PRELUDE = """
import gc, sys, weakref
from quorlin import _quorlin as q
def make():
    return q.Runtime(1, 1, 1, False, b"")
"""


def check(code, **kwargs):
    completed = run_python(PRELUDE + code, **kwargs)
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


def test_get_before_set_raises_without_arguments():
    out = check(
        """
try:
    q.get_runtime()
except q.RuntimeNotInitializedError as error:
    print(repr(error.args), repr(str(error)))
"""
    )
    assert out.strip() == "() ''"


def test_set_then_get_returns_the_same_object_forever():
    out = check(
        """
class Sub(q.Runtime):
    pass
runtime = Sub(1, 1, 1, False, b"")
ident = id(runtime)
assert q.set_runtime(runtime) is None
del runtime
gc.collect()
again = q.get_runtime()
print(type(again).__name__, id(again) == ident)
"""
    )
    assert out.split() == ["Sub", "True"]


def test_refused_argument_leaves_the_registry_empty():
    out = check(
        """
try:
    q.set_runtime(object())
except TypeError as error:
    print(error, error.__notes__)
try:
    q.set_runtime(None)
except TypeError as error:
    print(error)
q.set_runtime(make())
print("registered")
"""
    )
    assert out.splitlines() == [
        "'object' object is not an instance of 'Runtime' [\"while processing 'runtime'\"]",
        "'None' is not an instance of 'Runtime'",
        "registered",
    ]


def test_second_registration_is_refused_and_the_first_stays():
    out = check(
        """
first = make()
q.set_runtime(first)
for candidate in (first, make()):
    try:
        q.set_runtime(candidate)
    except q.RuntimeAlreadyInitializedError as error:
        print("refused", error.args)
print(q.get_runtime() is first)
"""
    )
    assert out.splitlines() == ["refused ()", "refused ()", "True"]


def test_registered_runtime_is_immortal():
    out = check(
        """
runtime = make()
q.set_runtime(runtime)
for _ in range(1000):
    alias = runtime
    del alias
print(sys._is_immortal(runtime))
"""
    )
    assert out.strip() == "True"


def test_concurrent_registrations_pick_exactly_one():
    out = check(
        """
import threading
runtimes = [make() for _ in range(8)]
barrier = threading.Barrier(8)
outcomes = []
def register(runtime):
    barrier.wait(timeout=10)
    try:
        q.set_runtime(runtime)
        outcomes.append("ok")
    except q.RuntimeAlreadyInitializedError:
        outcomes.append("refused")
threads = [threading.Thread(target=register, args=(r,)) for r in runtimes]
for t in threads: t.start()
for t in threads: t.join(timeout=10)
print(sorted(outcomes).count("ok"), q.get_runtime() in runtimes)
"""
    )
    assert out.split() == ["1", "True"]


@pytest.mark.parametrize("call", ["q.set_runtime(make())", "q.get_runtime()"])
def test_gil_enabled_interpreter_is_refused(call):
    completed = run_python(
        PRELUDE
        + f"""
try:
    {call}
except RuntimeError as error:
    print(type(error).__name__, error)
try:
    q.get_runtime()
except q.RuntimeNotInitializedError:
    print("still empty")
""",
        args=("-X", "gil=1"),
    )
    assert completed.returncode == 0, completed.stderr
    lines = completed.stdout.splitlines()
    if call.startswith("q.set_runtime"):
        assert lines == ["RuntimeError GIL detected", "still empty"]
    else:
        assert lines == ["RuntimeNotInitializedError ", "still empty"]
