"""The FeatureSketch class: construction, scoring and ingesting semantics,
feature errors and documents."""

import copy
import json
import math
import pickle
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from morvik3 import FeatureSketch

CEILING = 27.631021115928547  # -ln(1e-12): the score of anything against empty sketches
MAX64 = 2**64 - 1
SMALL = dict(value_projection_dims=6, presence_projection_dims=5, chains_per_ensemble=4, chain_depth=3,
             sketch_rows=2, sketch_buckets=32, decay_half_life=16)


def small(seed=3, **overrides):
    return FeatureSketch(**{**SMALL, **overrides}, seed=seed)


def stream(seed, count):
    rng = random.Random(seed)
    names = [f"f{i}" for i in range(20)] + ["ä", "名前"]
    return [[(rng.choice(names), rng.gauss(0.0, 2.0)) for _ in range(rng.randint(0, 6))] for _ in range(count)]


# ---------------------------------------------------------------------------
# Construction


def test_defaults_and_repr():
    sketch = FeatureSketch(seed=1)
    assert repr(sketch) == (
        "FeatureSketch(value_projection_dims=32, presence_projection_dims=32, chains_per_ensemble=16, "
        "chain_depth=8, sketch_rows=2, sketch_buckets=2048, decay_half_life=2048, entries_seen=0)"
    )
    assert json.loads(sketch.to_json())["config"] == {
        "value_projection_dims": 32, "presence_projection_dims": 32, "chains_per_ensemble": 16,
        "chain_depth": 8, "sketch_rows": 2, "sketch_buckets": 2048, "decay_half_life": 2048,
    }


def test_positional_arguments_follow_the_signature():
    assert small(seed=5).to_json() == FeatureSketch(6, 5, 4, 3, 2, 32, 16, 5).to_json()


CONFIG_ERRORS = [
    # Each case also breaks later rules: the first rule in the fixed order wins.
    (dict(value_projection_dims=0, presence_projection_dims=0), "value_projection_dims must be > 0"),
    (dict(presence_projection_dims=0, chains_per_ensemble=0), "presence_projection_dims must be > 0"),
    (dict(chains_per_ensemble=0, chain_depth=0), "chains_per_ensemble must be > 0"),
    (dict(chain_depth=0, sketch_rows=0), "chain_depth must be > 0"),
    (dict(chain_depth=1025, sketch_rows=0), "chain_depth is too large to keep chain bin widths positive"),
    (dict(sketch_rows=0, sketch_buckets=1), "sketch_rows must be > 0"),
    (dict(sketch_buckets=1, decay_half_life=0), "sketch_buckets must be >= 2"),
    (dict(sketch_buckets=0), "sketch_buckets must be >= 2"),
    (dict(decay_half_life=0, presence_projection_dims=MAX64), "decay_half_life must be > 0"),
    (dict(presence_projection_dims=MAX64, chains_per_ensemble=2**62),
     "presence_projection_dims plus the feature-count signal must fit in usize"),
    (dict(chains_per_ensemble=2**62, chain_depth=8), "chains_per_ensemble * chain_depth must fit in usize"),
    (dict(sketch_rows=2**32, sketch_buckets=2**32), "sketch_rows * sketch_buckets must fit in usize"),
    (dict(sketch_rows=2**32, sketch_buckets=2**31), "total FeatureSketch sketch cells must fit in usize"),
    (dict(chains_per_ensemble=1, chain_depth=1, sketch_rows=1, sketch_buckets=2**63),
     "total FeatureSketch sketch cells must fit in usize"),
]


@pytest.mark.parametrize("kwargs,message", CONFIG_ERRORS, ids=[m for _, m in CONFIG_ERRORS])
def test_configuration_errors(kwargs, message):
    with pytest.raises(ValueError) as error:
        FeatureSketch(**kwargs, seed=1)
    assert str(error.value) == message


def test_deepest_chain_is_accepted():
    sketch = FeatureSketch(chains_per_ensemble=1, chain_depth=1024, sketch_rows=1, sketch_buckets=2, seed=1)
    widths = [level["width"] for level in json.loads(sketch.to_json())["value_layout"]["levels"]]
    assert len(widths) == 1024 and min(widths) > 0.0
    sketch.update({"a": 1.0})
    assert 0.0 <= sketch.score({"a": 1.0}) <= CEILING


def test_sizes_beyond_memory_raise_memory_error():
    # All pass validation: the largest cell count allowed, a huge chain count,
    # and per-event vectors larger than any memory.
    for kwargs in (dict(sketch_buckets=2**63 - 1), dict(chains_per_ensemble=2**60, sketch_buckets=2)):
        with pytest.raises(MemoryError):
            FeatureSketch(**{"chains_per_ensemble": 1, "chain_depth": 1, "sketch_rows": 1, **kwargs}, seed=1)
    with pytest.raises(MemoryError):
        small(value_projection_dims=2**62)


@pytest.mark.parametrize("seed,error", [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError), ("1", TypeError)])
def test_bad_seeds(seed, error):
    with pytest.raises(error):
        FeatureSketch(seed=seed)


def test_seeds_pick_the_streams():
    assert small(seed=MAX64).to_json() == small(seed=MAX64).to_json()
    assert small(seed=1).to_json() != small(seed=2).to_json()
    assert small(seed=None).to_json() != small(seed=None).to_json()


# ---------------------------------------------------------------------------
# Scoring and ingesting


@pytest.mark.parametrize("event", [{}, [], {"a": 1.0}, [("a", 1.0), ("b", -3.0)], {"x" * 100: 1e300}])
def test_fresh_detector(event):
    sketch = small()
    assert not sketch.is_ready() and sketch.entries_seen() == 0
    assert sketch.score(event) == CEILING
    assert FeatureSketch(seed=1).score(event) == CEILING


def test_empty_event_counts_and_advances_the_epoch():
    sketch = small()
    sketch.update([])
    sketch.update({})
    state = json.loads(sketch.to_json())
    assert sketch.entries_seen() == 2 and state["current_epoch"] == 2 and sketch.is_ready()
    assert math.copysign(1.0, sketch.score([])) == 1.0  # a familiar event scores +0.0, not -0.0


def test_dict_and_pairs_are_the_same_event():
    by_dict, by_pairs = small(), small()
    for event in stream(3, 60):
        summed = {}
        for name, value in event:
            summed[name] = summed.get(name, 0.0) + value
        # Names in another order, each name's duplicates kept in their order.
        shuffled = sorted(event, key=lambda entry: hash(entry[0]))
        assert by_dict.update_and_score(summed) == by_pairs.update_and_score(shuffled)
    assert by_dict.to_json() == by_pairs.to_json()


def test_familiar_events_score_below_novel_ones():
    sketch = small(seed=4, sketch_buckets=256, decay_half_life=512)
    jitter = random.Random(5)
    for _ in range(300):
        sketch.update({"user": 1.0 + jitter.uniform(-0.01, 0.01), "bytes": 2.0})
    assert sketch.score({"user": 1.0, "bytes": 2.0}) < 1.0
    assert sketch.score({"never_seen": 50.0, "other": -40.0}) > 5.0


def test_counts_decay_with_events():
    # After many half-lives of other traffic an event is as unfamiliar as at the start.
    sketch = small(seed=6, decay_half_life=4)
    sketch.update({"a": 1.0})
    assert sketch.score({"a": 1.0}) == 0.0
    for _ in range(60):
        sketch.update({"b": 1000.0, "c": -1000.0})
    assert sketch.score({"a": 1.0}) > 5.0


FEATURE_ERRORS = {
    "nan": ([("a", float("nan"))], "feature values must be finite"),
    "inf_dict": ({"a": 1.0, "b": float("inf")}, "feature values must be finite"),
    "nan_despite_cancel": ([("a", float("nan")), ("a", 1.0)], "feature values must be finite"),
    "overflowing_sum": ([("a", 1e308), ("a", 1e308)], "combined feature values must be finite"),
    "sum_before_nan": ([("z", 1e308), ("z", 1e308), ("a", float("nan"))], "combined feature values must be finite"),
    "nan_before_sum": ([("z", 1e308), ("a", float("-inf")), ("z", 1e308)], "feature values must be finite"),
}


@pytest.mark.parametrize("method", ["update", "score", "update_and_score"])
@pytest.mark.parametrize("event,message", FEATURE_ERRORS.values(), ids=FEATURE_ERRORS.keys())
def test_feature_errors_leave_state_unchanged(method, event, message):
    sketch = small()
    sketch.update({"a": 1.0})
    before = sketch.to_json()
    with pytest.raises(ValueError) as error:
        getattr(sketch, method)(event)
    assert str(error.value) == message
    assert sketch.to_json() == before


@pytest.mark.parametrize(
    "event,pairs_error",
    [
        ([("a", 1, 2)], "ValueError: expected tuple of length 2, but got tuple of length 3"),
        ({"a": "x"}, None),
        ((x for x in [("a", 1.0)]), None),
        ("ab", "TypeError: Can't extract `str` to `Vec`"),
        ([("a", 1.0), ["b", 2.0]], "TypeError: 'list' object is not an instance of 'tuple'"),
    ],
    ids=["triple", "str_value", "generator", "str", "list_item"],
)
def test_conversion_errors_name_both_variants(event, pairs_error):
    sketch = small()
    with pytest.raises(TypeError) as error:
        sketch.update(event)
    message = str(error.value)
    assert message.startswith("argument 'feature': failed to extract enum KeyValueLike ('Pairs | Dict')")
    assert "\n- variant Pairs (Pairs): " in message and "\n- variant Dict (Dict): " in message
    if pairs_error:
        assert pairs_error in message
    assert sketch.entries_seen() == 0


@pytest.mark.parametrize(
    "field,message",
    [("current_epoch", "overflow: FeatureSketch epoch overflow"),
     ("entries_seen", "overflow: FeatureSketch entries_seen overflow")],
)
def test_counter_exhaustion(field, message):
    sketch = FeatureSketch.from_json(json.dumps(json.loads(small().to_json()) | {field: MAX64}))
    before = sketch.to_json()
    for method in ("update", "update_and_score"):
        with pytest.raises(RuntimeError) as error:
            getattr(sketch, method)({"a": 1.0})
        assert str(error.value) == message
    assert sketch.to_json() == before
    assert sketch.score({"a": 1.0}) == CEILING


# ---------------------------------------------------------------------------
# Documents


def test_document_layout():
    sketch = small()
    sketch.update({"a": 2.0})
    document = sketch.to_json()
    assert document.startswith('{"format_version":1,"config":{"value_projection_dims":6,')
    assert document.endswith(',"current_epoch":1,"entries_seen":1}')
    state = json.loads(document)
    assert list(state) == ["format_version", "config", "projection_seeds", "value_layout", "presence_layout",
                           "value_sketch", "presence_sketch", "current_epoch", "entries_seen"]
    assert list(state["projection_seeds"]) == ["value", "presence", "feature_lo", "feature_hi"]
    assert list(state["value_layout"]["levels"][0]) == ["dimension", "width", "offset", "bin_volume_ratio"]
    assert list(state["value_sketch"]) == ["levels", "reference_masses"]
    assert list(state["value_sketch"]["levels"][0]) == ["rows", "buckets", "row_hash_seeds", "cells"]
    assert list(state["value_layout"]) == ["levels", "chain_depth"]


@pytest.mark.parametrize("make", [lambda: small(seed=8), lambda: FeatureSketch(seed=8)], ids=["small", "default"])
def test_documents_are_reproducible_and_round_trip_byte_for_byte(make):
    a, b = make(), make()
    for event in stream(4, 100):
        a.update(event)
        b.update(event)
    document = a.to_json()
    assert document == b.to_json()
    for text in (document, document.encode(), bytearray(document, "utf-8"), json.dumps(json.loads(document), indent=2)):
        assert FeatureSketch.from_json(text).to_json() == document


def level(state, ensemble, k):
    return state[ensemble]["levels"][k]


BAD = "invalid FeatureSketch JSON: "
# The small configuration: 4 chains of depth 3 (12 levels), vectors of 6 and 5 + 1, 2 rows of 32 buckets.
DOCUMENT_ERRORS = {
    "version": (lambda s: s.update(format_version=2), BAD + "unsupported format version"),
    "version first": (lambda s: (s.update(format_version=2), s["config"].update(chain_depth=0)),
                      BAD + "unsupported format version"),
    "config": (lambda s: s["config"].update(sketch_buckets=1), "sketch_buckets must be >= 2"),
    "config order": (lambda s: s["config"].update(chain_depth=0, sketch_rows=0), "chain_depth must be > 0"),
    "truncated": (lambda s: '{"format_version":1', BAD + "EOF while parsing an object"),
    "missing": (lambda s: s.pop("entries_seen"), BAD + "missing field `entries_seen`"),
    "layout depth": (lambda s: s["value_layout"].update(chain_depth=4),
                     BAD + "value_layout has chain_depth 4, expected 3"),
    "layout levels": (lambda s: s["value_layout"]["levels"].pop(), BAD + "value_layout has 11 levels, expected 12"),
    "config grown": (lambda s: s["config"].update(chains_per_ensemble=5),
                     BAD + "value_layout has 12 levels, expected 15"),
    "value dimension": (lambda s: level(s, "value_layout", 4).update(dimension=MAX64),
                        BAD + f"value_layout level 4 reads dimension {MAX64} of a vector of length 6"),
    "presence dimension": (lambda s: level(s, "presence_layout", 2).update(dimension=6),
                           BAD + "presence_layout level 2 reads dimension 6 of a vector of length 6"),
    "sketch levels": (lambda s: s["value_sketch"]["levels"].append(level(s, "value_sketch", 0)),
                      BAD + "value_sketch has 13 levels, expected 12"),
    "reference masses": (lambda s: s["presence_sketch"].update(reference_masses=[]),
                         BAD + "presence_sketch has 0 reference_masses, expected 12"),
    "rows": (lambda s: level(s, "value_sketch", 2).update(rows=3), BAD + "value_sketch level 2 has rows 3, expected 2"),
    "buckets": (lambda s: level(s, "presence_sketch", 5).update(buckets=64),
                BAD + "presence_sketch level 5 has buckets 64, expected 32"),
    "config buckets": (lambda s: s["config"].update(sketch_buckets=64),
                       BAD + "value_sketch level 0 has buckets 32, expected 64"),
    "row seeds": (lambda s: level(s, "presence_sketch", 0)["row_hash_seeds"]["seeds"].pop(),
                  BAD + "presence_sketch level 0 has 1 row hash seeds, expected 2"),
    "cells": (lambda s: level(s, "value_sketch", 5)["cells"].pop(),
              BAD + "value_sketch level 5 has 63 cells, expected 64"),
}


@pytest.mark.parametrize("change,message", DOCUMENT_ERRORS.values(), ids=DOCUMENT_ERRORS.keys())
def test_document_checks(change, message):
    sketch = small()
    sketch.update({"a": 1.0})
    state = json.loads(sketch.to_json())
    text = change(state)
    text = text if isinstance(text, str) else json.dumps(state)
    with pytest.raises(ValueError) as error:
        FeatureSketch.from_json(text)
    assert str(error.value).startswith(message)
    before = sketch.to_json()
    with pytest.raises(ValueError):
        sketch.__setstate__(text)
    assert sketch.to_json() == before


# ---------------------------------------------------------------------------
# Properties over random streams

events_strategy = st.lists(
    st.lists(
        st.tuples(st.sampled_from(["a", "b", "c", "ä", "long_name_over_sixteen_bytes", ""]),
                  st.floats(min_value=-1e6, max_value=1e6, allow_nan=False)),
        max_size=5,
    ),
    max_size=25,
)


DUPLICATES = [copy.copy, copy.deepcopy, lambda s: pickle.loads(pickle.dumps(s)),
              lambda s: FeatureSketch.from_json(s.to_json())]


@settings(max_examples=40, deadline=None)
@given(events=events_strategy, split=st.integers(min_value=0, max_value=25), seed=st.integers(0, MAX64),
       duplicate=st.sampled_from(DUPLICATES))
def test_a_duplicate_mid_stream_continues_alike_and_score_previews(events, split, seed, duplicate):
    a = small(seed=seed, decay_half_life=3)
    for event in events[:split]:
        a.update(event)
    b = duplicate(a)
    assert type(b) is FeatureSketch
    for event in events[split:]:
        previewed = b.score(event)
        assert 0.0 <= previewed <= CEILING
        assert a.update_and_score(event) == previewed
        assert b.update(event) is None
    assert a.to_json() == b.to_json()
    assert a.entries_seen() == len(events)


# ---------------------------------------------------------------------------
# Docstrings


def test_docstrings():
    assert FeatureSketch.__doc__.startswith(
        "FeatureSketch detector for sparse, schema-evolving feature streams.\n"
    )
    assert "    Random seed for deterministic projections, chains, and sketches." in FeatureSketch.__doc__
    assert FeatureSketch.update.__doc__ == "Ingest a feature event without returning its score."
    assert FeatureSketch.score.__doc__.startswith(
        "Preview the current anomaly score for a feature event without mutating state.\n\n"
    )
    assert FeatureSketch.update_and_score.__doc__.endswith("this method normalizes and projects the input once.")
    assert FeatureSketch.is_ready.__doc__ == "Return True once the detector has processed at least one event."
    assert FeatureSketch.entries_seen.__doc__ == "Return the number of processed events."
    assert FeatureSketch.to_json.__doc__ == "Serialize the detector state to JSON."
    assert not hasattr(FeatureSketch, "__getnewargs__")
