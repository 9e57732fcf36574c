"""The OnlineIForest state document: byte-exact round trips, the tree rules
seen through hand-written documents, and rejection of documents the detector
could not work on."""

import copy
import json
import pickle

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from morvik3 import OnlineIForest
from rng_oracle import MASK64, Xoshiro

PREFIX = "invalid OnlineIForest JSON: "


def compact(d):
    return json.dumps(d, separators=(",", ":"))


def leaf(height, lo, hi):
    return {"height": height, "support": {"min": lo, "max": hi}, "split": None}


def internal(height, lo, hi, dimension, value, left, right):
    node = leaf(height, lo, hi)
    node["split"] = {"dimension": dimension, "value": value, "left": left, "right": right}
    return node


def document(window, root, *, input_dim=1, window_size=2, max_leaf_samples=1, rng=(1, 2, 3, 4), entries_seen=None):
    return {
        "config": {"input_dim": input_dim, "num_trees": 1, "window_size": window_size,
                   "max_leaf_samples": max_leaf_samples},
        "trees": [{"root": root, "rng": {"s": list(rng)}}],
        "window": window,
        "entries_seen": len(window) if entries_seen is None else entries_seen,
    }


def after(doc, *points):
    f = OnlineIForest.from_json(compact(doc))
    for p in points:
        f.update(p)
    return json.loads(f.to_json())


def busy():
    f = OnlineIForest(2, num_trees=3, window_size=30, max_leaf_samples=2, seed=8)
    for k in range(100):
        f.update([float(k % 7), (k * 0.37) % 3.0])
    return f


# ---------------------------------------------------------------------------
# Round trips


def through_setstate(f):
    g = OnlineIForest(1, seed=0)
    g.__setstate__(f.__getstate__())
    return g


DUPLICATES = {
    "from_json": lambda f: OnlineIForest.from_json(f.to_json()),
    "from_json bytes": lambda f: OnlineIForest.from_json(f.to_json().encode()),
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    "pickle 2": lambda f: pickle.loads(pickle.dumps(f, protocol=2)),
    "pickle 5": lambda f: pickle.loads(pickle.dumps(f, protocol=5)),
    "setstate": through_setstate,
}


@pytest.mark.parametrize("how", sorted(DUPLICATES))
def test_duplicates_are_identical_and_independent(how):
    f = busy()
    g = DUPLICATES[how](f)
    assert type(g) is OnlineIForest and g.to_json() == f.to_json()
    more = [[float(k % 5), 0.5 * k] for k in range(40)]
    assert [g.update_and_score(p) for p in more] == [f.update_and_score(p) for p in more]
    assert g.to_json() == f.to_json()
    g.update([100.0, 100.0])
    assert g.to_json() != f.to_json()


@settings(max_examples=30, deadline=None)
@given(
    points=st.lists(st.lists(st.sampled_from([0.0, 1.0, -2.5, 0.1, 3e38]) | st.floats(-1e3, 1e3), min_size=2,
                             max_size=2), max_size=80),
    window_size=st.integers(2, 12),
    seed=st.integers(0, 2**64 - 1),
)
def test_every_written_document_loads_unchanged(points, window_size, seed):
    f = OnlineIForest(2, num_trees=2, window_size=window_size, max_leaf_samples=1, seed=seed)
    for p in points:
        f.update(p)
        text = f.to_json()
        assert OnlineIForest.from_json(text).to_json() == text


def test_a_node_may_hold_more_than_twice_the_window():
    # The 0.5s fall in a depth-2 leaf that was created holding sampled points
    # the real ones never joined: its height passes 2 x (window length) + 1,
    # and the document must still load.
    f = OnlineIForest(1, num_trees=1, window_size=4, max_leaf_samples=1, seed=87)
    for p in [[0.0]] * 4 + [[1.0]] * 2 + [[0.5]] * 8:
        f.update(p)
    text = f.to_json()
    root = json.loads(text)["trees"][0]["root"]
    deep = root["split"]["right"]["split"]["left"]
    assert deep["height"] > 2 * 4 + 1
    assert OnlineIForest.from_json(text).to_json() == text


def test_reader_tolerance():
    d = json.loads(busy().to_json())
    d["extra"] = [1, {"x": None}]
    d["trees"][0]["root"]["note"] = "skipped"
    text = json.dumps(d, indent=2)
    assert OnlineIForest.from_json(text).to_json() == busy().to_json()


# ---------------------------------------------------------------------------
# Tree rules, seen through documents


def test_the_first_point_only_makes_the_root():
    f = OnlineIForest(2, num_trees=1, window_size=2, max_leaf_samples=1, seed=3)
    before = json.loads(f.to_json())["trees"][0]["rng"]
    f.update([1.0, -2.0])
    tree = json.loads(f.to_json())["trees"][0]
    assert tree["root"] == leaf(1, [1.0, -2.0], [1.0, -2.0])
    assert tree["rng"] == before  # nothing drawn


def test_depth_one_leaves_never_split_when_max_depth_is_one():
    f = OnlineIForest(1, num_trees=1, window_size=2, max_leaf_samples=1, seed=3)
    f.update([0.0])
    f.update([1.0])
    root = json.loads(f.to_json())["trees"][0]["root"]
    assert root["height"] == 2 and root["split"] is not None
    for k in range(30):
        f.update([float(k)])
    root = json.loads(f.to_json())["trees"][0]["root"]
    assert root["split"]["left"]["split"] is None and root["split"]["right"]["split"] is None


def test_identical_points_never_split():
    f = OnlineIForest(3, num_trees=2, window_size=64, max_leaf_samples=1, seed=3)
    fresh = [t["rng"] for t in json.loads(f.to_json())["trees"]]
    for _ in range(100):
        f.update([0.5, -1.0, 7.0])
    d = json.loads(f.to_json())
    assert [t["root"] for t in d["trees"]] == [leaf(64, [0.5, -1.0, 7.0], [0.5, -1.0, 7.0])] * 2
    assert [t["rng"] for t in d["trees"]] == fresh


def equal_split(window):
    # Split at 0.5: 0.0 below it, 0.5 on it.
    return document(window, internal(2, [0.0], [0.5], 0, 0.5, leaf(1, [0.0], [0.0]), leaf(1, [0.5], [0.5])))


def test_a_coordinate_equal_to_the_split_value_goes_right():
    # Learning: the right leaf takes the point (the evicted 0.0 leaves the left).
    root = after(equal_split([[0.0], [0.5]]), [0.5])["trees"][0]["root"]
    assert root["split"]["right"]["height"] == 2 and root["split"]["left"]["height"] == 0
    # Unlearning: the evicted 0.5 leaves the right leaf.
    root = after(equal_split([[0.5], [0.0]]), [0.0])["trees"][0]["root"]
    assert root["split"]["right"]["height"] == 0 and root["split"]["left"]["height"] == 2
    # Scoring, with max_depth log2(2 / 1) = 1: the right leaf of height 2 gives
    # 1 + log2(2); the left one, below M, gives its depth alone.
    f = OnlineIForest.from_json(compact(equal_split([[0.0], [0.5]])))
    f.update([0.5])
    assert f.score([0.5]) == 2.0**-2.0
    assert f.score([0.4999]) == 2.0**-1.0


def test_folding_unites_the_children_and_keeps_the_ancestors():
    # W = 8, M = 2: a depth-1 node folds below 4.  The right leaf holds
    # identical points so learning there never splits it.
    left = internal(4, [0.0], [4.0], 0, 2.0, leaf(2, [0.0], [1.0]), leaf(2, [2.0], [4.0]))
    root = internal(8, [0.0], [7.0], 0, 5.0, left, leaf(4, [7.0], [7.0]))
    window = [[0.0], [1.0], [2.0], [4.0], [7.0], [7.0], [7.0], [7.0]]
    d = after(document(window, root, window_size=8, max_leaf_samples=2), [7.0])
    got = d["trees"][0]["root"]
    assert got["height"] == 8 and got["split"]["value"] == 5.0
    assert got["split"]["left"] == leaf(3, [0.0], [4.0])
    assert got["split"]["right"] == leaf(5, [7.0], [7.0])


def inverse_step(s):
    """The generator state one step before `s`."""
    a0, a1, a2, a3 = s
    c3 = ((a3 >> 45) | (a3 << 19)) & MASK64
    b0 = a0 ^ c3
    x = a2 ^ a1
    b1 = x
    for shift in (17, 34, 51):
        b1 ^= (x << shift) & MASK64
    b2 = a1 ^ b1 ^ b0
    return [b0, b1, b2, c3 ^ b1]


def test_a_split_at_the_lowest_bound_sends_every_sample_right():
    # The state is chosen so that the draw after the split dimension is 0:
    # the split value is the support's minimum.
    state = inverse_step([0, 123, 456, 0])
    check = Xoshiro(state)
    check.next_u64()
    assert check.next_u64() == 0
    d = document([[0.0]], leaf(1, [0.0], [0.0]), window_size=4, rng=state)
    root = after(d, [1.0])["trees"][0]["root"]
    assert root["split"]["value"] == 0.0
    assert root["split"]["left"] == leaf(0, [0.0], [0.0])
    assert root["split"]["right"]["height"] == 2


def test_a_tree_whose_root_falls_to_zero_empties():
    f = OnlineIForest.from_json(compact(document([[0.0], [0.0]], leaf(0, [0.0], [0.0]))))
    f.update([0.0])  # learned (height 1), then the evicted 0.0 brings it to 0
    assert json.loads(f.to_json())["trees"][0]["root"] is None
    assert f.score([0.0]) == 1.0  # an empty tree adds nothing to the path


# ---------------------------------------------------------------------------
# Rejected documents


def test_missing_and_mistyped_fields():
    d = json.loads(busy().to_json())
    del d["window"]
    with pytest.raises(ValueError, match=r"^invalid OnlineIForest JSON: missing field `window` at line 1 column"):
        OnlineIForest.from_json(compact(d))
    d = json.loads(busy().to_json())
    d["trees"][0]["root"]["height"] = -1
    with pytest.raises(ValueError, match=r"^invalid OnlineIForest JSON: invalid value: integer `-1`, expected u64"):
        OnlineIForest.from_json(compact(d))


@pytest.mark.parametrize(
    ("config", "message"),
    [
        ({"max_leaf_samples": 8}, "window_size must be greater than max_leaf_samples"),
        ({"max_leaf_samples": 0}, "max_leaf_samples must be > 0"),
        ({"input_dim": 0}, "input_dim must be > 0"),
        ({"num_trees": 0}, "num_trees must be > 0"),
        ({"window_size": 2**64 - 1}, "window_size is too large"),
        ({"window_size": 2**64 - 2, "max_leaf_samples": 2**64 - 3}, "window_size must be greater than max_leaf_samples"),
    ],
)
def test_the_configuration_is_checked_like_the_constructor(config, message):
    d = document([], None, window_size=8, max_leaf_samples=2)
    d["config"].update(config)
    with pytest.raises(ValueError) as e:
        OnlineIForest.from_json(compact(d))
    assert str(e.value) == PREFIX + message


def valid():
    # Two window points, a root split at 0.5 and its two leaves.
    return document([[0.0], [1.0]], internal(2, [0.0], [1.0], 0, 0.5, leaf(1, [0.0], [0.0]), leaf(1, [1.0], [1.0])),
                    window_size=4)


def root_of(d):
    return d["trees"][0]["root"]


def edit(change):
    d = valid()
    change(d)
    return d


BAD = {
    "window too long": (edit(lambda d: d["window"].extend([[2.0]] * 3)),
                        "the window holds 5 points, more than window_size 4"),
    "window point length": (edit(lambda d: d["window"][1].append(2.0)),
                            "window point 1 has 2 values, expected 1"),
    "window value overflows": (edit(lambda d: d["window"][0].__setitem__(0, 1e39)),
                               "window point 0 holds a value outside the 32-bit float range"),
    "support length": (edit(lambda d: root_of(d)["support"]["min"].append(0.0)),
                       "tree 0: a node support min has 2 values, expected 1"),
    "support max length": (edit(lambda d: root_of(d)["split"]["left"]["support"].__setitem__("max", [])),
                           "tree 0: a node support max has 0 values, expected 1"),
    "support overflows": (edit(lambda d: root_of(d)["support"].__setitem__("max", [1e39])),
                          "tree 0: a node support holds a value outside the 32-bit float range"),
    "support crossed": (edit(lambda d: root_of(d)["split"]["right"]["support"].__setitem__("min", [2.0])),
                        "tree 0: a node support has min above max in dimension 0"),
    "split dimension": (edit(lambda d: root_of(d)["split"].__setitem__("dimension", 1)),
                        "tree 0: a split on dimension 1 of 1"),
    "split value overflows": (edit(lambda d: root_of(d)["split"].__setitem__("value", -1e39)),
                              "tree 0: a split value outside the 32-bit float range"),
    "missing child": (edit(lambda d: root_of(d)["split"].__setitem__("right", None)),
                      "tree 0: a split without both children"),
    "height beyond the bound": (edit(lambda d: root_of(d)["split"]["left"].__setitem__("height", 2**64 - 1)),
                                "tree 0: a node at depth 1 has height 18446744073709551615, more than its "
                                "1 window points plus 1 x (window length 2 + 1)"),
    "root above the window": (edit(lambda d: root_of(d).__setitem__("height", 3)),
                              "tree 0: a node at depth 0 has height 3, more than its 2 window points plus "
                              "0 x (window length 2 + 1)"),
}


@pytest.mark.parametrize("case", sorted(BAD))
def test_inconsistent_documents_are_rejected_and_change_nothing(case):
    d, message = BAD[case]
    with pytest.raises(ValueError) as e:
        OnlineIForest.from_json(compact(d))
    assert str(e.value) == PREFIX + message
    f = busy()
    before = f.to_json()
    with pytest.raises(ValueError):
        f.__setstate__(compact(d))
    assert f.to_json() == before


def test_the_height_bound_is_exact_at_depth_one():
    # A depth-1 leaf may hold its window point plus (window length + 1).
    for height, loads in ((1 + 3, True), (1 + 3 + 1, False)):
        d = edit(lambda d: root_of(d)["split"]["left"].__setitem__("height", height))
        if loads:
            assert OnlineIForest.from_json(compact(d)).to_json() == compact(d)
        else:
            with pytest.raises(ValueError, match="has height 5, more than its 1 window points"):
                OnlineIForest.from_json(compact(d))
