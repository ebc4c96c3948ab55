"""A finished task, its scopes and its group are freed by reference counting alone.

A reference cycle through a task would leave every finished task to the cyclic collector, whose
passes over the whole heap then grow with the number of live tasks.  In a fresh interpreter with
the collector off, on one worker (so the child's last step has ended when its parent resumes).
"""

import pytest

from conftest import run_python

CHILDREN = {
    "returned": "async def child():\n    return 1\n",
    "parked, then returned": "async def child():\n    await quorlin.sleep(0.001)\n    return 1\n",
    "cancelled": "async def child():\n    await quorlin.sleep_forever()\n",
    "raised": "async def child():\n    raise ValueError('failed')\n",
    "waited on an event": (
        "EVENT = None\n"
        "async def child():\n    await EVENT.wait()\n"
    ),
}


@pytest.mark.parametrize("child", sorted(CHILDREN))
def test_a_finished_child_and_its_group_leave_no_cycle(child):
    completed = run_python(
        """
import gc, weakref
import quorlin
gc.disable()
"""
        + CHILDREN[child]
        + """
async def main():
    global EVENT
    EVENT = quorlin.Event()
    try:
        async with quorlin.TaskGroup() as group:
            task = group.create_task(child)
            await quorlin.sleep(0.001)
            task.cancel()
            EVENT.set()
    except* ValueError:
        pass
    refs = [weakref.ref(task), weakref.ref(group), weakref.ref(task._scope), weakref.ref(group.cancel_scope)]
    del task, group
    return [ref() is None for ref in refs]

print(quorlin.run(main, threads=1))
""",
        timeout=60,
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.strip() == "[True, True, True, True]", completed.stdout
