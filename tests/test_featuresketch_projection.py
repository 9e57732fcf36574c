"""The FeatureSketch keyed hash, projection, chain layouts and whole detector
against a plain-Python transcription of their definitions, reached through
the probe executable."""

import json
import math
import random

import pytest

from rng_oracle import MASK64, Xoshiro


SQRT3 = 1.7320508075688772


# ---------------------------------------------------------------------------
# Oracle: keyed hash


def fm(a, b):
    p = a * b
    return (p & MASK64) ^ (p >> 64)


def rotl(x, r):
    r %= 64
    return ((x << r) | (x >> (64 - r))) & MASK64 if r else x


M = 0x5851F42D4C957F2D


class Hasher:
    def __init__(self, seed):
        s0, s1, s2, s3 = seed
        self.pad = s0 ^ 0x452821E638D01377
        self.buffer = s1 ^ 0xBE5466CF34E90C6C
        self.k2 = s2 ^ 0xC0AC29B7C97C50DD
        self.k3 = s3 ^ 0x3F84D5B5B5470917
        self.branches = []  # which write_bytes branches ran

    def write_word(self, x):
        self.buffer = fm(x ^ self.buffer, M)

    def block(self, a, b):
        self.buffer = rotl(((self.buffer + self.pad) & MASK64) ^ fm(a ^ self.k2, b ^ self.k3), 23)

    def write_bytes(self, d):
        n = len(d)

        def word(width, at):
            return int.from_bytes(d[at : at + width], "little")

        self.buffer = ((self.buffer + n) * M) & MASK64
        if n == 0:
            self.branches.append("empty")
            self.block(0, 0)
        elif n == 1:
            self.branches.append("one")
            self.block(d[0], d[0])
        elif n <= 3:
            self.branches.append("two-three")
            self.block(word(2, 0), d[n - 1])
        elif n <= 8:
            self.branches.append("four-eight")
            self.block(word(4, 0), word(4, n - 4))
        elif n <= 16:
            self.branches.append("nine-sixteen")
            self.block(word(8, 0), word(8, n - 8))
        else:
            self.branches.append("long")
            self.block(word(8, n - 16), word(8, n - 8))
            while len(d) > 16:
                self.branches.append("long-block")
                self.block(word(8, 0), word(8, 8))
                d = d[16:]

    def finish(self):
        return rotl(fm(self.buffer, self.pad), self.buffer & 63)


def hash_name(seed, name_bytes):
    h = Hasher(seed)
    h.write_bytes(name_bytes)
    h.write_word(0xFF)
    return h.finish()


def hash_words(seed, *words):
    h = Hasher(seed)
    for w in words:
        h.write_word(w)
    return h.finish()


def coefficient(h):
    return (SQRT3, -SQRT3, 0.0, 0.0, 0.0, 0.0)[h % 6]


# ---------------------------------------------------------------------------
# Oracle: normalisation and projection


def normalise(entries):
    sums = {}
    for name, value in entries:
        if not math.isfinite(value):
            raise ValueError("feature values must be finite")
        key = name.encode("utf-8")
        sums[key] = sums.get(key, 0.0) + value
        if not math.isfinite(sums[key]):
            raise ValueError("combined feature values must be finite")
    return [(key, math.asinh(total)) for key, total in sorted(sums.items())]


def project(features, v_dims, p_dims, seeds):
    value_seed, presence_seed, lo_seed, hi_seed = seeds
    v = [0.0] * v_dims
    p = [0.0] * (p_dims + 1)
    for name, w in features:
        lo, hi = hash_name(lo_seed, name), hash_name(hi_seed, name)
        for i in range(v_dims):
            v[i] = v[i] + coefficient(hash_words(value_seed, lo, hi, i)) * w
        for i in range(p_dims):
            p[i] = p[i] + coefficient(hash_words(presence_seed, lo, hi, i))
    p[p_dims] = math.log1p(len(features))
    return v, p


# ---------------------------------------------------------------------------
# Oracle: generator, chains, sketches and the detector


def build_layout(chains, depth, dims, with_count_signal, rng):
    n = dims + 1 if with_count_signal else dims
    levels = []
    for _ in range(chains):
        for k in range(depth):
            dimension = rng.next_u64() % n
            base = 2.0 if with_count_signal and dimension == dims else 4.0
            width = base / math.exp2(k)
            offset = rng.range_f64(0.0, width)
            levels.append({"dimension": dimension, "width": width, "offset": offset, "bin_volume_ratio": width / base})
    return {"levels": levels, "chain_depth": depth}


def build_ensemble(rows, buckets, level_count, rng):
    levels = []
    for _ in range(level_count):
        seeds = [[rng.next_u64() for _ in range(4)] for _ in range(rows)]
        cells = [{"value": 0.0, "epoch": 0} for _ in range(rows * buckets)]
        levels.append({"rows": rows, "buckets": buckets, "row_hash_seeds": {"seeds": seeds}, "cells": cells})
    return {"levels": levels, "reference_masses": [{"value": 0.0, "epoch": 0} for _ in range(level_count)]}


def create(config, seed):
    rng = Xoshiro.seed_from_u64(seed)
    words = [rng.next_u64() for _ in range(16)]
    c = config
    return {
        "format_version": 1,
        "config": dict(config),
        "projection_seeds": {
            "value": words[0:4],
            "presence": words[4:8],
            "feature_lo": words[8:12],
            "feature_hi": words[12:16],
        },
        "value_layout": build_layout(c["chains_per_ensemble"], c["chain_depth"], c["value_projection_dims"], False, rng),
        "presence_layout": build_layout(
            c["chains_per_ensemble"], c["chain_depth"], c["presence_projection_dims"], True, rng
        ),
        "value_sketch": build_ensemble(
            c["sketch_rows"], c["sketch_buckets"], c["chains_per_ensemble"] * c["chain_depth"], rng
        ),
        "presence_sketch": build_ensemble(
            c["sketch_rows"], c["sketch_buckets"], c["chains_per_ensemble"] * c["chain_depth"], rng
        ),
        "current_epoch": 0,
        "entries_seen": 0,
    }


def decayed(dv, now, half_life):
    if dv["epoch"] < now:
        return dv["value"] * math.exp2(-float(now - dv["epoch"]) / float(half_life))
    return dv["value"]


def bin_of(level, x):
    q = (x[level["dimension"]] + level["offset"]) / level["width"]
    if math.isnan(q):
        return 0
    if math.isinf(q):
        return 2**63 - 1 if q > 0 else -(2**63)
    return max(-(2**63), min(2**63 - 1, math.floor(q)))


def bucket_of(sketch, row, b):
    h = Hasher(sketch["row_hash_seeds"]["seeds"][row])
    h.write_word(row)
    h.write_word(b & MASK64)
    return h.finish() % sketch["buckets"] + row * sketch["buckets"]


def ensemble_add(ensemble, layout, x, now, half_life):
    for i, level in enumerate(layout["levels"]):
        b = bin_of(level, x)
        sketch = ensemble["levels"][i]
        for j in range(sketch["rows"]):
            cell = sketch["cells"][bucket_of(sketch, j, b)]
            cell["value"] = decayed(cell, now, half_life) + 1.0
            cell["epoch"] = now
        mass = ensemble["reference_masses"][i]
        mass["value"] = decayed(mass, now, half_life) + 1.0
        mass["epoch"] = now


def ensemble_score(ensemble, layout, x, now, half_life):
    depth = layout["chain_depth"]
    chains = len(layout["levels"]) // depth
    total = 0.0
    for c in range(chains):
        chain_score = 0.0
        for i in range(c * depth, (c + 1) * depth):
            level = layout["levels"][i]
            sketch = ensemble["levels"][i]
            b = bin_of(level, x)
            estimate = min(decayed(sketch["cells"][bucket_of(sketch, j, b)], now, half_life) for j in range(sketch["rows"]))
            reference = max(decayed(ensemble["reference_masses"][i], now, half_life), 1e-12)
            ratio = max(level["bin_volume_ratio"], 1e-12)
            t = max(estimate / reference / ratio, 1e-12)
            chain_score = max(chain_score, -math.log(min(t, 1.0)))
        total += chain_score
    return total / chains


def vectors_of(state, entries):
    c = state["config"]
    s = state["projection_seeds"]
    seeds = (s["value"], s["presence"], s["feature_lo"], s["feature_hi"])
    return project(normalise(entries), c["value_projection_dims"], c["presence_projection_dims"], seeds)


def update_and_score(state, entries):
    v, p = vectors_of(state, entries)
    h = state["config"]["decay_half_life"]
    now = state["current_epoch"]
    result = (
        ensemble_score(state["value_sketch"], state["value_layout"], v, now, h)
        + ensemble_score(state["presence_sketch"], state["presence_layout"], p, now, h)
    ) * 0.5
    ensemble_add(state["value_sketch"], state["value_layout"], v, now + 1, h)
    ensemble_add(state["presence_sketch"], state["presence_layout"], p, now + 1, h)
    state["current_epoch"] = now + 1
    state["entries_seen"] += 1
    return result


def event_tokens(entries):
    tokens = [len(entries)]
    for name, value in entries:
        tokens += ["x" + name.encode("utf-8").hex(), repr(float(value))]
    return tokens


def ask_project(probe, v_dims, p_dims, seeds, entries):
    answer = probe.ask("fs_project", "pairs", v_dims, p_dims, *(w for s in seeds for w in s), *event_tokens(entries))
    numbers = [float(t) for t in answer]
    assert len(numbers) == v_dims + p_dims + 1
    return numbers[:v_dims], numbers[v_dims:]


_rand = random.Random(5150)
SEED4S = [[0, 0, 0, 0], [MASK64] * 4] + [[_rand.getrandbits(64) for _ in range(4)] for _ in range(6)]
NAME_LENGTHS = [0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 40, 100]
NAMES = (
    [bytes(_rand.getrandbits(8) for _ in range(n)) for n in NAME_LENGTHS]
    + [s.encode("utf-8") for s in ["a", "ä", "名前", "🙂 emoji", "Ünïcödé-fëätürê-nämé", "\x00\x01", "x" * 64]]
)


# ---------------------------------------------------------------------------
# Tests


def test_oracle_reaches_every_write_bytes_branch():
    seen = set()
    for name in NAMES:
        h = Hasher(SEED4S[2])
        h.write_bytes(name)
        seen.update(h.branches)
    assert seen == {"empty", "one", "two-three", "four-eight", "nine-sixteen", "long", "long-block"}


@pytest.mark.parametrize("seed", SEED4S, ids=range(len(SEED4S)))
def test_hash_name(probe, seed):
    for name in NAMES:
        assert int(probe.ask("fs_hash_name", *seed, "x" + name.hex())[0]) == hash_name(seed, name), name


@pytest.mark.parametrize("seed", SEED4S, ids=range(len(SEED4S)))
def test_hash_words(probe, seed):
    words = [(0, 0, 0), (MASK64, MASK64, MASK64), (1, 2, 3)] + [
        tuple(_rand.getrandbits(64) for _ in range(3)) for _ in range(20)
    ]
    for w in words:
        assert int(probe.ask("fs_hash_words", *seed, *w)[0]) == hash_words(seed, *w)


@pytest.mark.parametrize("buckets", [2, 3, 7, 2048])
def test_bucket_of(probe, buckets):
    for row in range(3):
        for seed in SEED4S[:4]:
            sketch = {"row_hash_seeds": {"seeds": [seed] * (row + 1)}, "buckets": buckets}
            for b in [0, 1, -1, 2**63 - 1, -(2**63), 12345, -98765]:
                assert int(probe.ask("fs_bucket", *seed, buckets, row, b)[0]) == bucket_of(sketch, row, b)


SEEDS16 = [[_rand.getrandbits(64) for _ in range(4)] for _ in range(4)]


def random_event(rng, vocabulary, size):
    return [(rng.choice(vocabulary), rng.gauss(0.0, 3.0)) for _ in range(size)]


PROJECTION_EVENTS = {
    "empty": [],
    "single": [("a", 1.0)],
    "zero": [("a", 0.0)],
    "cancelled": [("a", 1.0), ("a", -1.0)],
    "duplicates": [("b", 2.0), ("a", 1.0), ("b", 0.25), ("a", -3.5)],
    "byte_order": [("b", 1.0), ("B", 2.0), ("é", 3.0), ("e", 4.0), ("", 5.0), ("ab", 6.0), ("a", 7.0)],
    "large": [("big", 1e300), ("small", -1e-300), ("neg", -123456.75)],
    "unicode": [("名前", 2.0), ("🙂", -1.0), ("Ünï", 0.5)],
    "many": random_event(random.Random(9), [f"f{i}" for i in range(30)], 60),
}
_events = random.Random(31337)
_vocabulary = ["", "a", "ab", "ä", "名", "k" * 17] + [f"feature_{i}" for i in range(40)]
PROJECTION_EVENTS |= {f"random{k}": random_event(_events, _vocabulary, _events.randrange(0, 25)) for k in range(8)}


@pytest.mark.parametrize("dims", [(1, 1), (4, 3), (7, 5), (32, 32)], ids=str)
@pytest.mark.parametrize("event", PROJECTION_EVENTS.values(), ids=PROJECTION_EVENTS.keys())
def test_project_event(probe, dims, event):
    assert ask_project(probe, *dims, SEEDS16, event) == project(normalise(event), *dims, SEEDS16)


def test_projection_properties_of_the_oracle():
    # Sanity of the oracle itself against the plain facts of the definition.
    v, p = project(normalise([("a", 1.0), ("a", -1.0)]), 8, 8, SEEDS16)
    assert v == [0.0] * 8 and p[8] == math.log(2) and any(p[:8])
    assert project(normalise([]), 3, 2, SEEDS16) == ([0.0] * 3, [0.0] * 3)


@pytest.mark.parametrize(
    "seed,chains,depth,dims,signal",
    [(0, 1, 1, 1, 0), (1, 16, 8, 32, 0), (2, 16, 8, 32, 1), (3, 5, 40, 1, 1), (2**64 - 1, 2, 1024, 3, 1)],
)
def test_layout_draws(probe, seed, chains, depth, dims, signal):
    answer = probe.ask("fs_layout", seed, chains, depth, dims, signal)
    rng = Xoshiro.seed_from_u64(seed)
    layout = build_layout(chains, depth, dims, bool(signal), rng)
    expected = []
    for level in layout["levels"]:
        expected += [level["dimension"], level["width"], level["offset"], level["bin_volume_ratio"]]
    got = [int(t) if i % 4 == 0 else float(t) for i, t in enumerate(answer[: len(expected)])]
    assert got == expected
    assert [int(t) for t in answer[len(expected) :]] == rng.s


CONFIGS = [
    dict(value_projection_dims=3, presence_projection_dims=2, chains_per_ensemble=2, chain_depth=3,
         sketch_rows=2, sketch_buckets=8, decay_half_life=4),
    dict(value_projection_dims=1, presence_projection_dims=1, chains_per_ensemble=1, chain_depth=1,
         sketch_rows=1, sketch_buckets=2, decay_half_life=1),
    dict(value_projection_dims=6, presence_projection_dims=5, chains_per_ensemble=4, chain_depth=5,
         sketch_rows=3, sketch_buckets=16, decay_half_life=3),
]


@pytest.mark.parametrize("seed", [0, 12, 2**64 - 1])
@pytest.mark.parametrize("config", CONFIGS, ids=range(len(CONFIGS)))
def test_stream_scores_and_state(probe, config, seed):
    rng = random.Random(404)
    vocabulary = [f"n{i}" for i in range(6)] + ["ä", "long-feature-name-of-many-bytes"]
    events = [random_event(rng, vocabulary, rng.randrange(0, 5)) for _ in range(30)]
    events += [events[3]] * 5 + [[("n0", 1e6)], []]
    tokens = [t for event in events for t in event_tokens(event)]
    answer = probe.ask("fs_stream", seed, *config.values(), len(events), *tokens)
    state = create(config, seed)
    expected = []
    for event in events:
        score = update_and_score(state, event)
        expected += [score, score]  # the preview equals the ingesting call
    assert [float(t) for t in answer[:-1]] == expected
    assert json.loads(answer[-1]) == state
    assert expected[0] == 27.631021115928547
