"""Reporting a blocking call's outcome to its parked task (quorlin._fastpath), with an abort
arriving as an asynchronous exception at the worst moment: just as the call returns."""

import contextvars
import ctypes
import functools
import threading

import pytest

from quorlin._core import _Slot
from quorlin._errors import Cancelled
from quorlin._fastpath import Lock, call_and_report, fire_slot


class FakeTask:
    def __init__(self):
        self._lock = Lock()




def test_an_abort_pending_when_the_call_returns_surfaces_after_the_report():
    slot = _Slot(FakeTask())
    origin = contextvars.ContextVar("origin", default=None)
    seen = []
    set_async = ctypes.pythonapi.PyThreadState_SetAsyncExc
    set_async.argtypes = (ctypes.c_ulong, ctypes.py_object)
    # The abort is armed by native code only, so nothing between arming and the report can
    # raise it: the call's value must reach the slot, and the lock must be free afterwards.
    arm = functools.partial(set_async, threading.get_ident(), Cancelled)
    with pytest.raises(Cancelled):
        call_and_report(slot, origin, "from here", None, arm, ())
        seen.append("no bytecode check after the report")  # the pending abort surfaces first
    assert seen == []
    assert (slot.fired, slot.value, slot.error) == (True, 1, None)
    assert slot.event.is_set()
    assert slot.task._lock.locked() is False


@pytest.mark.parametrize("outcome", ["value", "error"])
def test_call_and_report_hands_over_the_outcome_and_runs_before_report_first(outcome):
    slot = _Slot(FakeTask())
    origin = contextvars.ContextVar("origin", default=None)
    order = []

    def fn(x):
        order.append(("call", origin.get()))
        if outcome == "error":
            raise KeyError(x)
        return x * 2

    def before():
        order.append(("before", slot.fired))

    call_and_report(slot, origin, "marked", before, fn, (21,))
    assert order == [("call", "marked"), ("before", False)]
    assert slot.fired and slot.event.is_set() and not slot.task._lock.locked()
    if outcome == "value":
        assert (slot.value, slot.error) == (42, None)
    else:
        assert slot.value is None and isinstance(slot.error, KeyError)


def test_fire_slot_fires_once_and_refuses_bad_input():
    slot = _Slot(FakeTask())
    assert fire_slot(slot, "first", None) is True
    assert fire_slot(slot, "second", ValueError()) is False
    assert (slot.value, slot.error) == ("first", None)

    class NotATask:
        _lock = threading.Lock()

    with pytest.raises(TypeError, match="quorlin._fastpath.Lock"):
        fire_slot(_Slot(NotATask()), 1, None)
    with pytest.raises(TypeError, match="3 arguments"):
        fire_slot(slot, 1)
    with pytest.raises(TypeError, match="tuple"):
        call_and_report(slot, contextvars.ContextVar("o"), None, None, print, [1])


def test_a_fire_sets_the_event_the_slot_holds_under_the_task_lock():
    # A task woken by a kick swaps in a fresh event under its lock before it parks again; a fire
    # that read the event before taking the lock would set the old one and wake nobody.
    class SwappingSlot(_Slot):
        __slots__ = ("reads",)

        def __init__(self, task):
            super().__init__(task)
            self.reads = []

    slot = SwappingSlot(FakeTask())
    first = slot.event
    real_getattr = SwappingSlot.event.__get__

    class Probe:
        def __get__(self, obj, owner=None):
            if obj is None:
                return self
            obj.reads.append(obj.task._lock.locked())
            return real_getattr(obj, owner)

        def __set__(self, obj, value):
            SwappingSlot.__mro__[1].event.__set__(obj, value)

    SwappingSlot.event = Probe()
    assert fire_slot(slot, "value", None) is True
    assert slot.reads and all(slot.reads), "the event was read without the task lock"
    assert first.is_set() and slot.value == "value"
