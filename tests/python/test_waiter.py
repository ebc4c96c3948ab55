"""The Waiter object and the await protocol: driven by hand, then registered by a runtime."""

import sys
import threading
import types

import pytest

from conftest import WAIT, LoopThread, run_python
from quorlin._quorlin import CancelledError, Event, Runtime, Waiter


def test_constructor_accepts_events_and_subclasses():
    class MyEvent(Event):
        pass

    Waiter()
    Waiter(Event())
    Waiter(Event(), MyEvent(), Event())


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((1,), "'int' object is not an instance of 'Event'"),
        ((Event(), "e"), "'str' object is not an instance of 'Event'"),
        ((None,), "'None' is not an instance of 'Event'"),
        ((Waiter(),), "'Waiter' object is not an instance of 'Event'"),
    ],
)
def test_constructor_refuses_non_events(args, message):
    with pytest.raises(TypeError) as caught:
        Waiter(*args)
    assert str(caught.value) == message
    assert caught.value.__notes__ == ["while processing 'events'"]


def test_constructor_refuses_keywords():
    with pytest.raises(TypeError):
        Waiter(events=Event())


def test_text_signatures():
    assert Waiter.__text_signature__ == "(*events)"
    assert Waiter.checkpoint.__text_signature__ == "()"
    assert Waiter.abort.__text_signature__ == "($self)"
    assert Waiter.send.__text_signature__ == "($self, value)"
    assert Waiter.throw.__text_signature__ == "($self, value)"


def test_checkpoint_is_a_static_method_taking_nothing():
    assert isinstance(Waiter.checkpoint(), Waiter)
    assert isinstance(Waiter().checkpoint(), Waiter)
    with pytest.raises(TypeError):
        Waiter.checkpoint(1)


@pytest.mark.parametrize("value", [5, None, "text", (1,), (), [1, 2], ValueError("v")])
def test_send_raises_stop_iteration_with_the_value(value):
    waiter = Waiter()
    with pytest.raises(StopIteration) as caught:
        waiter.send(value)
    assert caught.value.value is value
    with pytest.raises(StopIteration) as caught:
        waiter.send(value=value)
    assert caught.value.value is value


@pytest.mark.parametrize(
    ("value", "args"),
    [(None, ()), (5, (5,)), ((1,), ((1,),)), ((), ((),))],
    ids=["none", "int", "tuple", "empty-tuple"],
)
def test_send_builds_the_stop_iteration_arguments(value, args):
    # None makes an exception without arguments, as raising StopIteration with the value None
    # does; a tuple arrives whole as the one argument instead of being spread into several.
    with pytest.raises(StopIteration) as caught:
        Waiter().send(value)
    assert caught.value.args == args


def test_throw_raises_an_instance_unchanged():
    error = ValueError("x")
    with pytest.raises(ValueError) as caught:
        Waiter().throw(error)
    assert caught.value is error


def test_throw_instantiates_a_class_without_arguments():
    with pytest.raises(ValueError) as caught:
        Waiter().throw(value=ValueError)
    assert caught.value.args == ()


@pytest.mark.parametrize("value", [3, "ValueError", int, None])
def test_throw_refuses_what_is_not_an_exception(value):
    with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
        Waiter().throw(value)


def test_await_gives_the_waiter_and_next_yields_it_until_registered():
    waiter = Event().waiter(None)
    assert waiter.__await__() is waiter
    assert next(waiter) is waiter
    assert waiter.__next__() is waiter


def test_awaitable_but_not_iterable():
    waiter = Waiter()
    assert not hasattr(waiter, "__iter__")
    with pytest.raises(TypeError):
        iter(waiter)
    with pytest.raises(TypeError):
        for _ in waiter:
            pass


def test_instances_have_no_attributes_of_their_own():
    with pytest.raises(AttributeError):
        Waiter().x = 1


def _suspended_at(waiter):
    async def body():
        return await waiter

    coroutine = body()
    assert coroutine.send(None) is waiter
    return coroutine


def test_an_await_yields_the_waiter_itself():
    waiter = Waiter(Event())
    coroutine = _suspended_at(waiter)
    # Not registered: resuming with None asks the Waiter again, which yields itself again.
    assert coroutine.send(None) is waiter
    coroutine.close()


@pytest.mark.parametrize("value", [[None, None], (1, 2), 0])
def test_resuming_with_a_value_makes_the_await_evaluate_to_it(value):
    coroutine = _suspended_at(Waiter(Event(), Event()))
    with pytest.raises(StopIteration) as caught:
        coroutine.send(value)
    assert caught.value.value is value


def test_throwing_into_the_coroutine_surfaces_at_the_await():
    coroutine = _suspended_at(Waiter.checkpoint())
    error = KeyError("k")
    with pytest.raises(KeyError) as caught:
        coroutine.throw(error)
    assert caught.value is error


def test_a_generator_based_coroutine_yields_it_too():
    waiter = Waiter()

    @types.coroutine
    def body():
        value = yield waiter
        return value

    async def outer():
        return await body()

    coroutine = outer()
    assert coroutine.send(None) is waiter
    with pytest.raises(StopIteration) as caught:
        coroutine.send(11)
    assert caught.value.value == 11


def test_abort_without_a_registration_needs_no_runtime():
    # Neither Waiter has served as a control handle, so abort only sets its flag.
    assert Waiter.checkpoint().abort() is None
    waiter = Event().waiter(10)
    assert waiter.abort() is None
    assert waiter.abort() is None


@pytest.mark.parametrize(
    ("timeout", "error", "message"),
    [
        (-1, OverflowError, None),
        (4294967296, OverflowError, "out of range integral type conversion attempted"),
        (2**64, OverflowError, None),
        (1.5, TypeError, None),
        ("1", TypeError, None),
    ],
)
def test_event_waiter_timeout_conversion(timeout, error, message):
    with pytest.raises(error) as caught:
        Event().waiter(timeout)
    if message is not None:
        assert str(caught.value) == message
    assert caught.value.__notes__ == ["while processing 'timeout'"]


@pytest.mark.parametrize("timeout", [None, 0, 1, 4294967295, True])
def test_event_waiter_accepts_timeouts(timeout):
    assert isinstance(Event().waiter(timeout), Waiter)
    assert isinstance(Event().waiter(timeout=timeout), Waiter)


@types.coroutine
def yield_object(value):
    yield value


class OddRepr:
    def __repr__(self):
        return "odd \udc80 repr"


class BrokenRepr:
    def __repr__(self):
        raise LookupError("no repr")


REFUSAL_TAIL = (
    " on the quorlin runtime: coroutines may only yield quorlin `Waiter` objects "
    "(a stock `asyncio.Future` yields itself and is not drivable here)"
)


@pytest.mark.parametrize(
    ("yielded", "shown", "reported"),
    [
        (42, "42", False),
        # A lone surrogate cannot be encoded as UTF-8, but it is still the text repr gave.
        (OddRepr(), "odd \udc80 repr", False),
        (BrokenRepr(), "<unprintable BrokenRepr object>", True),
    ],
    ids=["int", "lone-surrogate", "raising-repr"],
)
def test_refusing_a_yield_quotes_its_repr(running_runtime, monkeypatch, yielded, shown, reported):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    done, box = threading.Event(), {}

    async def body():
        try:
            await yield_object(yielded)
        except TypeError as error:
            box["message"] = str(error)
        done.set()

    running_runtime.runtime._spawn_coro(body())
    assert done.wait(WAIT)
    assert box["message"] == "cannot await " + shown + REFUSAL_TAIL
    assert [hook.object for hook in unraisable] == ([yielded] if reported else [])


def test_abort_throws_through_the_runtime_the_task_runs_on(registered_runtime):
    # The registered runtime is not running here; the task belongs to another one.
    other = Runtime(1, 1, 1, False, b"")
    loop = LoopThread(other).start()
    control, parked, done, box = Waiter.checkpoint(), threading.Event(), threading.Event(), {}

    async def body():
        await control
        parked.set()
        try:
            await Event().waiter(None)
        except CancelledError as error:
            box["error"] = str(error)
        done.set()

    try:
        other._spawn_coro(body())
        assert parked.wait(WAIT)
        assert control.abort() is None
        assert done.wait(WAIT), "the aborted task was not resumed"
        assert box == {"error": "Execution aborted"}
    finally:
        assert loop.stop() is None


def test_a_second_abort_is_a_no_op_without_a_registered_runtime():
    completed = run_python(
        """
        import socket, threading
        from quorlin._quorlin import CancelledError, Runtime, Waiter

        runtime = Runtime(1, 1, 1, False, b"")
        runtime._ssock_r, runtime._ssock_w = socket.socketpair()
        runtime._ssock_r.setblocking(False)
        thread = threading.Thread(target=runtime._run, daemon=True)
        control, done, seen = Waiter.checkpoint(), threading.Event(), []
        control.abort()  # not awaited yet: only the flag is set

        async def body():
            try:
                await control
            except CancelledError as error:
                seen.append(str(error))
            done.set()

        runtime._spawn_coro(body())
        thread.start()
        assert done.wait(10)
        # Aborted already, and now the handle of a registration: twice has the effect of once.
        print(seen, control.abort(), control.abort())
        runtime._stopping = True
        thread.join(10)
        assert not thread.is_alive()
        runtime._ssock_r.detach()
        runtime._ssock_w.detach()
        """,
        timeout=WAIT * 3,
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.strip() == "['Execution aborted'] None None"
