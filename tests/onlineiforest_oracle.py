"""A plain-Python transcription of the Online Isolation Forest: nested node
objects, a list as the window, every draw from the generator oracle. Its
`document()` has the shape of the native state document, with every 32-bit
value held as the double of equal value."""

import collections
import math

from rng_oracle import MAX64, Xoshiro, f32


def split_threshold(depth, m):
    return MAX64 if depth >= 64 else min(m << depth, MAX64)


class Node:
    def __init__(self, height, lo, hi):
        self.height, self.min, self.max = height, lo, hi
        self.split = None  # (dimension, value, left, right)

    def route(self, point):
        dimension, value, left, right = self.split
        return left if value > point[dimension] else right

    def document(self):
        split = None
        if self.split:
            dimension, value, left, right = self.split
            split = {"dimension": dimension, "value": value, "left": left.document(), "right": right.document()}
        return {"height": self.height, "support": {"min": list(self.min), "max": list(self.max)}, "split": split}


class Tree:
    def __init__(self, rng, events):
        self.root, self.rng, self.events = None, rng, events

    def learn(self, point, m, max_depth):
        if self.root is None:
            self.root = Node(1, list(point), list(point))
            return
        node, depth = self.root, 0
        while True:
            node.height = min(node.height + 1, MAX64)
            node.min = [min(a, b) for a, b in zip(node.min, point)]
            node.max = [max(a, b) for a, b in zip(node.max, point)]
            if node.split is None:
                break
            node, depth = node.route(point), depth + 1
        if depth < max_depth and node.height >= split_threshold(depth, m):
            self.split(node)

    def split(self, leaf):
        active = [i for i in range(len(leaf.min)) if leaf.max[i] > leaf.min[i]]
        if not active:
            self.events["identical leaf"] += 1
            return
        dim = active[self.rng.range_index(len(active))]
        value = self.rng.range_f32(leaf.min[dim], leaf.max[dim])
        counts, supports = [0, 0], [None, None]
        for _ in range(leaf.height):
            v = self.rng.range_f32(leaf.min[dim], leaf.max[dim])
            side = 0 if v < value else 1
            counts[side] += 1
            sample = [
                v if i == dim else lo if lo == hi else self.rng.range_f32(lo, hi)
                for i, (lo, hi) in enumerate(zip(leaf.min, leaf.max))
            ]
            if supports[side] is None:
                supports[side] = (list(sample), list(sample))
            else:
                lo, hi = supports[side]
                supports[side] = ([min(a, b) for a, b in zip(lo, sample)], [max(a, b) for a, b in zip(hi, sample)])
        if supports[0] is None:
            self.events["empty left"] += 1
            supports[0] = (list(leaf.min), leaf.max[:dim] + [value] + leaf.max[dim + 1:])
        if supports[1] is None:
            self.events["empty right"] += 1
            supports[1] = (leaf.min[:dim] + [value] + leaf.min[dim + 1:], list(leaf.max))
        left, right = (Node(counts[s], *supports[s]) for s in (0, 1))
        leaf.split = (dim, value, left, right)
        self.events["split"] += 1

    def unlearn(self, point, m):
        if self.root is None:
            return
        root = self.root
        root.height = max(root.height - 1, 0)
        if root.split is not None:
            if root.height < split_threshold(0, m):
                self.fold(root)
            else:
                node, depth = root, 1
                while True:
                    child = node.route(point)
                    child.height = max(child.height - 1, 0)
                    if child.split is None:
                        break
                    if child.height < split_threshold(depth, m):
                        self.fold(child)
                        break
                    node, depth = child, depth + 1
        if root.height == 0:
            self.events["emptied"] += 1
            self.root = None

    def fold(self, node):
        _, _, left, right = node.split
        node.min = [min(a, b) for a, b in zip(left.min, right.min)]
        node.max = [max(a, b) for a, b in zip(left.max, right.max)]
        node.split = None
        self.events["fold"] += 1

    def path_length(self, point, m):
        if self.root is None:
            return 0
        node, depth = self.root, 0
        while node.split is not None:
            node, depth = node.route(point), depth + 1
        n = node.height
        return depth + math.log2(n / m) if n >= m else depth


class OnlineIForest:
    def __init__(self, input_dim, num_trees=32, window_size=2048, max_leaf_samples=32, seed=0):
        self.config = {"input_dim": input_dim, "num_trees": num_trees, "window_size": window_size,
                       "max_leaf_samples": max_leaf_samples}
        self.events = collections.Counter()
        master = Xoshiro.seed_from_u64(seed)
        self.trees = [Tree(Xoshiro.seed_from_u64(master.next_u64()), self.events) for _ in range(num_trees)]
        self.window = collections.deque()
        self.entries_seen = 0
        self.max_depth = math.log2(float(window_size) / float(max_leaf_samples))

    def update(self, point):
        point = [f32(x) for x in point]
        m = self.config["max_leaf_samples"]
        self.window.append(point)
        for tree in self.trees:
            tree.learn(point, m, self.max_depth)
        if len(self.window) > self.config["window_size"]:
            oldest = self.window.popleft()
            for tree in self.trees:
                tree.unlearn(oldest, m)
        self.entries_seen += 1

    def score(self, point):
        point = [f32(x) for x in point]
        if not self.trees:
            return 0.0
        total = 0.0
        for tree in self.trees:
            total += tree.path_length(point, self.config["max_leaf_samples"])
        return 2.0 ** (-(total / len(self.trees)) / self.max_depth)

    def update_and_score(self, point):
        self.update(point)
        return self.score(point)

    def document(self):
        return {
            "config": dict(self.config),
            "trees": [{"root": t.root.document() if t.root else None, "rng": {"s": list(t.rng.s)}}
                      for t in self.trees],
            "window": [list(p) for p in self.window],
            "entries_seen": self.entries_seen,
        }


def narrowed(document):
    """A parsed native document with every float read back as a 32-bit value,
    as the detector reads it: comparable with `OnlineIForest.document()`."""
    if isinstance(document, float):
        return f32(document)
    if isinstance(document, list):
        return [narrowed(x) for x in document]
    if isinstance(document, dict):
        return {k: narrowed(v) for k, v in document.items()}
    return document
