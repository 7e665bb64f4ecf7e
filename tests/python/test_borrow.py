"""Re-entering a sketch from Python code that runs inside its own add or
merge (an __index__, a sequence's iterator)."""

import pytest

from support import HLL, filled


class Reentrant:
    """An integer whose conversion calls back into a sketch and records what
    that call raised."""

    def __init__(self, callback):
        self.callback = callback
        self.errors = []

    def __index__(self):
        try:
            self.callback()
        except RuntimeError as error:
            self.errors.append(str(error))
            raise
        return 1


class ReentrantSequence:
    """A byte sequence whose iterator calls back into a sketch."""

    def __init__(self, payload, callback):
        self.payload, self.callback, self.errors = payload, callback, []

    def __len__(self):
        return len(self.payload)

    def __getitem__(self, index):
        return self.payload[index]

    def __iter__(self):
        try:
            self.callback()
        except RuntimeError as error:
            self.errors.append(str(error))
            raise
        return iter(self.payload)


READERS = {
    "result": lambda s: s.result(),
    "num_values": lambda s: s.num_values(),
    "to_bytes": lambda s: s.to_bytes(),
    "repr": repr,
    "normal_precision": lambda s: s.normal_precision,
    "sparse_precision": lambda s: s.sparse_precision,
}
WRITERS = {
    "add": lambda s: s.add(1),
    "merge": lambda s: s.merge(HLL(int).to_bytes()),
}
CONFLICTS = [(name, call, "Already mutably borrowed") for name, call in READERS.items()] + [
    (name, call, "Already borrowed") for name, call in WRITERS.items()
]


@pytest.mark.parametrize("name, call, message", CONFLICTS)
def test_reentry_from_index_fails_the_conversion(name, call, message):
    sketch = HLL(int)
    value = Reentrant(lambda: call(sketch))
    with pytest.raises(TypeError) as info:
        sketch.add(value)
    assert info.value.args == ("Unsupported type for HyperLogLogPlusPlus",)
    assert info.value.__context__ is None
    assert value.errors == [message]
    # the hold was released on the error path
    sketch.add(2)
    assert sketch.num_values() == 1


@pytest.mark.parametrize("name, call, message", CONFLICTS)
def test_reentry_from_iterator_rejects_the_sequence(name, call, message):
    sketch = filled(int, range(5))
    before = sketch.to_bytes()
    data = ReentrantSequence(HLL(int).to_bytes(), lambda: call(sketch))
    with pytest.raises(TypeError) as info:
        sketch.merge(data)
    assert info.value.args == ("Unsupported type for HyperLogLogPlusPlus::merge",)
    assert data.errors == [message]
    assert sketch.to_bytes() == before
    sketch.merge(HLL(int).to_bytes())


def test_other_sketches_stay_usable_during_a_call():
    sketch, other = HLL(int), filled(int, range(3))
    calls = []
    value = Reentrant(lambda: calls.append((other.result(), other.num_values(), other.add(9))))
    sketch.add(value)
    assert calls == [(3, 3, None)] and sketch.num_values() == 1 and other.num_values() == 4

    data = ReentrantSequence(other.to_bytes(), lambda: other.merge(other.to_bytes()))
    sketch.merge(data)
    assert data.errors == [] and sketch.num_values() == 5 and other.num_values() == 8


def test_sketch_cannot_merge_itself():
    sketch = filled(int, range(100))
    before = sketch.to_bytes()
    with pytest.raises(TypeError) as info:
        sketch.merge(sketch)
    assert info.value.args == ("Unsupported type for HyperLogLogPlusPlus::merge",)
    assert sketch.to_bytes() == before
    sketch.merge(before)
    assert sketch.num_values() == 200
