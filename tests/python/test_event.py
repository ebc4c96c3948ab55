"""The Event object on its own; waits on events are in test_coroutines.py."""

import threading

import pytest

from quorlin._quorlin import Event, Waiter


def test_new_event_is_clear():
    assert Event().is_set() is False


def test_set_and_clear_are_idempotent_and_is_set_follows_them():
    event = Event()
    assert event.set() is None
    assert event.is_set() is True
    assert event.set() is None
    assert event.is_set() is True
    assert event.clear() is None
    assert event.is_set() is False
    assert event.clear() is None
    assert event.is_set() is False


def test_takes_no_arguments():
    with pytest.raises(TypeError):
        Event(1)
    with pytest.raises(TypeError):
        Event(x=1)
    for method in ("set", "clear", "is_set"):
        with pytest.raises(TypeError):
            getattr(Event(), method)(1)


def test_waiter_binding():
    event = Event()
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'timeout'"):
        event.waiter()
    with pytest.raises(TypeError):
        event.waiter(None, None)
    with pytest.raises(TypeError):
        event.waiter(time=1)
    assert isinstance(event.waiter(timeout=None), Waiter)


def test_text_signatures():
    assert Event.__text_signature__ == "()"
    assert Event.set.__text_signature__ == "($self)"
    assert Event.clear.__text_signature__ == "($self)"
    assert Event.is_set.__text_signature__ == "($self)"
    assert Event.waiter.__text_signature__ == "($self, timeout)"


def test_instances_have_no_attributes_of_their_own():
    with pytest.raises(AttributeError):
        Event().x = 1


def test_subclasses_keep_the_behaviour_and_may_take_arguments():
    class Named(Event):
        def __init__(self, name):
            super().__init__()
            self.name = name

    class Plain(Event):
        pass

    named = Named("n")
    assert named.name == "n"
    named.set()
    assert named.is_set()
    assert isinstance(named.waiter(None), Waiter)
    Waiter(named, Plain())
    with pytest.raises(TypeError):
        Plain(1)


def test_concurrent_set_and_clear_leave_a_consistent_flag():
    event = Event()
    barrier = threading.Barrier(4, timeout=30)

    def toggle(operation):
        barrier.wait()
        for _ in range(20000):
            operation()

    threads = [threading.Thread(target=toggle, args=(op,)) for op in (event.set, event.clear, event.set, event.is_set)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
        assert not thread.is_alive()
    event.set()
    assert event.is_set()
    event.clear()
    assert not event.is_set()
