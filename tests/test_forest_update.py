"""Forest.update observed through the state document: tree shapes after
insertions and deletions, sampler arithmetic, shingling, readiness and
failed updates."""

import collections
import json
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from morvik3 import Forest
from rng_oracle import Xoshiro

NULL = 2**64 - 1
F32 = np.float32


def doc(forest):
    return json.loads(forest.to_json())


def node(tree, slot):
    (kind, fields), = tree["arena"]["nodes"][slot].items()
    return kind, fields


def store_row(point_store, row):
    dim = point_store["dim"]
    return point_store["store"]["data"][row * dim:(row + 1) * dim]


def next_down(x):
    return float(np.nextafter(F32(x), F32(-np.inf)))


# ---------------------------------------------------------------------------
# Bookkeeping of a whole document, recomputed from scratch


def subtree(tree, point_store, slot, seen):
    """Checks the subtree at `slot`; returns (mass, box min, box max, leaf rows)."""
    assert slot not in seen, f"slot {slot} reached twice"
    seen.add(slot)
    kind, n = node(tree, slot)
    if kind == "Leaf":
        assert n["mass"] >= 1
        assert point_store["occupied"][n["point_idx"]]
        row = [F32(v) for v in store_row(point_store, n["point_idx"])]
        return n["mass"], row, row, collections.Counter({n["point_idx"]: n["mass"]})
    lm, lmin, lmax, lrows = subtree(tree, point_store, n["left"], seen)
    rm, rmin, rmax, rrows = subtree(tree, point_store, n["right"], seen)
    c, t = n["cut_dim"], F32(n["cut_val"])
    assert lmax[c] <= t < rmin[c], "the cut must separate the children"
    assert n["mass"] == lm + rm
    lo = [min(a, b) for a, b in zip(lmin, rmin)]
    hi = [max(a, b) for a, b in zip(lmax, rmax)]
    box = n["bbox"]
    assert [F32(v) for v in box["min"]] == lo and [F32(v) for v in box["max"]] == hi
    # Widths are single-precision differences summed as doubles.
    range_sum = math.inf if box["range_sum"] is None else box["range_sum"]
    assert range_sum == sum(float(b - a) for a, b in zip(lo, hi))
    return n["mass"], lo, hi, lrows + rrows


def check_books(d):
    """Every tree is a well-formed cut tree holding exactly its sampler's rows,
    and the store's reference counts and occupancy agree with the samplers."""
    ps = d["point_store"]
    held = collections.Counter()
    for tree, sampler in zip(d["trees"], d["samplers"], strict=True):
        rows = collections.Counter(sampler["point_indices"][: sampler["size"]])
        held += rows
        nodes, live = tree["arena"]["nodes"], set()
        if tree["root"] == NULL:
            assert tree["tree_mass"] == 0 and sampler["size"] == 0
        else:
            mass, _, _, leaves = subtree(tree, ps, tree["root"], live)
            assert mass == tree["tree_mass"] == sampler["size"]
            assert leaves == rows
        vacant = {k for k, n in enumerate(nodes) if n is None}
        assert live | vacant == set(range(len(nodes))), "every slot is live or vacated"
        assert sorted(tree["arena"]["free"]) == sorted(vacant)
        w = [-math.inf if v is None else v for v in sampler["weights"]]
        assert all(w[(i - 1) // 2] >= w[i] for i in range(1, sampler["size"])), "heap order"
    for r in range(ps["capacity"]):
        assert ps["ref_count"][r] == held[r], f"row {r}"
        assert ps["occupied"][r] == (held[r] > 0), f"row {r}"
    assert ps["size"] == sum(ps["occupied"])
    assert set(ps["free_list"]) == {r for r in range(ps["next_free"]) if not ps["occupied"][r]}


# ---------------------------------------------------------------------------
# Insertion and deletion shapes


def test_first_insert_is_a_lone_leaf_and_draws_nothing():
    f = Forest(2, num_trees=3, capacity=4, initial_accept_fraction=1.0, seed=4)
    fresh = doc(f)
    f.update([1.5, -2.0])
    d = doc(f)
    for before, tree in zip(fresh["trees"], d["trees"]):
        assert tree["root"] == 0 and tree["tree_mass"] == 1
        assert tree["arena"] == {"nodes": [{"Leaf": {"point_idx": 0, "mass": 1}}], "free": []}
        assert tree["rng"] == before["rng"]
    assert store_row(d["point_store"], 0) == [1.5, -2.0]


def test_second_distinct_point_splits_the_wide_dimension_with_one_draw():
    f = Forest(2, num_trees=5, capacity=4, initial_accept_fraction=1.0, seed=8)
    f.update([0.0, 0.0])
    before = doc(f)
    f.update([1.0, 0.0])
    d = doc(f)
    for was, tree in zip(before["trees"], d["trees"]):
        rng = Xoshiro(was["rng"]["s"])
        # Only dimension 0 has width (1.0), so the cut is 0 + u, kept below 1.
        cut = min(float(F32(rng.unit_f64())), next_down(1.0))
        assert tree["rng"]["s"] == rng.s, "exactly one draw for the split"
        assert tree["root"] == 2
        assert node(tree, 0) == ("Leaf", {"point_idx": 0, "mass": 1})
        assert node(tree, 1) == ("Leaf", {"point_idx": 1, "mass": 1})
        kind, internal = node(tree, 2)
        # The document writes the shortest text that reads back as the same float32.
        assert kind == "Internal" and F32(internal.pop("cut_val")) == F32(cut)
        assert internal == {"left": 0, "right": 1, "cut_dim": 0, "mass": 2,
                            "bbox": {"min": [0.0, 0.0], "max": [1.0, 0.0], "range_sum": 1.0}}


def test_repeated_point_merges_into_the_first_row():
    f = Forest(2, num_trees=4, capacity=8, initial_accept_fraction=1.0, seed=2)
    f.update([1.0, 2.0])
    before = doc(f)
    f.update([1.0, 2.0])
    d = doc(f)
    for was, tree, sampler in zip(before["trees"], d["trees"], d["samplers"]):
        assert tree["arena"]["nodes"] == [{"Leaf": {"point_idx": 0, "mass": 2}}]
        assert tree["tree_mass"] == 2 and tree["rng"] == was["rng"]
        assert sampler["point_indices"][:2] == [0, 0]
    ps = d["point_store"]
    # The second row was handed out for the update, then given back at once.
    assert ps["ref_count"][:2] == [8, 0] and ps["occupied"][:2] == [True, False]
    assert ps["free_list"] == [1] and ps["next_free"] == 2 and ps["size"] == 1
    f.update([3.0, 4.0])
    assert doc(f)["trees"][0]["arena"]["nodes"][1] == {"Leaf": {"point_idx": 1, "mass": 1}}


def feed_until_sampler_changes(f, start):
    """Feeds distinct points until the single sampler takes one; returns the
    documents before and after that update and the point that was taken."""
    for k in range(500):
        before = doc(f)
        point = [start + k]
        f.update(point)
        after = doc(f)
        if after["samplers"] != before["samplers"]:
            return before, after, point
    pytest.fail("the sampler never accepted a point")


def test_deleting_one_copy_of_a_duplicate_keeps_the_layout():
    f = Forest(1, num_trees=1, capacity=2, initial_accept_fraction=1.0, seed=6)
    f.update([7.0])
    f.update([7.0])
    before, after, point = feed_until_sampler_changes(f, 100.0)
    assert before["trees"][0]["arena"]["nodes"] == [{"Leaf": {"point_idx": 0, "mass": 2}}]
    tree = after["trees"][0]
    # The reused row 1 takes the new point; the duplicate leaf keeps slot 0 with one copy left.
    assert node(tree, 0) == ("Leaf", {"point_idx": 0, "mass": 1})
    assert node(tree, 1) == ("Leaf", {"point_idx": 1, "mass": 1})
    kind, root = node(tree, 2)
    assert tree["root"] == 2 and kind == "Internal" and root["mass"] == 2
    assert {root["left"], root["right"]} == {0, 1}
    assert store_row(after["point_store"], 1) == point
    assert after["point_store"]["ref_count"][:2] == [1, 1]
    check_books(after)


def test_deleting_a_leaf_under_the_root_frees_leaf_then_parent():
    f = Forest(1, num_trees=1, capacity=2, initial_accept_fraction=1.0, seed=3)
    f.update([1.0])
    f.update([2.0])
    before, after, point = feed_until_sampler_changes(f, 100.0)
    assert before["trees"][0]["root"] == 2
    evicted = before["samplers"][0]["point_indices"][0]
    leaf_slot = next(k for k in (0, 1) if node(before["trees"][0], k)[1]["point_idx"] == evicted)
    sibling = 1 - leaf_slot
    tree = after["trees"][0]
    # Freed leaf first, then parent: the new leaf gets the parent's old slot 2,
    # and the new internal node the evicted leaf's slot.
    assert tree["arena"]["free"] == []
    assert node(tree, 2) == ("Leaf", {"point_idx": 2, "mass": 1})
    assert tree["root"] == leaf_slot
    kind, root = node(tree, leaf_slot)
    assert kind == "Internal" and {root["left"], root["right"]} == {sibling, 2}
    ps = after["point_store"]
    assert store_row(ps, 2) == point
    assert ps["occupied"][evicted] is False and ps["free_list"] == [evicted] and ps["size"] == 2
    check_books(after)


def test_single_slot_forest_keeps_one_row():
    f = Forest(1, num_trees=1, capacity=1, seed=9)
    rows_seen = set()
    for k in range(150):
        f.update([float((k * 37) % 101)])
        d = doc(f)
        ps, tree = d["point_store"], d["trees"][0]
        assert ps["size"] == 1 and ps["next_free"] <= 2
        # Deleting the root leaf vacates slot 0, and the insert takes it straight back.
        assert tree["arena"]["nodes"] == [{"Leaf": {"point_idx": d["samplers"][0]["point_indices"][0], "mass": 1}}]
        rows_seen.add(d["samplers"][0]["point_indices"][0])
    assert rows_seen == {0, 1}, "the two rows take turns"


# Hypothesis draws coarse values so that duplicates, evictions of duplicate
# leaves and re-use of vacated slots are all common.
coarse = st.integers(-3, 3).map(lambda v: v * 0.5)


@settings(max_examples=40, deadline=None)
@given(
    stream=st.lists(st.tuples(coarse, coarse), min_size=1, max_size=120),
    capacity=st.integers(1, 6),
    num_trees=st.integers(1, 4),
    shingle_size=st.integers(1, 3),
    seed=st.integers(0, 2**64 - 1),
)
def test_books_stay_exact_over_random_streams(stream, capacity, num_trees, shingle_size, seed):
    f = Forest(2, shingle_size=shingle_size, num_trees=num_trees, capacity=capacity, seed=seed)
    for k, point in enumerate(stream):
        f.update(point)
        if k % 10 == 0 or k == len(stream) - 1:
            check_books(doc(f))
    d = doc(f)
    assert d["entries_seen"] == d["point_store"]["entries_seen"] == len(stream)
    # The store never needs more rows than it started with.
    assert d["point_store"]["capacity"] == max(capacity * num_trees + 1, 2 * capacity)


# ---------------------------------------------------------------------------
# Sampler arithmetic, replayed from the forest generator


class SamplerOracle:
    """The samplers' decisions and heaps, replayed in plain Python from the
    forest generator's initial state."""

    def __init__(self, state, num_trees, capacity, decay, accept):
        self.rng = Xoshiro(state)
        self.capacity, self.decay, self.accept = capacity, decay, accept
        self.heaps = [[] for _ in range(num_trees)]  # (weight, seq) in heap order

    def weight(self, seq):
        u = min(max(self.rng.unit_f64(), 2.0**-52), 1.0 - 2.0**-52)
        return math.log(-math.log(u)) - seq * self.decay

    def admit(self, seq):
        for heap in self.heaps:
            w = self.weight(seq)
            if len(heap) < self.capacity:
                f, a = len(heap) / self.capacity, self.accept
                p = 1.0 if f < a else 0.0 if a >= 1.0 else 1.0 - (f - a) / (1.0 - a)
                if self.rng.unit_f64() < p:
                    heap.append((w, seq))
                    i = len(heap) - 1
                    while i > 0 and heap[i][0] > heap[(i - 1) // 2][0]:
                        heap[i], heap[(i - 1) // 2] = heap[(i - 1) // 2], heap[i]
                        i = (i - 1) // 2
            elif w < heap[0][0]:
                heap[0] = (w, seq)
                i = 0
                while True:
                    best = i
                    for child in (2 * i + 1, 2 * i + 2):
                        if child < len(heap) and heap[child][0] > heap[best][0]:
                            best = child
                    if best == i:
                        break
                    heap[i], heap[best] = heap[best], heap[i]
                    i = best


@pytest.mark.parametrize(
    ("capacity", "num_trees", "accept", "time_decay", "updates"),
    [
        (8, 4, 0.125, 0.0, 120),
        (8, 3, 0.0, 0.0, 60),
        (5, 3, 1.0, 0.0, 40),
        (16, 2, 0.5, 0.02, 200),
        (1, 2, 0.125, 0.0, 50),
        (4, 2, 1.0, 1e308, 12),  # from the second observation on every weight is -inf
    ],
)
def test_samplers_follow_the_weight_and_acceptance_rules(capacity, num_trees, accept, time_decay, updates):
    f = Forest(2, num_trees=num_trees, capacity=capacity, time_decay=time_decay,
               initial_accept_fraction=accept, seed=capacity * 100 + num_trees)
    decay = time_decay if time_decay else 0.1 / capacity
    oracle = SamplerOracle(doc(f)["rng"]["s"], num_trees, capacity, decay, accept)
    points = {}
    for seq in range(1, updates + 1):
        points[seq] = [float(seq), float(-seq)]  # all distinct, so no leaf merges
        f.update(points[seq])
        oracle.admit(seq)
    d = doc(f)
    assert d["rng"]["s"] == oracle.rng.s
    for sampler, heap in zip(d["samplers"], oracle.heaps):
        assert sampler["size"] == len(heap)
        # A weight of -inf is written as null.
        assert sampler["weights"][: len(heap)] == [None if math.isinf(w) else w for w, _ in heap]
        # Each heap entry's row holds the point of the observation it was drawn for.
        for row, (_, seq) in zip(sampler["point_indices"], heap):
            assert store_row(d["point_store"], row) == points[seq]
    check_books(d)


# ---------------------------------------------------------------------------
# Shingling and readiness


def test_shingle_warmup_only_rolls_and_counts():
    f = Forest(2, shingle_size=3, num_trees=3, capacity=4, seed=5)
    fresh = doc(f)
    f.update([1.0, 2.0])
    d = doc(f)
    assert d["point_store"]["shingle_buf"] == [0.0, 0.0, 0.0, 0.0, 1.0, 2.0]
    f.update([3.0, 4.0])
    d = doc(f)
    assert d["point_store"]["shingle_buf"] == [0.0, 0.0, 1.0, 2.0, 3.0, 4.0]
    assert d["rng"] == fresh["rng"] and d["samplers"] == fresh["samplers"] and d["trees"] == fresh["trees"]
    assert d["point_store"]["size"] == 0 and d["entries_seen"] == 2 and d["point_store"]["entries_seen"] == 2
    f.update([5.0, 6.0])
    d = doc(f)
    assert d["rng"] != fresh["rng"]
    assert store_row(d["point_store"], 0) == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
    f.update([7.0, 8.0])
    assert doc(f)["point_store"]["shingle_buf"] == [3.0, 4.0, 5.0, 6.0, 7.0, 8.0]


def test_external_shingling_stores_the_point_as_given():
    f = Forest(2, shingle_size=3, internal_shingling=False, num_trees=2, capacity=4, seed=5)
    f.update([1, 2, 3, 4, 5, 6])
    d = doc(f)
    assert store_row(d["point_store"], 0) == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
    assert d["point_store"]["shingle_buf"] == [0.0] * 6


@pytest.mark.parametrize(
    ("kwargs", "ready_at"),
    [
        ({}, 66),
        ({"output_after": 1}, 2),
        ({"shingle_size": 4}, 69),
        ({"shingle_size": 4, "output_after": 10, "internal_shingling": False}, 11),
        ({"capacity": 10}, 4),
        ({"capacity": 10, "shingle_size": 2, "output_after": 3}, 5),
        ({"shingle_size": 3, "output_after": 2**64 - 1}, math.inf),  # the threshold saturates
    ],
)
def test_readiness_turns_true_after_the_threshold(kwargs, ready_at):
    f = Forest(1, num_trees=2, seed=1, **kwargs)
    width = 1 if kwargs.get("internal_shingling", True) else kwargs.get("shingle_size", 1)
    for k in range(1, min(ready_at, 70) + 5):
        f.update([float(k % 3)] * width)
        assert f.is_ready() is (k >= ready_at), k
        assert f.entries_seen() == k


# ---------------------------------------------------------------------------
# Failed updates change nothing

FAILURES = [
    ({}, [1.0, 2.0], "dimension mismatch: expected 3, got 2"),
    ({}, [], "dimension mismatch: expected 3, got 0"),
    ({"shingle_size": 2}, [1.0] * 6, "dimension mismatch: expected 3, got 6"),
    ({"shingle_size": 2, "internal_shingling": False}, [1.0] * 3, "dimension mismatch: expected 6, got 3"),
    ({}, [1.0, math.nan, 2.0], "point values must be finite"),
    ({}, [math.inf, 0.0, 0.0], "point values must be finite"),
    ({"shingle_size": 2, "internal_shingling": False}, [0.0] * 5 + [-math.inf], "point values must be finite"),
    ({}, [1e39, 0.0, 0.0], "point values must be finite"),  # overflows a single-precision float
    ({}, [math.nan, math.nan], "dimension mismatch: expected 3, got 2"),  # the length is checked first
]


@pytest.mark.parametrize("method", ["update", "update_and_score"])
@pytest.mark.parametrize(("kwargs", "point", "message"), FAILURES)
def test_failed_update_leaves_the_document_byte_identical(method, kwargs, point, message):
    # Full samplers, so that the refused point would otherwise have evicted.
    f = Forest(3, num_trees=3, capacity=4, initial_accept_fraction=1.0, seed=12, **kwargs)
    width = 3 if kwargs.get("internal_shingling", True) else 6
    for k in range(40):
        f.update([float((k * 7 + j) % 5) for j in range(width)])
    before = f.to_json()
    with pytest.raises(ValueError) as info:
        getattr(f, method)(point)
    assert str(info.value) == message
    assert f.to_json() == before


# ---------------------------------------------------------------------------
# Determinism


@settings(max_examples=20, deadline=None)
@given(
    stream=st.lists(st.tuples(coarse, st.floats(-1e6, 1e6, width=32)), min_size=1, max_size=80),
    seed=st.integers(0, 2**64 - 1),
)
def test_one_seed_and_one_stream_give_one_document(stream, seed):
    a = Forest(2, num_trees=4, capacity=8, seed=seed)
    b = Forest(2, num_trees=4, capacity=8, seed=seed)
    for point in stream:
        a.update(point)
        b.update(point)
        assert a.to_json() == b.to_json()
