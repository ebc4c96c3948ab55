"""to_thread gives its limiter token back before the calling task resumes."""

import pytest

from conftest import run_python

SCRIPT = """
import sys
import quorlin
from quorlin import to_thread

async def main():
    limiter = quorlin.CapacityLimiter(1)
    for i in range(300):
        # Without a deadline and with a deadline: both park paths.
        assert await to_thread.run_sync(int, i) == i
        assert await to_thread.run_sync(int, i, limiter=limiter) == i
        with quorlin.fail_after(30):
            assert await to_thread.run_sync(int, i) == i
    assert limiter.borrowed_tokens == 0
    print("ok")

quorlin.run(main, threads=int(sys.argv[1]))
"""


@pytest.mark.parametrize("threads", [1, 2])
def test_back_to_back_calls_of_one_task(threads):
    completed = run_python(SCRIPT.replace("int(sys.argv[1])", str(threads)), timeout=60)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.strip() == "ok"
