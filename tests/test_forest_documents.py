"""The Forest state document: byte-exact round trips through every path,
tolerant reading, and rejection of malformed or inconsistent documents."""

import copy
import json
import math
import pickle
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from morvik3 import Forest

PREFIX = "invalid forest JSON: "
NULL = 2**64 - 1


def compact(d):
    return json.dumps(d, separators=(",", ":"))


def busy_forest():
    """Past warm-up, with vacated node slots, released rows and duplicate leaves."""
    f = Forest(2, shingle_size=2, num_trees=3, capacity=8, seed=5)
    rng = np.random.default_rng(8)
    for p in rng.integers(0, 2, size=(150, 2)):
        f.update([float(p[0]), p[1] * 0.5])
    return f


@pytest.fixture(scope="module")
def busy_text():
    text = busy_forest().to_json()
    d = json.loads(text)
    assert d["point_store"]["free_list"], "the fixture needs a released row"
    assert any(n is None for n in d["trees"][0]["arena"]["nodes"]), "the fixture needs a vacated slot"
    return text


# ---------------------------------------------------------------------------
# Round trips

def through_setstate(f):
    g = Forest(1, seed=0)
    g.__setstate__(f.__getstate__())
    return g


DUPLICATES = {
    "from_json": lambda f: Forest.from_json(f.to_json()),
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    "pickle 2": lambda f: pickle.loads(pickle.dumps(f, protocol=2)),
    "pickle 5": lambda f: pickle.loads(pickle.dumps(f, protocol=5)),
    "setstate": through_setstate,
}

streams = st.lists(
    st.lists(st.one_of(st.integers(-3, 3).map(float), st.floats(-(2.0**100), 2.0**100, width=32)), min_size=2, max_size=2),
    max_size=60,
)


@settings(max_examples=20, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    stream=streams,
    more=streams,
    shape=st.sampled_from([(1, True), (3, True), (3, False)]),
    seed=st.integers(0, 2**64 - 1),
)
def test_every_duplicate_is_byte_identical_and_independent(stream, more, shape, seed):
    shingle_size, internal = shape
    f = Forest(2, shingle_size=shingle_size, internal_shingling=internal, num_trees=3, capacity=6, seed=seed)
    width = 2 if internal else 2 * shingle_size
    for p in stream:
        f.update((p * shingle_size)[:width])
    text = f.to_json()
    queries = [[0.0] * width, [1e30] * width, [math.inf] * width] + [(p * shingle_size)[:width] for p in stream[:3]]
    scores = [(f.score(q), f.density(q), f.attribution(q)) for q in queries]
    twins = {name: make(f) for name, make in DUPLICATES.items()}
    for name, twin in twins.items():
        assert twin.to_json() == text, name
        assert repr(twin) == repr(f)
        assert [(twin.score(q), twin.density(q), twin.attribution(q)) for q in queries] == scores, name
    # Each continues the same random streams, on its own.
    for p in more:
        for twin in twins.values():
            twin.update((p * shingle_size)[:width])
    assert f.to_json() == text
    after = {twin.to_json() for twin in twins.values()}
    assert len(after) == 1


@pytest.mark.parametrize(
    "call",
    [
        lambda f, tmp: f.save_json(tmp / "missing" / "forest.json"),
        lambda f, tmp: Forest.load_json(tmp / "missing.json"),
        lambda f, tmp: Forest.load_json(tmp),
    ],
    ids=["save into a missing directory", "load a missing file", "load a directory"],
)
def test_file_errors(tmp_path, call, busy_text):
    f = Forest.from_json(busy_text)
    with pytest.raises(RuntimeError, match=r"^I/O error: \S"):
        call(f, tmp_path)
    assert f.to_json() == busy_text


def stream_through(values, **kwargs):
    f = Forest(1, num_trees=3, capacity=4, initial_accept_fraction=1.0, seed=6, **kwargs)
    for v in values:
        f.update([v])
    return f


@pytest.mark.parametrize(
    ("forest", "written_null"),
    [
        # The root box spans 6e38, beyond the largest float: its range_sum is +inf.
        (lambda: stream_through([-3e38, 3e38, 1.0, 2.0, 5.0, -7.0]), '"range_sum":null'),
        # From the second observation on, seq * decay overflows: weights are -inf.
        (lambda: stream_through([1.0, 2.0, 3.0], time_decay=1e308), '"weights":[-1e308,null,null,0.0]'),
    ],
    ids=["range_sum", "weights"],
)
def test_infinities_in_the_model_reload_byte_for_byte(forest, written_null):
    f = forest()
    text = f.to_json()
    assert written_null in text
    g = Forest.from_json(text)
    assert g.to_json() == text
    for q in ([0.0], [3.4e38], [-math.inf], [2.0]):
        assert g.score(q) == f.score(q) and math.isfinite(g.score(q))
    for v in (4.0, -2e38, 2e38, 1.5):
        f.update([v])
        g.update([v])
    assert g.to_json() == f.to_json()


@pytest.mark.parametrize(
    ("old", "new", "expected"),
    [
        ('"time_decay":0.0', '"time_decay":null', "f64"),
        ('"initial_accept_fraction":0.125', '"initial_accept_fraction":null', "f64"),
        ('"cut_val":', '"cut_val":null,"x":', "f32"),
        ('"min":[', '"min":[null,', "f32"),
        ('"data":[', '"data":[null,', "f32"),
        ('"shingle_buf":[', '"shingle_buf":[null,', "f32"),
        ('"entries_seen":150,', '"entries_seen":null,', "u64"),
    ],
)
def test_null_is_read_only_for_range_sums_and_weights(busy_text, old, new, expected):
    text = busy_text.replace(old, new, 1)
    assert text != busy_text
    with pytest.raises(ValueError) as info:
        Forest.from_json(text)
    assert str(info.value).startswith(f"{PREFIX}invalid type: null, expected {expected} at line 1 column ")


def test_integral_doubles_keep_a_decimal_point_and_floats_print_short():
    f = Forest(2, capacity=2048, time_decay=2048, num_trees=1, seed=1)
    f.update([0.1, 1e-7])
    text = f.to_json()
    assert '"capacity":2048,' in text and '"time_decay":2048.0,' in text
    assert '"shingle_buf":[0.1,1e-7]' in text


# ---------------------------------------------------------------------------
# Tolerant reading


def reorder(value):
    if isinstance(value, dict):
        return {k: reorder(v) for k, v in reversed(value.items())}
    if isinstance(value, list):
        return [reorder(v) for v in value]
    return value


def add_extra_keys(value):
    if isinstance(value, dict) and list(value) != ["v", "dim", "data"]:
        return {"zz_extra": {"n": [1, None, {"deep": "x"}]}, **{k: add_extra_keys(v) for k, v in value.items()}}
    if isinstance(value, list):
        return [add_extra_keys(v) for v in value]
    return value


@pytest.mark.parametrize(
    "rewrite",
    [
        lambda d: json.dumps(d, indent="\t"),
        lambda d: "\n\t  " + compact(d) + " \r\n",
        lambda d: compact(reorder(d)),
        # Extra keys in every record; not beside a node's variant tag nor in the array objects.
        lambda d: compact({**add_extra_keys({k: v for k, v in d.items() if k != "trees"}), "trees": d["trees"]}),
        lambda d: compact({**d, "config": list(d["config"].values())}),
    ],
    ids=["indented", "surrounding whitespace", "keys reversed", "extra keys", "record as array"],
)
def test_equivalent_spellings_load_to_the_same_forest(busy_text, rewrite):
    text = rewrite(json.loads(busy_text))
    assert text != busy_text
    assert Forest.from_json(text).to_json() == busy_text


@pytest.mark.parametrize(
    "path",
    [
        ("config",), ("trees",), ("samplers",), ("point_store",), ("entries_seen",), ("rng",),
        ("config", "initial_accept_fraction"), ("trees", 0, "arena"), ("trees", 1, "dims"),
        ("trees", 0, "arena", "free"), ("samplers", 2, "point_indices"), ("point_store", "shingle_buf"),
        ("point_store", "store", "v"), ("rng", "s"),
    ],
)
def test_a_missing_key_is_named(busy_text, path):
    d = json.loads(busy_text)
    parent = d
    for key in path[:-1]:
        parent = parent[key]
    del parent[path[-1]]
    with pytest.raises(ValueError) as info:
        Forest.from_json(compact(d))
    assert str(info.value).startswith(f"{PREFIX}missing field `{path[-1]}` at line 1 column ")


# ---------------------------------------------------------------------------
# Malformed and inconsistent documents


@pytest.mark.parametrize(
    ("edit", "message"),
    [
        (lambda t: "", "EOF while parsing a value"),
        (lambda t: b"\xff\xfe", "expected value"),
        (lambda t: "null", "invalid type: null, expected struct Forest"),
        (lambda t: "42", "invalid type: integer `42`, expected struct Forest"),
        (lambda t: "[]", "invalid length 0, expected struct Forest with 6 elements"),
        (lambda t: '{"config":1}', "invalid type: integer `1`, expected struct MorvikConfig"),
        (lambda t: t[:-1], "EOF while parsing an object"),
        (lambda t: t + "x", "trailing characters"),
        (lambda t: t.replace('"entries_seen":150,', '"entries_seen":-1,'), "invalid value: integer `-1`, expected u64"),
        (lambda t: t.replace('"entries_seen":150,', '"entries_seen":1.5,'),
         "invalid type: floating point `1.5`, expected u64"),
        (lambda t: t.replace('"entries_seen":150,', '"entries_seen":150,"entries_seen":150,'),
         "duplicate field `entries_seen`"),
        (lambda t: t.replace('"v":1', '"v":2', 1), "unknown array version: 2"),
        (lambda t: re.sub(r'"dim":\[(\d+),4\]', r'"dim":[\1,5]', t, count=1), "data and dimension must match in size"),
        (lambda t: re.sub(r'"s":\[\d+,', '"s":[', t, count=1), "invalid length 3"),
        (lambda t: t[:-1] + ',"x":' + "[" * 200 + "]" * 200 + "}", "recursion limit exceeded"),
        (lambda t: t.replace('{"Leaf":', '{"Branch":', 1), "unknown variant `Branch`"),
    ],
    ids=["empty", "not UTF-8", "null", "number", "empty array", "config type", "truncated", "trailing text",
         "negative count", "fractional count", "duplicate key", "array version", "array shape", "short generator",
         "deep nesting", "unknown node kind"],
)
def test_malformed_documents_are_rejected_with_the_position(busy_text, edit, message):
    text = edit(busy_text)
    assert text != busy_text
    with pytest.raises(ValueError) as info:
        Forest.from_json(text)
    assert re.fullmatch(re.escape(PREFIX + message) + r".* at line 1 column \d+", str(info.value))


def tree0(d):
    return d["trees"][0]


def nodes0(d):
    return tree0(d)["arena"]["nodes"]


def first(d, kind, tree=0):
    nodes = d["trees"][tree]["arena"]["nodes"]
    return next(n[kind] for n in nodes if n is not None and kind in n)


def vacant(d):
    return nodes0(d).index(None)


def ps(d):
    return d["point_store"]


def free_row(d):
    return ps(d)["free_list"][-1]


def occupy_a_free_row(d):
    r = ps(d)["free_list"].pop()
    ps(d)["occupied"][r] = True
    ps(d)["size"] += 1


def shrink_store(d):
    ps(d)["store"]["dim"][0] -= 1
    del ps(d)["store"]["data"][-4:]


def share_a_child(d):
    root = nodes0(d)[tree0(d)["root"]]["Internal"]
    inner, other = root["left"], root["right"]
    if "Internal" not in nodes0(d)[inner]:
        inner, other = other, inner
    nodes0(d)[inner]["Internal"]["left"] = other


def give_rows_to_the_wrong_trees(d):
    a, b = d["samplers"][0], d["samplers"][1]
    for key in ("point_indices", "weights"):
        a[key], b[key] = b[key], a[key]


def set_row_value(d, row, value):
    ps(d)["store"]["data"][row * ps(d)["dim"]] = value


# The busy forest: 3 trees, dims 4, a store of 25 rows; each entry names the rule that must fire.
INCONSISTENT = {
    "config": (lambda d: d["config"].update(capacity=0), "capacity must be > 0"),
    "tree count": (lambda d: d["trees"].pop(), "the document has 2 trees for num_trees 3"),
    "sampler count": (lambda d: d["samplers"].append(d["samplers"][0]), "the document has 4 samplers for num_trees 3"),
    "input_dim": (lambda d: d["config"].update(input_dim=3), "differs from input_dim * shingle_size 6"),
    "store dim": (lambda d: ps(d).update(dim=2), "point store dim 2 differs from input_dim * shingle_size 4"),
    "store shingling": (lambda d: ps(d).update(internal_shingling=False), "point store shingling differs"),
    "store shape": (shrink_store, "point store array is 24 x 4, expected capacity 25 x dim 4"),
    "occupied length": (lambda d: ps(d)["occupied"].pop(), "point store occupied has 24 entries"),
    "ref_count length": (lambda d: ps(d)["ref_count"].append(0), "point store ref_count has 26 entries"),
    "shingle length": (lambda d: ps(d)["shingle_buf"].pop(), "shingle buffer has 3 values, expected 4"),
    "next_free": (lambda d: ps(d).update(next_free=26), "next_free 26 exceeds its capacity 25"),
    "size": (lambda d: ps(d).update(size=ps(d)["size"] + 1), "point store size"),
    "free list range": (lambda d: ps(d)["free_list"].append(ps(d)["next_free"]), "is not below next_free"),
    "free list occupied": (lambda d: ps(d)["free_list"].append(d["samplers"][0]["point_indices"][0]), "is occupied"),
    "free list twice": (lambda d: ps(d)["free_list"].append(free_row(d)), "twice"),
    "leaked row": (lambda d: ps(d)["free_list"].pop(), "is neither occupied nor on the free list"),
    "occupied unheld": (occupy_a_free_row, "is occupied but no sampler holds it"),
    "ref_count": (lambda d: ps(d)["ref_count"].__setitem__(d["samplers"][1]["point_indices"][0], 99), "has ref_count"),
    "sampler row free": (lambda d: d["samplers"][0]["point_indices"].__setitem__(0, free_row(d)),
                         "which is not an occupied point-store row"),
    "sampler row range": (lambda d: d["samplers"][0]["point_indices"].__setitem__(0, NULL),
                          "holds row 18446744073709551615"),
    "sampler heap": (lambda d: d["samplers"][2]["weights"].reverse(), "not in heap order"),
    "sampler capacity": (lambda d: d["samplers"][1].update(capacity=9), "sampler 1 capacity 9 differs"),
    "sampler vectors": (lambda d: d["samplers"][1]["weights"].pop(), "vectors differ in length"),
    "sampler size": (lambda d: d["samplers"][1].update(size=9), "size 9 exceeds its capacity"),
    "tree dims": (lambda d: tree0(d).update(dims=3), "tree 0 dims 3 differs"),
    "root outside": (lambda d: tree0(d).update(root=len(nodes0(d))), "is not a live node"),
    "root vacant": (lambda d: tree0(d).update(root=vacant(d)), "is not a live node"),
    "child outside": (lambda d: first(d, "Internal").update(left=1000), "has child 1000 outside the arena"),
    "child vacant": (lambda d: first(d, "Internal").update(right=vacant(d)), "a vacated slot"),
    "same child": (lambda d: first(d, "Internal").update(right=first(d, "Internal")["left"]),
                   "the same child on both sides"),
    "cycle": (lambda d: nodes0(d)[tree0(d)["root"]]["Internal"].update(left=tree0(d)["root"]), "is reached twice"),
    "shared child": (share_a_child, "is reached twice"),
    "orphan": (lambda d: nodes0(d).append({"Leaf": {"point_idx": 0, "mass": 1}}), "is not reachable from the root"),
    "leaf row": (lambda d: first(d, "Leaf").update(point_idx=free_row(d)), "which is not an occupied point-store row"),
    "leaf outside the store": (lambda d: first(d, "Leaf").update(point_idx=NULL),
                               "which is not an occupied point-store row"),
    "leaf mass 0": (lambda d: first(d, "Leaf").update(mass=0), "is a leaf of mass 0"),
    "mass sum": (lambda d: first(d, "Internal", 1).update(mass=first(d, "Internal", 1)["mass"] + 1),
                 "differs from the sum of its children's masses"),
    "tree_mass": (lambda d: d["trees"][1].update(tree_mass=d["trees"][1]["tree_mass"] + 1), "tree 1 tree_mass"),
    "cut_dim": (lambda d: first(d, "Internal").update(cut_dim=4), "cuts dimension 4 of 4"),
    "cut_val": (lambda d: first(d, "Internal").update(cut_val=1e30), "cut does not separate its children"),
    "box length": (lambda d: first(d, "Internal")["bbox"]["max"].append(0.0), "box length differs from dims"),
    "box value": (lambda d: first(d, "Internal")["bbox"]["min"].__setitem__(0, -100.0), "box differs from the merge"),
    "range_sum": (lambda d: first(d, "Internal")["bbox"].update(range_sum=123.0), "range_sum differs from its box"),
    "arena free range": (lambda d: tree0(d)["arena"]["free"].append(5000), "free list entry 5000 is outside the arena"),
    "arena free live": (lambda d: tree0(d)["arena"]["free"].append(tree0(d)["root"]), "is an occupied slot"),
    "arena free twice": (lambda d: tree0(d)["arena"]["free"].append(vacant(d)), "holds slot"),
    "arena leak": (lambda d: tree0(d)["arena"]["free"].clear(), "is vacant but not on the free list"),
    "empty tree mass": (lambda d: d["trees"][2].update(root=NULL), "tree 2 is empty but has tree_mass 8"),
    "sampler vs leaves": (give_rows_to_the_wrong_trees, "leaves differ from the rows its sampler holds"),
    "shingle value beyond float32": (lambda d: ps(d)["shingle_buf"].__setitem__(0, 1e39), "non-finite"),
    # Rows that hold no live point are written too, so they must be readable again.
    "released row beyond float32": (lambda d: set_row_value(d, free_row(d), 1e39), "non-finite"),
    "unused row beyond float32": (lambda d: set_row_value(d, ps(d)["capacity"] - 1, -1e39), "non-finite"),
}


@pytest.mark.parametrize("corrupt", list(INCONSISTENT))
def test_inconsistent_documents_are_rejected(busy_text, corrupt):
    d = json.loads(busy_text)
    edit, fragment = INCONSISTENT[corrupt]
    edit(d)
    text = compact(d)
    assert text != busy_text
    with pytest.raises(ValueError) as info:
        Forest.from_json(text)
    assert str(info.value).startswith(PREFIX) and fragment in str(info.value)
    # The same document through __setstate__ leaves the object as it was.
    f = Forest.from_json(busy_text)
    with pytest.raises(ValueError):
        f.__setstate__(text)
    assert f.to_json() == busy_text
    f.update([1.0, 0.5])


def shorten_boxes(d, which, side):
    internal = [k for k, n in enumerate(nodes0(d)) if n is not None and "Internal" in n]
    for k in internal[which]:
        nodes0(d)[k]["Internal"]["bbox"][side].pop()
    return internal[which][0]


# A box is refused by the first node whose box differs from dims, whichever box sets the arena's width.
@pytest.mark.parametrize(("which", "side"), [(slice(0, 1), "min"), (slice(1, 2), "max"), (slice(2, None), "min"),
                                             (slice(None), "max")], ids=["first", "second", "third onwards", "all"])
def test_a_box_of_another_length_is_named_by_its_node(busy_text, which, side):
    d = json.loads(busy_text)
    k = shorten_boxes(d, which, side)
    with pytest.raises(ValueError, match=f"^{PREFIX}tree 0 node {k} box length differs from dims$"):
        Forest.from_json(compact(d))


def test_a_smaller_store_grows_on_demand():
    d = json.loads(Forest(2, capacity=8, num_trees=3, seed=5).to_json())
    ps(d).update(capacity=0, occupied=[], ref_count=[], store={"v": 1, "dim": [0, 2], "data": []})
    f = Forest.from_json(compact(d))
    for k in range(100):
        f.update([float(k % 9), float(k % 7)])
    assert json.loads(f.to_json())["point_store"]["capacity"] == 28  # 0 -> 4 -> 12 -> 28
    assert Forest.from_json(f.to_json()).to_json() == f.to_json()


numbers = re.compile(r"(?<=[:,\[])-?\d[\d.e+-]*")


@settings(max_examples=300, deadline=None)
@given(data=st.data())
def test_edited_documents_load_cleanly_or_fail_cleanly(busy_text, data):
    """Any edit either fails with the document error (MemoryError for a
    configuration beyond memory, checked first) or gives a forest that works."""
    text = busy_text
    edit = data.draw(st.sampled_from(["number", "number", "cut", "delete"]))
    if edit == "number":
        spans = [m.span() for m in numbers.finditer(text)]
        for _ in range(data.draw(st.integers(1, 3))):
            start, end = data.draw(st.sampled_from(spans))
            value = data.draw(st.sampled_from(["0", "1", "2", "7", "23", "24", "-1", "0.5", "1e39", str(NULL),
                                               "4294967296", "1e-45", "9"]))
            text = text[:start] + value + text[end:]
            spans = [m.span() for m in numbers.finditer(text)]
    elif edit == "cut":
        text = text[: data.draw(st.integers(0, len(text) - 1))]
    else:
        at = data.draw(st.integers(0, len(text) - 1))
        text = text[:at] + text[at + 1:]
    try:
        f = Forest.from_json(text)
    except MemoryError as e:
        assert "of physical memory" in str(e)
        event(f"{edit}: beyond memory")
        return
    except ValueError as e:
        assert str(e).startswith(PREFIX)
        event(f"{edit}: rejected")
        return
    event(f"{edit}: loaded")
    reloaded = f.to_json()
    assert Forest.from_json(reloaded).to_json() == reloaded
    width = json.loads(reloaded)["config"]["input_dim"]
    for k in range(20):
        try:
            f.update([float(k % 3)] * width)
        except RuntimeError as e:  # only a counter edited to its limit may stop an update
            assert str(e).startswith("overflow: ")
        assert math.isfinite(f.score([0.5] * width))
    assert Forest.from_json(f.to_json()).to_json() == f.to_json()
