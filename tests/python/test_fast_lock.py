"""The package's short-section lock (quorlin._fastpath.Lock) on its own."""

import threading
import time

import pytest

from quorlin._fastpath import Lock

from conftest import WAIT


def test_acquire_release_and_locked_follow_each_other():
    lock = Lock()
    assert lock.locked() is False
    assert lock.acquire() is True
    assert lock.locked() is True
    assert "locked" in repr(lock) and "unlocked" not in repr(lock)
    assert lock.release() is None
    assert lock.locked() is False
    with lock as entered:
        assert entered is True
        assert lock.locked() is True
    assert lock.locked() is False


def test_misuse_raises():
    lock = Lock()
    with pytest.raises(RuntimeError, match="release unlocked lock"):
        lock.release()
    for args, kwargs in [((1,), {}), ((), {"blocking": False})]:
        with pytest.raises(TypeError):
            Lock(*args, **kwargs)
    with pytest.raises(TypeError):
        lock.acquire(False)  # no blocking flag, no timeout
    assert lock.locked() is False


def test_threads_exclude_each_other():
    # Read, yield the processor, write back: without exclusion increments are lost.
    lock = Lock()
    threads, rounds = 4, 2000
    count = [0]
    inside = [0]
    overlaps = []
    start = threading.Barrier(threads, timeout=WAIT)

    def work():
        start.wait()
        for _ in range(rounds):
            lock.acquire()
            try:
                inside[0] += 1
                if inside[0] != 1:
                    overlaps.append(inside[0])
                value = count[0]
                if value % 97 == 0:
                    time.sleep(0)
                count[0] = value + 1
                inside[0] -= 1
            finally:
                lock.release()

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(WAIT)
    assert not any(worker.is_alive() for worker in workers)
    assert overlaps == []
    assert count[0] == threads * rounds
    assert lock.locked() is False
