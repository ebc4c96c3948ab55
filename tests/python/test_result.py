import gc
import sys
import threading
import weakref

import pytest

from quorlin._quorlin import Result


def test_fresh_result_holds_none():
    assert Result().fetch() is None
    assert Result(size=3).fetch() == [None, None, None]
    assert Result(0).fetch() == []


def test_store_and_fetch_single_slot():
    result = Result()
    result.store(7)
    assert result.fetch() == 7
    result.store(8, 0)
    assert result.fetch() == 8
    result.store(9, None)
    assert result.fetch() == 9
    result.store(value=10, index=0)
    assert result.fetch() == 10


def test_fetch_returns_a_new_list_each_time_and_keeps_the_slots():
    result = Result(3)
    result.store("a", 2)
    first = result.fetch()
    assert first == [None, None, "a"]
    first.append("x")
    assert result.fetch() == [None, None, "a"]


def test_two_slots_give_a_list_even_if_only_slot_zero_was_stored():
    result = Result(2)
    result.store(1)
    assert result.fetch() == [1, None]


@pytest.mark.parametrize(
    ("size", "index"),
    [(0, 0), (2, 2), (1, 1), (3, 4294967295)],
)
def test_index_not_below_size_stores_nothing(size, index):
    result = Result(size)
    with pytest.raises(IndexError, match=f"^index out of bounds: the len is {size} but the index is {index}$"):
        result.store("x", index)
    assert result.fetch() == ([None] * size if size != 1 else None)


def test_result_stays_usable_after_a_refused_store():
    result = Result(2)
    with pytest.raises(IndexError):
        result.store(1, 2)
    result.store(1, 1)
    assert result.fetch() == [None, 1]


@pytest.mark.parametrize(
    ("call", "error", "message", "note"),
    [
        (lambda: Result().store(1, -1), OverflowError, None, "index"),
        (lambda: Result().store(1, 4294967296), OverflowError, "out of range integral type conversion attempted", "index"),
        (lambda: Result().store(1, 2**64), OverflowError, None, "index"),
        (lambda: Result().store(1, 1.0), TypeError, None, "index"),
        (lambda: Result(size=4294967296), OverflowError, "out of range integral type conversion attempted", "size"),
        (lambda: Result(-1), OverflowError, None, "size"),
        (lambda: Result(None), TypeError, None, "size"),
        (lambda: Result("3"), TypeError, None, "size"),
    ],
)
def test_conversion_errors(call, error, message, note):
    with pytest.raises(error) as caught:
        call()
    if message is not None:
        assert str(caught.value) == message
    assert caught.value.__notes__ == [f"while processing '{note}'"]


def test_conversion_error_stores_nothing():
    result = Result()
    result.store("kept")
    with pytest.raises(TypeError):
        result.store("lost", 1.0)
    assert result.fetch() == "kept"


def test_index_protocol_is_used():
    class Index:
        def __init__(self, value):
            self.value = value

        def __index__(self):
            return self.value

    result = Result(Index(2))
    result.store("x", Index(1))
    assert result.fetch() == [None, "x"]


@pytest.mark.parametrize(
    "call",
    [
        lambda: Result(1, 2),
        lambda: Result(sise=1),
        lambda: Result().store(),
        lambda: Result().store(1, 0, 0),
        lambda: Result().store(1, index=0, value=2),
        lambda: Result().fetch(1),
    ],
)
def test_argument_binding_errors(call):
    with pytest.raises(TypeError):
        call()


def test_huge_sizes_are_refused_without_allocating():
    with pytest.raises(MemoryError):
        Result(2**29)
    with pytest.raises(MemoryError):
        Result(4294967295)
    assert len(Result(2**16).fetch()) == 2**16


def test_text_signatures():
    assert Result.__text_signature__ == "(size=1)"
    assert Result.store.__text_signature__ == "($self, value, index=None)"
    assert Result.fetch.__text_signature__ == "($self)"


def test_replaced_and_destroyed_values_are_released():
    class Token:
        pass

    first, second = Token(), Token()
    first_ref, second_ref = weakref.ref(first), weakref.ref(second)
    result = Result()
    result.store(first)
    result.store(second)
    del first
    assert first_ref() is None
    del second
    assert second_ref() is not None
    del result
    assert second_ref() is None


def test_reference_cycle_through_a_slot_is_collected():
    class Holder:
        pass

    holder = Holder()
    holder.result = Result()
    holder.result.store(holder)
    probe = weakref.ref(holder)
    del holder
    gc.collect()
    assert probe() is None


def test_store_does_not_leak_references():
    value = object()
    before = sys.getrefcount(value)
    result = Result(2)
    for _ in range(100):
        result.store(value, 1)
        result.fetch()
    result.store(None, 1)
    assert sys.getrefcount(value) == before


def test_concurrent_stores_and_fetches():
    size = 8
    rounds = 2000
    result = Result(size)
    barrier = threading.Barrier(5, timeout=30)
    bad = []

    def writer(base):
        barrier.wait()
        for i in range(rounds):
            for slot in range(size):
                result.store((base, i), slot)

    def reader():
        barrier.wait()
        for _ in range(rounds):
            snapshot = result.fetch()
            if len(snapshot) != size or any(v is not None and not isinstance(v, tuple) for v in snapshot):
                bad.append(snapshot)

    threads = [threading.Thread(target=writer, args=(b,)) for b in range(4)] + [threading.Thread(target=reader)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
        assert not thread.is_alive()
    assert not bad
    # Every writer's last store was (base, rounds - 1); each slot ends with one of them.
    assert all(value[1] == rounds - 1 for value in result.fetch())
