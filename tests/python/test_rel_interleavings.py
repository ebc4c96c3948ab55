"""Random interleavings of set, clear, wait, all-of waits, aborts and timeouts across threads.

Each example builds a few events and a few tasks, each task a random list of waits (one event with
or without a timeout, all of several events, a bare yield), and lets plain threads set and clear
the events and abort the tasks at random while the tasks run.  Then every event is set for good,
and every task must finish.  Invariants:

- every wait of every task is resumed exactly once, in order (a double resumption would resume
  the next wait early, or a finished coroutine, which the step reports on standard error);
- a wait on one event resumes with None, an all-of wait with a list of one None per event;
- CancelledError reaches only aborted tasks, and once it has reached a task every later wait of
  that task raises it too (the control flag stays set; a bare yield is not a wait);
- nothing is printed on standard error.

Runs in a fresh interpreter: aborts need the registered runtime, which is set once per process.
"""

import os

from conftest import run_python

EXAMPLES = 60 if os.environ.get("QUORLIN_SANITIZER") else 500

SCRIPT = """
import os, random, socket, sys, threading, types

from hypothesis import HealthCheck, given, settings, strategies as st

from quorlin._quorlin import CancelledError, Event, Runtime, Waiter, set_runtime

WAIT = 60
runtime = Runtime(3, 1, 1, False, b"")
set_runtime(runtime)
signal_r, signal_w = socket.socketpair()
signal_r.setblocking(False)
runtime._ssock_r, runtime._ssock_w = signal_r, signal_w
run_thread = threading.Thread(target=runtime._run, daemon=True)
run_thread.start()


@types.coroutine
def yield_none():
    yield


async def task(control, plan, events, record, done):
    try:
        await control  # makes `control` this task's cancellation handle
        record.append(("value", None))
    except CancelledError as error:
        record.append(("cancelled", error.args))
    for step in plan:
        try:
            if step[0] == "one":
                value = await events[step[1]].waiter(step[2])
            elif step[0] == "all":
                value = await Waiter(*[events[i] for i in step[1]])
            else:
                value = await yield_none()
            record.append(("value", value))
        except CancelledError as error:
            record.append(("cancelled", error.args))
    done.release()


EVENTS = 3
steps = st.one_of(
    st.tuples(st.just("one"), st.integers(0, EVENTS - 1), st.one_of(st.none(), st.integers(0, 3000))),
    st.tuples(st.just("all"), st.lists(st.integers(0, EVENTS - 1), min_size=2, max_size=4)),
    st.tuples(st.just("yield")),
)
plans = st.lists(st.lists(steps, max_size=6), min_size=1, max_size=4)
operations = st.lists(
    st.one_of(
        st.tuples(st.just("set"), st.integers(0, EVENTS - 1)),
        st.tuples(st.just("clear"), st.integers(0, EVENTS - 1)),
        st.tuples(st.just("abort"), st.integers(0, 3)),
        st.tuples(st.just("pause"), st.integers(0, 200)),
    ),
    max_size=12,
)


def expected_value(step):
    return [None] * len(step[1]) if step[0] == "all" else None


@settings(max_examples=int(os.environ["QUORLIN_EXAMPLES"]), deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@given(plans, st.lists(operations, min_size=1, max_size=3), st.integers(0, 2**32 - 1))
def interleave(plans, threads_ops, seed):
    events = [Event() for _ in range(EVENTS)]
    controls = [Waiter.checkpoint() for _ in plans]
    records = [[] for _ in plans]
    aborted = [False] * len(plans)
    done = threading.Semaphore(0)
    barrier = threading.Barrier(len(threads_ops) + 1)

    def operate(ops, rng):
        barrier.wait(WAIT)
        for op in ops:
            if op[0] == "set":
                events[op[1]].set()
            elif op[0] == "clear":
                events[op[1]].clear()
            elif op[0] == "abort":
                if op[1] < len(controls):
                    aborted[op[1]] = True
                    controls[op[1]].abort()
            else:
                for _ in range(op[1] * rng.randrange(1, 4)):
                    pass

    operators = [threading.Thread(target=operate, args=(ops, random.Random(seed + i)))
                 for i, ops in enumerate(threads_ops)]
    for operator in operators:
        operator.start()
    for control, plan, record in zip(controls, plans, records):
        runtime._spawn_coro(task(control, plan, events, record, done))
    barrier.wait(WAIT)
    for operator in operators:
        operator.join(WAIT)
        assert not operator.is_alive()
    for event in events:
        event.set()  # for good: every wait still parked can now complete
    for _ in plans:
        assert done.acquire(timeout=WAIT), ("a task never finished", plans, threads_ops, records)

    for plan, record, was_aborted in zip(plans, records, aborted):
        assert len(record) == len(plan) + 1, ("a wait resumed twice or never", plan, record)
        steps = [("checkpoint",)] + plan
        # A bare yield registers nothing, so only waits on a Waiter can raise CancelledError.
        outcomes = [outcome for (outcome, _), step in zip(record, steps) if step[0] != "yield"]
        if "cancelled" in outcomes:
            assert was_aborted, ("CancelledError reached a task nobody aborted", record)
            first = outcomes.index("cancelled")
            assert outcomes[first:] == ["cancelled"] * (len(outcomes) - first), record
        for (outcome, value), step in zip(record, steps):
            if outcome == "cancelled":
                assert value == ("Execution aborted",), record
            else:
                assert value == expected_value(step), (step, value)


interleave()
runtime._stopping = True
run_thread.join(WAIT)
assert not run_thread.is_alive()
print("ok")
"""


def test_random_interleavings_keep_every_wait_resumed_exactly_once():
    completed = run_python(SCRIPT, timeout=900, env={"QUORLIN_EXAMPLES": str(EXAMPLES)})
    assert completed.returncode == 0, completed.stdout[-3000:] + completed.stderr[-5000:]
    assert completed.stdout.rstrip().endswith("ok"), completed.stdout
    assert completed.stderr == ""
