"""The MStream state document: layout, byte-exact round trips (a new detector
included), and rejection of documents that disagree with themselves."""

import copy
import json
import math
import pickle
import random

import pytest

import morvik3
from morvik3 import MStream

BAD = "invalid MStream JSON: "
MAX64 = 2**64 - 1


def fed(m, count=40, seed=1, start=3):
    rng = random.Random(seed)
    nd, cd = m.__getnewargs__()
    for k in range(count):
        m.update([rng.gauss(0.0, 1.0) for _ in range(nd)], [rng.randrange(5) for _ in range(cd)], start + k // 3)
    return m


def small(seed=2, nd=2, cd=1):
    return MStream(nd, cd, num_rows=2, num_buckets=8, alpha=0.6, seed=seed)


# ---------------------------------------------------------------------------
# Layout


def test_document_layout():
    m = small()
    text = m.to_json()
    assert text.startswith('{"config":{"numeric_dim":2,"categorical_dim":1,"num_rows":2,"num_buckets":8,'
                           '"alpha":0.6},"clock":{"current_time":null,"current_tick":0},"entries_seen":0,'
                           '"record_counts":{"current":{"num_rows":2,"num_buckets":8,"numeric_dim":2,'
                           '"categorical_dim":1,"numeric_planes":{"v":1,"dim":[2,3,2],"data":[')
    assert text.endswith(',"numeric_normalizer":{"min_numeric":[null,null],"max_numeric":[null,null]}}')
    doc = json.loads(text)
    assert list(doc) == ["config", "clock", "entries_seen", "record_counts", "numeric_counts", "categorical_counts",
                         "numeric_normalizer"]
    record = doc["record_counts"]["current"]
    assert record["categorical_coeffs"]["dim"] == [2, 1] and record["count"]["dim"] == [2, 8]
    assert list(record["count"]) == ["v", "dim", "data"] and record["count"]["data"] == [0.0] * 16
    assert '"count":{"v":1,"dim":[2,8],"data":[0.0,0.0,' in text
    assert list(doc["numeric_counts"][0]["total"]) == ["num_buckets", "count"]
    assert doc["numeric_counts"][0]["total"]["count"]["dim"] == [8]
    assert list(doc["categorical_counts"][0]["current"]) == ["num_rows", "num_buckets", "hash_a", "hash_b", "count"]
    assert doc["categorical_counts"][0]["current"]["hash_a"]["dim"] == [2]
    assert len(doc["numeric_counts"]) == 2 and len(doc["categorical_counts"]) == 1

    m.update([1e6, 1e9], [4], 11)
    doc = json.loads(m.to_json())
    assert doc["clock"] == {"current_time": 11, "current_tick": 1}
    assert doc["numeric_normalizer"]["min_numeric"] == [math.asinh(1e6), math.asinh(1e9)]
    assert round(math.asinh(1e6), 1) == 14.5 and round(math.asinh(1e9), 1) == 21.4


# ---------------------------------------------------------------------------
# Round trips


def through_setstate(m):
    other = MStream(1, 0, seed=0)
    other.__setstate__(m.__getstate__())
    return other


def through_file(m, tmp_path):
    path = tmp_path / "mstream.json"
    m.save_json(path)
    assert path.read_bytes() == m.to_json().encode()
    return MStream.load_json(str(path))


DUPLICATES = {
    "from_json": lambda m, _: MStream.from_json(m.to_json()),
    "from_json bytes": lambda m, _: MStream.from_json(m.to_json().encode()),
    "from_json indented": lambda m, _: MStream.from_json(json.dumps(json.loads(m.to_json()), indent=2)),
    "copy": lambda m, _: copy.copy(m),
    "deepcopy": lambda m, _: copy.deepcopy(m),
    "pickle 2": lambda m, _: pickle.loads(pickle.dumps(m, protocol=2)),
    "pickle 5": lambda m, _: pickle.loads(pickle.dumps(m, protocol=5)),
    "setstate": lambda m, _: through_setstate(m),
    "file": through_file,
}


def nan_first(m):
    with pytest.raises(ValueError):
        m.update([float("nan"), 0.0], [1], 9)
    return m


STATES = {
    "new": lambda: small(),
    "new, categorical only": lambda: small(nd=0, cd=2),
    "clock without records": lambda: nan_first(small()),
    "fed": lambda: fed(small()),
    "fed, defaults": lambda: fed(MStream(3, 2, seed=4), count=10),
}


@pytest.mark.parametrize("state", STATES)
@pytest.mark.parametrize("duplicate", DUPLICATES)
def test_round_trips_are_exact_and_independent(state, duplicate, tmp_path):
    m = STATES[state]()
    copied = DUPLICATES[duplicate](m, tmp_path)
    assert type(copied) is MStream and copied is not m
    text = m.to_json()
    assert copied.to_json() == text and repr(copied) == repr(m)
    config = json.loads(text)["config"]
    copied.update([0.25] * config["numeric_dim"], [3] * config["categorical_dim"], 50)
    assert m.to_json() == text


@pytest.mark.parametrize("split", [0, 1, 17, 40])
def test_a_reloaded_detector_continues_the_same_stream(split):
    rng = random.Random(6)
    records = [([rng.gauss(0, 1), rng.gauss(5, 2)], [rng.randrange(4)], 1 + k // 2) for k in range(40)]
    whole, first = small(seed=3), small(seed=3)
    scores = [whole.update_and_score(*r) for r in records]
    for r in records[:split]:
        first.update(*r)
    second = pickle.loads(pickle.dumps(first))
    assert [second.update_and_score(*r) for r in records[split:]] == scores[split:]
    assert second.to_json() == whole.to_json()


def test_one_seed_and_one_stream_give_identical_documents():
    assert fed(MStream(3, 2, seed=0)).to_json() == fed(MStream(3, 2, seed=0)).to_json()
    assert fed(MStream(3, 2, seed=0)).to_json() != fed(MStream(3, 2, seed=0), seed=2).to_json()


# ---------------------------------------------------------------------------
# Tolerant reading


def test_null_ranges_read_as_the_placeholders():
    m = fed(small())
    doc = json.loads(m.to_json())
    doc["numeric_normalizer"]["min_numeric"][0] = None  # +inf: the next value becomes the minimum
    doc["numeric_normalizer"]["max_numeric"][1] = None  # -inf: the next value becomes the maximum
    loaded = MStream.from_json(json.dumps(doc))
    assert loaded.to_json() == json.dumps(doc, separators=(",", ":"))
    loaded.update([30.0, -30.0], [0], 100)
    ranges = json.loads(loaded.to_json())["numeric_normalizer"]
    assert ranges["min_numeric"][0] == math.asinh(30.0) and ranges["max_numeric"][1] == math.asinh(-30.0)


NULLS_REFUSED = {
    "alpha": lambda d: d["config"].update(alpha=None),
    "count": lambda d: d["record_counts"]["current"]["count"]["data"].__setitem__(3, None),
    "plane": lambda d: d["record_counts"]["total"]["numeric_planes"]["data"].__setitem__(0, None),
    "histogram": lambda d: d["numeric_counts"][1]["current"]["count"]["data"].__setitem__(0, None),
}


@pytest.mark.parametrize("change", NULLS_REFUSED.values(), ids=NULLS_REFUSED.keys())
def test_null_is_refused_everywhere_else(change):
    doc = json.loads(fed(small()).to_json())
    change(doc)
    with pytest.raises(ValueError, match="^" + BAD + "invalid type: null, expected f64 at line 1 column "):
        MStream.from_json(json.dumps(doc))


# ---------------------------------------------------------------------------
# Documents that disagree with themselves


def resized(array, dim, fill=0.0):
    array["dim"] = dim
    array["data"] = [fill] * math.prod(dim)


# The small configuration: 2 numeric, 1 categorical, 2 rows of 8 buckets, 3 hyperplanes per row.
SHAPE_ERRORS = {
    "record rows": (lambda d: d["record_counts"]["current"].update(num_rows=3),
                    "record_counts.current.num_rows is 3, expected 2"),
    "record buckets": (lambda d: d["record_counts"]["total"].update(num_buckets=16),
                       "record_counts.total.num_buckets is 16, expected 8"),
    "record numeric dim": (lambda d: d["record_counts"]["current"].update(numeric_dim=1),
                           "record_counts.current.numeric_dim is 1, expected 2"),
    "planes": (lambda d: resized(d["record_counts"]["current"]["numeric_planes"], [2, 2, 2]),
               "record_counts.current.numeric_planes has dimensions [2, 2, 2], expected [2, 3, 2]"),
    "coefficients": (lambda d: resized(d["record_counts"]["total"]["categorical_coeffs"], [1, 1], 0),
                     "record_counts.total.categorical_coeffs has dimensions [1, 1], expected [2, 1]"),
    "record count transposed": (lambda d: d["record_counts"]["total"]["count"].update(dim=[8, 2]),
                                "record_counts.total.count has dimensions [8, 2], expected [2, 8]"),
    "numeric pairs": (lambda d: d["numeric_counts"].pop(), "length of numeric_counts is 1, expected 2"),
    "numeric buckets": (lambda d: d["numeric_counts"][1]["total"].update(num_buckets=7),
                        "numeric_counts[1].total.num_buckets is 7, expected 8"),
    "histogram": (lambda d: resized(d["numeric_counts"][0]["current"]["count"], [7]),
                  "numeric_counts[0].current.count has dimensions [7], expected [8]"),
    "categorical pairs": (lambda d: d["categorical_counts"].append(d["categorical_counts"][0]),
                          "length of categorical_counts is 2, expected 1"),
    "categorical rows": (lambda d: d["categorical_counts"][0]["current"].update(num_rows=1),
                         "categorical_counts[0].current.num_rows is 1, expected 2"),
    "hash_a": (lambda d: resized(d["categorical_counts"][0]["current"]["hash_a"], [1], 1),
               "categorical_counts[0].current.hash_a has dimensions [1], expected [2]"),
    "categorical count": (lambda d: resized(d["categorical_counts"][0]["total"]["count"], [1, 8]),
                          "categorical_counts[0].total.count has dimensions [1, 8], expected [2, 8]"),
    "minima": (lambda d: d["numeric_normalizer"]["min_numeric"].pop(),
               "length of numeric_normalizer.min_numeric is 1, expected 2"),
    "maxima": (lambda d: d["numeric_normalizer"]["max_numeric"].append(1.0),
               "length of numeric_normalizer.max_numeric is 3, expected 2"),
    "config grown": (lambda d: d["config"].update(num_buckets=16),
                     "record_counts.current.num_buckets is 8, expected 16"),
    # The constructor's checks run first, in their order.
    "no buckets": (lambda d: d["config"].update(num_buckets=0), "num_buckets must be >= 2"),
    "no rows": (lambda d: d["config"].update(num_rows=0, num_buckets=1), "num_rows must be > 0"),
    "alpha": (lambda d: d["config"].update(alpha=1.0), "alpha must be in range (0, 1)"),
    "huge tables": (lambda d: d["config"].update(num_rows=2**32, num_buckets=2**32),
                    "num_rows * num_buckets must fit in usize"),
}


@pytest.mark.parametrize("change,message", SHAPE_ERRORS.values(), ids=SHAPE_ERRORS.keys())
def test_inconsistent_documents_are_refused(change, message):
    m = fed(small())
    doc = json.loads(m.to_json())
    change(doc)
    text = json.dumps(doc)
    with pytest.raises(ValueError) as error:
        MStream.from_json(text)
    assert str(error.value).startswith(BAD + message)
    before = m.to_json()
    with pytest.raises(ValueError):
        m.__setstate__(text)
    assert m.to_json() == before


def consistent_with(doc, rows, buckets):
    """The document reshaped whole for another row and bucket count."""
    planes = max(buckets - 1, 0).bit_length()
    doc["config"].update(num_rows=rows, num_buckets=buckets)
    for member in ("current", "total"):
        record = doc["record_counts"][member]
        record.update(num_rows=rows, num_buckets=buckets)
        resized(record["numeric_planes"], [rows, planes, doc["config"]["numeric_dim"]], 0.5)
        resized(record["categorical_coeffs"], [rows, doc["config"]["categorical_dim"]], 1)
        resized(record["count"], [rows, buckets])
        for pair in doc["numeric_counts"]:
            pair[member]["num_buckets"] = buckets
            resized(pair[member]["count"], [buckets])
        for pair in doc["categorical_counts"]:
            pair[member].update(num_rows=rows, num_buckets=buckets)
            for key in ("hash_a", "hash_b"):
                resized(pair[member][key], [rows], 1)
            resized(pair[member]["count"], [rows, buckets])
    return doc


@pytest.mark.parametrize("rows,buckets,message", [(1, 0, "num_buckets must be >= 2"),
                                                  (1, 1, "num_buckets must be >= 2"), (0, 8, "num_rows must be > 0")])
def test_consistent_documents_still_pass_the_constructor_checks(rows, buckets, message):
    doc = consistent_with(json.loads(fed(small()).to_json()), rows, buckets)
    with pytest.raises(ValueError) as error:
        MStream.from_json(json.dumps(doc))
    assert str(error.value) == BAD + message
    # The same reshaping to a valid size loads and runs.
    loaded = MStream.from_json(json.dumps(consistent_with(doc, 3, 5)))
    assert loaded.update_and_score([0.5, 0.5], [1], 100) >= 0.0


def test_exhausted_counters():
    doc = json.loads(fed(small()).to_json())
    m = MStream.from_json(json.dumps(doc | {"entries_seen": MAX64}))
    before = m.to_json()
    with pytest.raises(RuntimeError, match="^overflow: MStream entries_seen overflow$"):
        m.update_and_score([0.0, 0.0], [0], 100)
    assert m.to_json() == before
    assert m.score([0.0, 0.0], [0], 100) >= 0.0

    # A tick beyond its timestamp is never written; it stops the call instead of wrapping.
    doc["clock"]["current_tick"] = MAX64
    m = MStream.from_json(json.dumps(doc))
    with pytest.raises(morvik3.InternalError, match="stream clock tick overflow"):
        m.update([0.0, 0.0], [0], doc["clock"]["current_time"] + 1)
    assert m.update_and_score([0.0, 0.0], [0], doc["clock"]["current_time"]) >= 0.0
