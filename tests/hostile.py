"""Arguments that misbehave on purpose."""

import collections.abc


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
