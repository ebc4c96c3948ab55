"""The Waiter object and the await protocol, driven by hand (no runtime involved)."""

import types

import pytest

from quorlin._quorlin import Event, Waiter


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
