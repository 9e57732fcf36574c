"""Mutated state documents of every class.

Valid documents are mutated (numbers, nulls, types, lengths, indices, keys,
nesting, truncation, stray bytes) and loaded. Loading must fail with
ValueError (or MemoryError for a configuration beyond physical memory), or
give a detector that works: it saves, copies and pickles to the same
document, takes observations, and what it saves after them loads again. An
InternalError, a crash or a hang is a failure.

The normal suite runs a few hundred cases per class; `make fuzz` sets
MORVIK3_FUZZ_EXAMPLES for a long run."""

import copy
import json
import os
import pickle
import random
from functools import cache

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from detectors import DETECTORS, IDS, fed

EXAMPLES = int(os.environ.get("MORVIK3_FUZZ_EXAMPLES", "200"))


class Raw:
    """A number written as given, for literals Python would not write."""

    def __init__(self, text):
        self.text = text


class Repeating(dict):
    """An object written with one of its keys twice."""

    repeat = None


def dumps(v):
    if isinstance(v, Raw):
        return v.text
    if isinstance(v, dict):
        items = list(v.items()) + ([(v.repeat, v[v.repeat])] if isinstance(v, Repeating) and v.repeat in v else [])
        return "{" + ",".join(f"{json.dumps(k)}:{dumps(x)}" for k, x in items) + "}"
    if isinstance(v, list):
        return "[" + ",".join(dumps(x) for x in v) + "]"
    return json.dumps(v)


@cache
def bases(name):
    """Documents of a fresh detector and of detectors after a few, several and
    many observations (samplers, windows and sketches full)."""
    detector = next(d for d in DETECTORS if d.name == name)
    return tuple(fed(detector, n, seed=n).to_json() for n in (0, 1, 7, 40))


def slots(v, out):
    """Every (container, key) that holds a value, depth first."""
    items = v.items() if isinstance(v, dict) else enumerate(v) if isinstance(v, list) else ()
    for k, x in items:
        out.append((v, k))
        slots(x, out)
    return out


def is_number(x):
    return isinstance(x, (int, float)) and not isinstance(x, bool)


# Integers either near what they replace or beyond any memory: a size in
# between would be accepted and then commit that much.
EXTREMES = [0, 1, 2, -1, 2**60, 2**62, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), -(2**63) - 1, 10**30]
FLOATS = [0.5, -0.0, 1.5e300, -1.5e300, 5e-324, Raw("1e400"), Raw("-1e400"), Raw("1e-400"), Raw("1.0e+2")]


def number_for(data, old, lengths):
    near = [old - 1, old + 1, 2 * old] if isinstance(old, int) and abs(old) < 2**20 else []
    near += [n + d for n in lengths for d in (-1, 0, 1)]
    return data.draw(st.sampled_from(near + EXTREMES + FLOATS))


def mutate(data, doc):
    """One mutation of the parsed document `doc`; returns the new root."""
    where = slots(doc, [])
    # Mostly values a reader accepts, so that the checks behind it are reached.
    kind = data.draw(st.sampled_from(["number"] * 3 + ["index"] * 3 + ["length"] * 2 + ["null", "type", "key", "nesting"]))
    lengths = sorted({len(c) for c, _ in where if isinstance(c, list)} | {len(doc)})
    pick = lambda among: among[data.draw(st.integers(0, len(among) - 1))]  # noqa: E731
    if kind in ("number", "index"):
        numbers = [(c, k) for c, k in where if is_number(c[k])]
        if numbers:
            c, k = pick(numbers)
            c[k] = number_for(data, c[k], lengths) if kind == "number" else data.draw(
                st.sampled_from([n + d for n in lengths for d in (-1, 0, 1)]))
    elif kind == "null":
        c, k = pick(where)
        c[k] = None
    elif kind == "type":
        c, k = pick(where)
        c[k] = data.draw(st.sampled_from(["x", True, {}, [], {"k": 1}, [[]], 1.5]))
    elif kind == "length":
        lists = [c[k] for c, k in where if isinstance(c[k], list)]
        if lists:
            v = pick(lists)
            how = data.draw(st.sampled_from(["drop", "repeat", "append", "clear", "triple"]))
            if how == "clear" or not v:
                v.clear()
            elif how == "triple":
                v.extend(copy.deepcopy(v) * 2)
            else:
                i = data.draw(st.integers(0, len(v) - 1))
                if how == "drop":
                    del v[i]
                else:
                    v.insert(i if how == "repeat" else len(v), copy.deepcopy(v[i]))
    elif kind == "key":
        objects = [c[k] for c, k in where if isinstance(c[k], dict) and c[k]] + [doc]
        v = pick(objects)
        key = data.draw(st.sampled_from(sorted(v)))
        how = data.draw(st.sampled_from(["remove", "rename", "unknown", "repeat"]))
        if how == "remove":
            del v[key]
        elif how == "rename":
            v[key + "_"] = v.pop(key)
        elif how == "unknown":
            v["zz"] = copy.deepcopy(v[key])
        else:
            repeating = Repeating(v)
            repeating.repeat = key
            return replace(doc, v, repeating)
    else:
        c, k = pick(where)
        value = c[k]
        for _ in range(data.draw(st.sampled_from([1, 2, 126, 127, 128, 200]))):
            value = [value] if data.draw(st.booleans()) else {"a": value}
        c[k] = value
    return doc


def replace(doc, old, new):
    for c, k in slots(doc, []):
        if c[k] is old:
            c[k] = new
            return doc
    return new  # the root itself


def scramble(data, text):
    """Text-level damage: a cut, or one character replaced or inserted."""
    how = data.draw(st.sampled_from(["none"] * 7 + ["cut", "replace", "insert"]))
    if how == "none" or not text:
        return text
    at = data.draw(st.integers(0, len(text) - 1))
    if how == "cut":
        return text[:at]
    ch = data.draw(st.sampled_from(list('{}[],:"0123456789-+.eE nul\\tx\u00e9\x00')))
    return text[:at] + ch + text[at + (how == "replace"):]


def exercise(detector, obj, rng):
    """Uses a loaded detector; what it saves must load back to itself."""
    cls = detector.cls
    saved = obj.to_json()
    assert cls.from_json(saved).to_json() == saved
    assert copy.deepcopy(obj).to_json() == saved
    assert pickle.loads(pickle.dumps(obj)).to_json() == saved
    repr(obj), obj.is_ready(), obj.entries_seen()
    start = rng.randrange(1000)
    for i in range(4):
        args = detector.observe(rng, start + i)
        for name in ("score", "update_and_score", "update"):
            if not hasattr(obj, name):
                continue
            try:
                getattr(obj, name)(*args)
            except (ValueError, RuntimeError):
                pass  # a rejected observation, a full counter, a forest not ready
    saved = obj.to_json()
    assert cls.from_json(saved).to_json() == saved


@pytest.mark.parametrize("detector", DETECTORS, ids=IDS)
@settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(data=st.data())
def test_mutated_documents_load_cleanly_or_fail_cleanly(detector, data):
    text = data.draw(st.sampled_from(bases(detector.name)))
    doc = json.loads(text)
    for _ in range(data.draw(st.integers(1, 3))):
        doc = mutate(data, doc)
    text = scramble(data, dumps(doc))
    as_bytes = data.draw(st.booleans())
    try:
        obj = detector.cls.from_json(text.encode("utf-8", "surrogatepass") if as_bytes else text)
    except (ValueError, MemoryError):
        return
    exercise(detector, obj, random.Random(data.draw(st.integers(0, 2**32))))


@pytest.mark.parametrize("detector", DETECTORS, ids=IDS)
def test_unmutated_documents_exercise_cleanly(detector):
    for text in bases(detector.name):
        exercise(detector, detector.cls.from_json(text), random.Random(1))
