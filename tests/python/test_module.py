import sys

import pytest

from quorlin import _quorlin


def test_import_keeps_the_gil_disabled():
    assert sys._is_gil_enabled() is False


def test_version_and_profile():
    assert _quorlin.__version__ == "0.1.1a1"
    assert _quorlin.__build_profile__ == "release"


def test_attributes_in_documented_order():
    names = [name for name in vars(_quorlin) if not name.startswith("__")]
    assert names == [
        "get_runtime",
        "set_runtime",
        "BlockingTaskCtl",
        "CancelledError",
        "RuntimeAlreadyInitializedError",
        "RuntimeNotInitializedError",
        "Event",
        "Waiter",
        "Result",
        "ScheduledIO",
        "Runtime",
    ]


@pytest.mark.parametrize(
    ("name", "base"),
    [
        ("CancelledError", BaseException),
        ("RuntimeAlreadyInitializedError", RuntimeError),
        ("RuntimeNotInitializedError", RuntimeError),
    ],
)
def test_exception_classes(name, base):
    cls = getattr(_quorlin, name)
    assert cls.__bases__ == (base,)
    assert cls.__module__ == "_quorlin"
    assert cls.__doc__ == name


def test_cancelled_error_is_not_an_exception():
    assert not issubclass(_quorlin.CancelledError, Exception)
    import asyncio

    assert _quorlin.CancelledError is not asyncio.CancelledError


@pytest.mark.parametrize(
    ("cls", "doc", "subclassable"),
    [
        ("Event", "Event()\n--\n\n", True),
        ("Waiter", "Waiter(*events)\n--\n\n", False),
        ("Result", "Result(size=1)\n--\n\n", False),
        ("ScheduledIO", "ScheduledIO(fd)\n--\n\n", True),
        (
            "Runtime",
            "Runtime(threads, threads_blocking, threads_blocking_timeout, context, signals)\n--\n\n",
            True,
        ),
    ],
)
def test_classes(cls, doc, subclassable):
    type_ = getattr(_quorlin, cls)
    assert type_.__module__ == "quorlin._quorlin"
    assert type_.__qualname__ == cls
    assert type_.__text_signature__ is not None or doc.startswith(cls)
    if subclassable:
        type("Sub", (type_,), {})
    else:
        with pytest.raises(TypeError):
            type("Sub", (type_,), {})
