"""A task's coroutine stepped under a lock that inspection tries (quorlin._fastpath.SteppedCoroutine)."""

import gc
import sys
import threading
import types
import weakref

import pytest

from quorlin._fastpath import SteppedCoroutine

from conftest import WAIT


@types.coroutine
def suspend(value=None):
    return (yield value)


def test_steps_reach_the_coroutine_and_report_its_outcome():
    async def body():
        received = await suspend("first")
        try:
            await suspend("second")
        except KeyError as error:
            return (received, error.args[0])

    stepped = SteppedCoroutine(body())
    assert stepped.send(None) == "first"
    assert stepped.send("hello") == "second"
    with pytest.raises(StopIteration) as stop:
        stepped.throw(KeyError("thrown"))
    assert stop.value.value == ("hello", "thrown")
    assert "body" in repr(stepped)  # what an unhandled-error report names


def test_close_finalises_the_coroutine():
    finalised = []

    async def body():
        try:
            await suspend()
        finally:
            finalised.append(True)

    stepped = SteppedCoroutine(body())
    stepped.send(None)
    assert stepped.close() is None
    assert finalised == [True]


@pytest.mark.parametrize("argument", [42, None, lambda: None])
def test_refuses_what_is_not_a_coroutine(argument):
    with pytest.raises(TypeError, match="expects a coroutine"):
        SteppedCoroutine(argument)


def test_inspection_sees_a_suspended_coroutine_but_not_one_being_stepped():
    seen = []

    async def body():
        seen.append(stepped.inspect_idle(lambda: "inside"))  # its own step holds the lock
        await suspend()

    stepped = SteppedCoroutine(body())
    stepped.send(None)
    assert seen == [None]
    assert stepped.inspect_idle(lambda: "between steps") == "between steps"
    with pytest.raises(ZeroDivisionError):
        stepped.inspect_idle(lambda: 1 / 0)
    assert stepped.inspect_idle(lambda: "lock given back") == "lock given back"


def test_a_step_waits_for_an_inspection_in_progress():
    order = []
    inspecting = threading.Event()
    release = threading.Event()

    async def body():
        await suspend()
        order.append("step")

    stepped = SteppedCoroutine(body())
    stepped.send(None)

    def inspect():
        inspecting.set()
        assert release.wait(WAIT)
        order.append("inspection")

    inspector = threading.Thread(target=lambda: stepped.inspect_idle(inspect))
    inspector.start()
    assert inspecting.wait(WAIT)
    stepper = threading.Thread(target=lambda: pytest.raises(StopIteration, stepped.send, None))
    stepper.start()
    stepper.join(0.05)  # the step is held back while the inspection runs
    release.set()
    inspector.join(WAIT)
    stepper.join(WAIT)
    assert not inspector.is_alive() and not stepper.is_alive()
    assert order == ["inspection", "step"]


def test_a_cycle_through_the_coroutine_is_collected():
    class Holder:
        pass

    async def body(holder):
        await suspend()
        await suspend()

    holder = Holder()
    coroutine = body(holder)
    stepped = holder.stepped = SteppedCoroutine(coroutine)
    stepped.send(None)
    before = sys.getrefcount(coroutine)
    stepped.send(None)
    stepped.inspect_idle(lambda: None)
    assert sys.getrefcount(coroutine) == before  # a step and an inspection keep no reference
    alive = [weakref.ref(holder), weakref.ref(coroutine)]
    del holder, stepped, coroutine
    gc.collect()
    assert [ref() for ref in alive] == [None, None]
