"""Arguments and documents that misbehave on purpose."""

import collections.abc
import json

import morvik3


class Overstated(collections.abc.Sequence):
    """A sequence whose length claims more items than it yields."""

    def __init__(self, items, length=10**6):
        self.items = list(items)
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


class Grows:
    """A value whose conversion adds a key to the dict being converted, after
    removing another one when `remove` is given."""

    def __init__(self, target, add, remove=None):
        self.target, self.add, self.remove = target, add, remove

    def __float__(self):
        if self.remove is not None:
            self.target.pop(self.remove, None)
        self.target[self.add] = 1.0
        return 1.0


class Boundless(collections.abc.Sequence):
    """A sequence that says it holds more items than any memory could, and
    must not be read."""

    def __len__(self):
        return 10**12

    def __getitem__(self, i):
        raise AssertionError(f"item {i} was read")


def vacant_slots_document(slots=200_000):
    """A forest of 1,000 dimensions, capacity 1 and one tree whose arena
    claims `slots` more vacant slots on its free list: 2.4 MB of text, and
    2 * 1,000 floats a slot once built."""
    f = morvik3.Forest(1000, num_trees=1, capacity=1, seed=1)
    for _ in range(3):
        f.update([1.0] * 1000)
    doc = json.loads(f.to_json())
    arena = doc["trees"][0]["arena"]
    start = len(arena["nodes"])
    arena["nodes"] += [None] * slots
    arena["free"] += list(range(start, start + slots))
    return json.dumps(doc, separators=(",", ":"))
