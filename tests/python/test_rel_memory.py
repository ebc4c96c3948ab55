"""Objects a worker thread makes are freed once another thread drops them, even when the worker
runs no Python code of its own (a blocking call of a C function).

The free-threaded interpreter frees such an object only when the thread that made it next checks
for pending work in the eval loop; a native worker must give it that chance.  In a fresh
interpreter with the collector off, since a collection would free them too.
"""

from conftest import run_python


def test_what_a_blocking_c_call_returns_is_freed_after_the_caller_drops_it():
    completed = run_python(
        """
import functools, gc, time, weakref
from quorlin._quorlin import Runtime
gc.disable()
runtime = Runtime(1, 1, 3600, False, [])

def call(f, *args):
    _ctl, event, result = runtime._spawn_blocking(f, *args)
    deadline = time.monotonic() + 60
    while not event.is_set():
        assert time.monotonic() < deadline, "the call never ended"
    return result.fetch()[1]

made = call(functools.partial, int)  # made on the worker, by C code only
reference = weakref.ref(made)
del made  # the last reference, dropped on this thread
call(int, 1)  # the same worker runs another call
deadline = time.monotonic() + 20
while reference() is not None and time.monotonic() < deadline:
    time.sleep(0.001)
print(reference() is None)
""",
        timeout=120,
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.split() == ["True"]
