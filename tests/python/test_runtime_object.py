"""The Runtime constructor, its conversions and its attributes."""

import re
import socket
import weakref

import pytest

from quorlin._quorlin import Runtime

OUT_OF_RANGE = "out of range integral type conversion attempted"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def build(threads=2, threads_blocking=4, timeout=30, context=False, signals=()):
    return Runtime(threads, threads_blocking, timeout, context, signals)


def test_defaults_of_a_fresh_runtime():
    runtime = build(signals=[])
    assert runtime._sigset == []
    assert (runtime._context, runtime._closed, runtime._stopping, runtime._sig_listening) == (
        False,
        False,
        False,
        False,
    )
    assert runtime._sig_wfd is None and runtime._ssock_r is None and runtime._ssock_w is None


def test_arguments_by_keyword_and_index():
    runtime = Runtime(
        signals=b"\x02", context=True, threads_blocking_timeout=Index(5), threads_blocking=0, threads=Index(0)
    )
    assert runtime._context is True
    assert runtime._sigset == [2]


@pytest.mark.parametrize("signals", [b"\x02\x0f", bytearray(b"\x02\x0f"), [2, 15, 15], (15, 2, 2), range(2, 16, 13)])
def test_equal_signal_sets(signals):
    assert sorted(build(signals=signals)._sigset) == [2, 15]


@pytest.mark.parametrize(
    ("kwargs", "error", "message", "note"),
    [
        ({"threads": -1}, OverflowError, "can't convert negative int to unsigned", "threads"),
        ({"threads": 1.5}, TypeError, "'float' object cannot be interpreted as an integer", "threads"),
        ({"threads_blocking": 2**64}, OverflowError, "int too big to convert", "threads_blocking"),
        ({"timeout": "3"}, TypeError, "'str' object cannot be interpreted as an integer", "threads_blocking_timeout"),
        ({"context": 1}, TypeError, "'int' object is not an instance of 'bool'", "context"),
        ({"context": None}, TypeError, "'NoneType' object is not an instance of 'bool'", "context"),
        ({"signals": "ab"}, TypeError, "Can't extract `str` to `Vec`", "signals"),
        ({"signals": [256]}, OverflowError, OUT_OF_RANGE, "signals"),
        ({"signals": [-1]}, OverflowError, OUT_OF_RANGE, "signals"),
        ({"signals": ["2"]}, TypeError, "'str' object cannot be interpreted as an integer", "signals"),
        ({"signals": 5}, TypeError, "'int' object cannot be converted to 'Sequence'", "signals"),
        ({"signals": {2, 3}}, TypeError, "'set' object cannot be converted to 'Sequence'", "signals"),
    ],
)
def test_conversion_errors(kwargs, error, message, note):
    with pytest.raises(error, match=re.escape(message)) as raised:
        build(**kwargs)
    assert raised.value.__notes__ == [f"while processing '{note}'"]


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: Runtime(1, 2, 3, False), "Runtime() missing 1 required positional argument: 'signals'"),
        (
            lambda: Runtime(1, 2),
            "Runtime() missing 3 required positional arguments: "
            "'threads_blocking_timeout', 'context', and 'signals'",
        ),
        (lambda: Runtime(1, 2, 3, False, b"", 6), "Runtime() takes 5 positional arguments but 6 were given"),
        (
            lambda: Runtime(1, 2, 3, False, b"", threads=1),
            "Runtime() got multiple values for argument 'threads'",
        ),
        (lambda: Runtime(1, 2, 3, False, b"", extra=1), "Runtime() got an unexpected keyword argument 'extra'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


def test_clock_is_small_and_monotonic():
    runtime = build()
    first = runtime._clock
    assert 0 <= first < 5_000_000
    readings = [runtime._clock for _ in range(1000)]
    assert readings == sorted(readings) and readings[0] >= first


@pytest.mark.parametrize("name", ["_closed", "_stopping", "_sig_listening"])
def test_boolean_attributes(name):
    runtime = build()
    setattr(runtime, name, True)
    assert getattr(runtime, name) is True
    with pytest.raises(TypeError, match="'int' object is not an instance of 'bool'") as raised:
        setattr(runtime, name, 0)
    assert raised.value.__notes__ == ["while processing 'val'"]
    assert getattr(runtime, name) is True
    with pytest.raises(AttributeError, match="property has no deleter"):
        delattr(runtime, name)
    setattr(runtime, name, False)
    assert getattr(runtime, name) is False


@pytest.mark.parametrize("name", ["_clock", "_context", "_sigset"])
def test_read_only_attributes(name):
    runtime = build()
    with pytest.raises(AttributeError):
        setattr(runtime, name, 1)
    with pytest.raises(AttributeError):
        delattr(runtime, name)


@pytest.mark.parametrize("name", ["_sig_wfd", "_ssock_r", "_ssock_w"])
def test_object_cells_keep_and_release_their_objects(name):
    class Token:
        pass

    runtime = build()
    token = Token()
    watcher = weakref.ref(token)
    setattr(runtime, name, token)
    assert getattr(runtime, name) is token
    del token
    assert watcher() is not None
    a, b = socket.socketpair()
    setattr(runtime, name, a)
    assert watcher() is None and getattr(runtime, name) is a
    with pytest.raises(AttributeError, match="property has no deleter"):
        delattr(runtime, name)
    a.close()
    b.close()


def test_setting_stopping_on_an_idle_runtime_only_stores_it():
    runtime = build()
    runtime._stopping = True
    runtime._stopping = True
    assert runtime._stopping is True


def test_unregistered_runtime_is_freed():
    class Weakly(Runtime):
        pass

    runtime = Weakly(2, 2, 2, False, b"\x02")
    watcher = weakref.ref(runtime)
    del runtime
    assert watcher() is None


def test_subclass_with_its_own_state():
    class Loop(Runtime):
        def __init__(self, *args):
            self.extra = "kept"

    loop = Loop(1, 1, 1, True, b"")
    assert loop.extra == "kept" and loop._context is True
