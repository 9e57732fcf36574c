"""Throughput of OnlineIForest(4) with default settings over a seeded synthetic stream.

Prints calls per second of `update`, `score` and `update_and_score` once the
window is full, the document size with `to_json` / `from_json` throughput,
and the speedup of `update_and_score` over a plain-Python sliding-window
isolation forest written below from the same description (same number of
trees, window and leaf size), both fed the first points of the stream.

    python benchmarks/onlineiforest.py              # 200,000 points
    python benchmarks/onlineiforest.py --points 20000
"""

import argparse
import collections
import json
import math
import random
import time

import morvik3
from _machine import describe
from forest import DIM, print_rows, rate, steady_state_rows, synthetic_stream, timed

BASELINE_POINTS = 2_000


class PlainNode:
    __slots__ = ("height", "lo", "hi", "dim", "value", "left", "right")

    def __init__(self, height, lo, hi):
        self.height, self.lo, self.hi = height, lo, hi
        self.dim, self.value, self.left, self.right = 0, 0.0, None, None

    def child(self, point):
        return self.left if self.value > point[self.dim] else self.right


class PlainTree:
    """One online isolation tree: heights and bounding boxes, leaves split at
    M x 2^depth by sampling their box, subtrees folded as points leave."""

    def __init__(self, rng):
        self.root, self.rng = None, rng

    def learn(self, point, m, max_depth):
        if self.root is None:
            self.root = PlainNode(1, list(point), list(point))
            return
        node, depth = self.root, 0
        while True:
            node.height += 1
            lo, hi = node.lo, node.hi
            for i, x in enumerate(point):
                if x < lo[i]:
                    lo[i] = x
                if x > hi[i]:
                    hi[i] = x
            if node.left is None:
                break
            node, depth = node.child(point), depth + 1
        if depth < max_depth and node.height >= m << depth:
            self.split(node)

    def split(self, leaf):
        lo, hi, uniform = leaf.lo, leaf.hi, self.rng.uniform
        active = [i for i in range(len(lo)) if hi[i] > lo[i]]
        if not active:
            return
        dim = active[self.rng.randrange(len(active))]
        value = uniform(lo[dim], hi[dim])
        counts, boxes = [0, 0], [None, None]
        for _ in range(leaf.height):
            sample = [uniform(a, b) if a < b else a for a, b in zip(lo, hi)]
            side = 0 if sample[dim] < value else 1
            counts[side] += 1
            box = boxes[side]
            if box is None:
                boxes[side] = (list(sample), list(sample))
            else:
                for i, x in enumerate(sample):
                    if x < box[0][i]:
                        box[0][i] = x
                    if x > box[1][i]:
                        box[1][i] = x
        if boxes[0] is None:
            boxes[0] = (list(lo), hi[:dim] + [value] + hi[dim + 1:])
        if boxes[1] is None:
            boxes[1] = (lo[:dim] + [value] + lo[dim + 1:], list(hi))
        leaf.dim, leaf.value = dim, value
        leaf.left, leaf.right = PlainNode(counts[0], *boxes[0]), PlainNode(counts[1], *boxes[1])

    def unlearn(self, point, m):
        node = self.root
        if node is None:
            return
        node.height = max(node.height - 1, 0)
        depth = 0
        while node.left is not None:
            if node.height < m << depth:
                node.lo = [min(a, b) for a, b in zip(node.left.lo, node.right.lo)]
                node.hi = [max(a, b) for a, b in zip(node.left.hi, node.right.hi)]
                node.left = node.right = None
                break
            node, depth = node.child(point), depth + 1
            node.height = max(node.height - 1, 0)
        if self.root.height == 0:
            self.root = None

    def path_length(self, point, m):
        node, depth = self.root, 0
        if node is None:
            return 0.0
        while node.left is not None:
            node, depth = node.child(point), depth + 1
        return depth + math.log2(node.height / m) if node.height >= m else depth


class PlainOnlineIForest:
    def __init__(self, num_trees, window_size, max_leaf_samples, seed):
        master = random.Random(seed)
        self.trees = [PlainTree(random.Random(master.getrandbits(64))) for _ in range(num_trees)]
        self.window = collections.deque()
        self.w, self.m = window_size, max_leaf_samples
        self.max_depth = math.log2(window_size / max_leaf_samples)

    def update_and_score(self, point):
        self.window.append(point)
        for tree in self.trees:
            tree.learn(point, self.m, self.max_depth)
        if len(self.window) > self.w:
            oldest = self.window.popleft()
            for tree in self.trees:
                tree.unlearn(oldest, self.m)
        mean = sum(tree.path_length(point, self.m) for tree in self.trees) / len(self.trees)
        return 2.0 ** (-mean / self.max_depth)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=200_000, help="length of the stream (default 200000)")
    parser.add_argument("--seed", type=int, default=7, help="seed of the stream and the detectors")
    args = parser.parse_args()

    # The baseline takes the sizes of a default detector.
    config = json.loads(morvik3.OnlineIForest(DIM).to_json())["config"]
    del config["input_dim"]
    warm = max(args.points // 10, config["window_size"])
    if args.points < warm + 300:
        parser.error(f"--points must be at least {warm + 300}")

    stream, anomalous = synthetic_stream(args.points, args.seed)
    n = len(stream)
    rows, _ = steady_state_rows(morvik3.OnlineIForest(DIM, seed=args.seed), stream, anomalous, warm)

    head = stream[: min(BASELINE_POINTS, n)]
    fresh = morvik3.OnlineIForest(DIM, seed=args.seed)
    ours = timed(fresh.update_and_score, head)
    plain = PlainOnlineIForest(seed=args.seed, **config)
    theirs = timed(plain.update_and_score, head)
    rows.append((f"plain Python, first {len(head):,} points", f"{rate(len(head), theirs):,.0f}", "points/s"))
    rows.append((f"update_and_score, same {len(head):,} points", f"{rate(len(head), ours):,.0f}", "points/s"))
    rows.append(("update_and_score speedup over plain Python", f"{theirs / ours:,.0f}", "x"))

    print(describe())
    print(f"OnlineIForest({DIM}) with defaults ({config['num_trees']} trees, window {config['window_size']}, "
          f"leaf size {config['max_leaf_samples']}), {n:,} points, seed {args.seed}, {warm:,} warm-up updates; "
          f"morvik3 {morvik3.__version__}")
    print_rows(rows)


if __name__ == "__main__":
    main()
