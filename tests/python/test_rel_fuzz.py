"""Random objects to every constructor, method and attribute of the module: each call returns or
raises a Python exception, never crashes the process, never raises SystemError (the interpreter's
sign of a C-level mistake such as an error set without a NULL return).

The fuzzing runs in a fresh interpreter, so that a crash fails the test instead of ending pytest.
A registered runtime runs meanwhile, so that ScheduledIO and Waiter.abort have one to use.
"""

import os

import pytest

from conftest import run_python

EXAMPLES = 1000 if os.environ.get("QUORLIN_SANITIZER") else 4000

FUZZ = """
import copy, gc, os, pickle, socket, sys, threading, types, warnings
from collections.abc import Sequence

from hypothesis import HealthCheck, given, settings, strategies as st

from quorlin import _quorlin as q

warnings.simplefilter("ignore")  # coroutines made for the fuzz and never awaited
unraisable = []
sys.unraisablehook = unraisable.append  # callbacks that raise, unprintable objects

EXAMPLES = int(os.environ["QUORLIN_FUZZ_EXAMPLES"])

# A registered runtime that runs for the whole process.
registered = q.Runtime(2, 2, 0, False, b"")
q.set_runtime(registered)
signal_r, signal_w = socket.socketpair()
signal_r.setblocking(False)
registered._ssock_r, registered._ssock_w = signal_r, signal_w
run_thread = threading.Thread(target=registered._run, daemon=True)
run_thread.start()
started = threading.Event()
registered._call_soon(started.set)
assert started.wait(60)


class Evil:
    def __index__(self): raise ValueError("index")
    def __int__(self): raise ValueError("int")
    def __repr__(self): raise ValueError("repr")
    def __iter__(self): raise ValueError("iter")
    def __len__(self): raise ValueError("len")
    def __getitem__(self, i): raise ValueError("getitem")
    def __call__(self, *a, **k): raise ValueError("call")
    def __bool__(self): raise ValueError("bool")
    def __hash__(self): raise ValueError("hash")
    def __eq__(self, other): raise ValueError("eq")
    def fileno(self): raise ValueError("fileno")

class NotAnInt:
    def __index__(self): return "seven"

class Huge:
    def __index__(self): return 2**200

class Small:
    def __index__(self): return 2

class Lying(Sequence):
    def __len__(self): return 5
    def __getitem__(self, i):
        if i >= 2: raise IndexError(i)
        return [1, Evil()][i]

class Fileno:
    def __init__(self, value): self.value = value
    def fileno(self): return self.value

class SubEvent(q.Event):
    def __init__(self, *args, **kwargs): pass

class SubRuntime(q.Runtime):
    pass

class SubIO(q.ScheduledIO):
    pass

async def coroutine():
    await q.Waiter.checkpoint()
    return 1

def raises(kind):
    def raise_it(*args, **kwargs):
        raise kind("raised on purpose")
    return raise_it

EDGES = [0, 1, 2, 3, 255, 256, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1,
         2**64, 2**100, -1, -2**31, -2**63, -2**64]

def fresh_io():
    a, b = socket.socketpair()
    keep.append((a, b))
    return q.ScheduledIO(a.fileno())

keep = []  # socket pairs stay open for the process: closing one under a live registration is
           # a different test

def fresh_ctl():
    return q.Runtime(1, 1, 0, False, b"")._spawn_blocking(int, 7)[0]

FACTORIES = {
    "Event": q.Event,
    "SubEvent": lambda: SubEvent(1, x=2),
    "Waiter": lambda: q.Waiter(q.Event(), q.Event()),
    "checkpoint": q.Waiter.checkpoint,
    "Result": lambda: q.Result(3),
    "Runtime": lambda: q.Runtime(1, 1, 0, False, b"\\x02"),
    "SubRuntime": lambda: SubRuntime(1, 1, 0, True, [15]),
    "ScheduledIO": fresh_io,
    "BlockingTaskCtl": fresh_ctl,
}

plain = st.one_of(
    st.none(), st.booleans(), st.integers(-300, 300), st.sampled_from(EDGES),
    st.floats(), st.text(max_size=4), st.binary(max_size=4), st.binary(max_size=4).map(bytearray),
    st.lists(st.integers(-2, 300), max_size=4), st.tuples(st.integers(-2, 3)),
    st.dictionaries(st.text(max_size=2), st.integers(), max_size=2),
)
weird = st.sampled_from([Evil, NotAnInt, Huge, Small, Lying]).map(lambda kind: kind())
files = st.sampled_from([-1, 0, 1, 2, 2**31, 2**32 - 1]).map(Fileno)
ours = st.sampled_from(sorted(FACTORIES)).map(lambda name: FACTORIES[name]())
kinds = st.sampled_from([q.Event, q.Waiter, q.Result, q.Runtime, q.ScheduledIO, q.BlockingTaskCtl,
                         q.CancelledError, ValueError, KeyboardInterrupt, SystemExit, int, object])
errors = st.sampled_from([ValueError("v"), q.CancelledError("c"), KeyboardInterrupt(), SystemExit(3),
                          StopIteration(5), GeneratorExit()])
callables = st.sampled_from([int, list, print.__class__, lambda: None, q.Event().set,
                             raises(ValueError), raises(KeyboardInterrupt), raises(SystemExit),
                             raises(q.CancelledError)])
coroutines = st.builds(coroutine)
values = st.one_of(plain, weird, files, ours, kinds, errors, callables, coroutines)
names = st.sampled_from(["timeout", "size", "index", "value", "sig", "fd", "cb", "coro", "callback",
                         "f", "runtime", "threads", "context", "signals", "events", "x"])
arguments = st.tuples(st.lists(values, max_size=4), st.dictionaries(names, values, max_size=2))

# Every callable of the module, each as (label, function of an instance or None).
CONSTRUCTORS = [(name, getattr(q, name)) for name in
                ("Event", "Waiter", "Result", "Runtime", "ScheduledIO", "BlockingTaskCtl")]
CONSTRUCTORS += [("SubEvent", SubEvent), ("SubRuntime", SubRuntime), ("SubIO", SubIO),
                 ("get_runtime", q.get_runtime), ("set_runtime", q.set_runtime),
                 ("Waiter.checkpoint", q.Waiter.checkpoint)]
METHODS, PROPERTIES = [], []
for label, factory in FACTORIES.items():
    kind = type(factory())
    for klass in kind.__mro__:
        if klass.__module__ != "quorlin._quorlin":
            continue
        for name, member in vars(klass).items():
            if name == "_run":
                continue  # blocks until stopped; its failures have tests of their own
            if isinstance(member, types.GetSetDescriptorType):
                PROPERTIES.append((label, name))
            elif name in ("__next__", "__await__") or not name.startswith("__"):
                METHODS.append((label, name))
GENERIC = [copy.copy, copy.deepcopy, pickle.dumps, repr, hash, bool, dir, gc.get_referents]
print(len(CONSTRUCTORS), "constructors,", len(METHODS), "methods,", len(PROPERTIES), "properties")


def call(function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except SystemError:
        raise
    except BaseException:
        pass


targets = st.one_of(
    st.sampled_from(CONSTRUCTORS).map(lambda entry: ("new", entry)),
    st.sampled_from(METHODS).map(lambda entry: ("method", entry)),
    st.sampled_from(PROPERTIES).map(lambda entry: ("property", entry)),
    st.sampled_from(sorted(FACTORIES)).map(lambda entry: ("generic", entry)),
)


@settings(max_examples=EXAMPLES, deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@given(targets, arguments, st.sampled_from(GENERIC))
def fuzz(target, args, generic):
    positional, keywords = args
    kind, entry = target
    if kind == "new":
        call(entry[1], *positional, **keywords)
    elif kind == "method":
        label, name = entry
        call(getattr(FACTORIES[label](), name), *positional, **keywords)
    elif kind == "property":
        label, name = entry
        instance = FACTORIES[label]()
        call(getattr, instance, name)
        call(setattr, instance, name, positional[0] if positional else None)
        call(delattr, instance, name)
        call(getattr, instance, name)
    else:
        call(generic, FACTORIES[entry]())

fuzz()
# A clean end: the run's shutdown drops every registration, so nothing the fuzz made is held at
# exit (a leak checker would report it).
registered._stopping = True
run_thread.join(60)
assert not run_thread.is_alive()
for pair in keep:
    for end in pair:
        end.close()
gc.collect()
print("ok")
"""


# The child's own timeout bounds it; under a sanitizer the examples take close to two minutes.
@pytest.mark.timeout(660)
def test_random_arguments_never_crash_the_process():
    completed = run_python(FUZZ, timeout=600, env={"QUORLIN_FUZZ_EXAMPLES": str(EXAMPLES)})
    assert completed.returncode == 0, completed.stdout[-3000:] + completed.stderr[-5000:]
    assert completed.stdout.rstrip().endswith("ok"), completed.stdout
