"""MStream against a plain-Python transcription of its definition: the
parameters drawn at construction, every score of a stream (previews and
ingests, term by term, bit for bit) and the counts left behind."""

import json
import math
import random

import pytest

from morvik3 import MStream
from rng_oracle import MASK64, Xoshiro, rotl

EPSILON = 2.0**-52
INF = float("inf")


def fold(x, y):
    p = x * y
    return (p & MASK64) ^ (p >> 64)


def mix(v, k, c):
    t = fold(v ^ k ^ 0xBE5466CF34E90C6C, 0x5851F42D4C957F2D)
    m = fold(t, c ^ 0x452821E638D01377)
    return rotl(m, t % 64)


def count_score(a, s, t):
    spread = max(t - 1.0, 1.0)
    w = s / t
    if w <= EPSILON:
        return 0.0
    d = a - w
    return d * d / (spread * w) + d * d / w


def add_up(values):
    # In order, one rounding per term (the built-in sum compensates).
    total = 0.0
    for v in values:
        total += v
    return total


def zeros(rows, buckets):
    return [[0.0] * buckets for _ in range(rows)]


class Oracle:
    """The detector written out step by step, preview and ingest separately."""

    def __init__(self, numeric_dim, categorical_dim, num_rows=2, num_buckets=1024, alpha=0.8, seed=0):
        self.nd, self.cd, self.rows, self.buckets, self.alpha = (
            numeric_dim, categorical_dim, num_rows, num_buckets, alpha)
        rng = Xoshiro.seed_from_u64(seed)
        b = num_buckets
        planes = (b - 1).bit_length()
        self.planes = [[[rng.standard_normal() for _ in range(numeric_dim)] for _ in range(planes)]
                       for _ in range(num_rows)]
        self.coeffs = [[rng.mod_index(b) if j == categorical_dim - 1 else 1 + rng.mod_index(b - 1)
                        for j in range(categorical_dim)] for _ in range(num_rows)]
        self.hashes = []
        for _ in range(categorical_dim):
            hash_a = [1 + rng.mod_index(b - 1) for _ in range(num_rows)]
            hash_b = [rng.mod_index(b) for _ in range(num_rows)]
            self.hashes.append((hash_a, hash_b))
        self.record = {"current": zeros(num_rows, b), "total": zeros(num_rows, b)}
        self.numeric = [{"current": [0.0] * b, "total": [0.0] * b} for _ in range(numeric_dim)]
        self.categorical = [{"current": zeros(num_rows, b), "total": zeros(num_rows, b)}
                            for _ in range(categorical_dim)]
        self.min = [INF] * numeric_dim
        self.max = [-INF] * numeric_dim
        self.time, self.tick, self.entries = None, 0, 0

    def step(self, timestamp):
        assert timestamp > 0
        if self.time is None:
            return 0, 1
        assert timestamp >= self.time
        gap = timestamp - self.time
        return gap, self.tick + gap

    def numeric_bucket(self, z):
        return min(max(math.floor(self.buckets * z), 0), self.buckets - 1)

    def categorical_bucket(self, j, r, v):
        hash_a, hash_b = self.hashes[j]
        return mix(v & MASK64, hash_b[r], hash_a[r]) % self.buckets

    def record_bucket(self, r, z, c):
        bits = 0
        if self.nd:
            for i, plane in enumerate(self.planes[r]):
                dot = 0.0
                for w, x in zip(plane, z):
                    dot += w * x
                if dot > 0.0:
                    bits += 1 << i
        acc = 0
        for j, v in enumerate(c):
            acc = (acc + mix(v & MASK64, r, self.coeffs[r][j])) % self.buckets
        return (bits + acc) % self.buckets

    def record_cells(self, z, c):
        return [(r, self.record_bucket(r, z, c)) for r in range(self.rows)]

    def categorical_cells(self, j, v):
        return [(r, self.categorical_bucket(j, r, v)) for r in range(self.rows)]

    @staticmethod
    def estimate(table, cells):
        return min(table[r][b] for r, b in cells)

    @staticmethod
    def result(numeric_scores, record, categorical_scores):
        total = (add_up(numeric_scores) + record) + add_up(categorical_scores)
        return {"total": total, "record": record, "numeric_features": numeric_scores,
                "categorical_features": categorical_scores}

    def preview(self, numeric, categorical, timestamp):
        gap, tick = self.step(timestamp)
        factor, t = math.pow(self.alpha, gap), float(max(tick, 1))
        if not all(math.isfinite(x) for x in numeric):
            return "numeric values must be finite"
        z = []
        for i, x in enumerate(numeric):
            y = math.asinh(x)
            if self.entries == 0:
                z.append(0.0)
                continue
            lo, hi = min(self.min[i], y), max(self.max[i], y)
            z.append(0.0 if hi - lo <= EPSILON else (y - lo) / (hi - lo))
        numeric_scores = []
        for i, zi in enumerate(z):
            b = self.numeric_bucket(zi)
            pair = self.numeric[i]
            numeric_scores.append(count_score(pair["current"][b] * factor + 1.0, pair["total"][b] + 1.0, t))
        cells = self.record_cells(z, categorical)
        record = count_score(self.estimate(self.record["current"], cells) * factor + 1.0,
                             self.estimate(self.record["total"], cells) + 1.0, t)
        categorical_scores = []
        for j, v in enumerate(categorical):
            cells = self.categorical_cells(j, v)
            pair = self.categorical[j]
            categorical_scores.append(count_score(self.estimate(pair["current"], cells) * factor + 1.0,
                                                  self.estimate(pair["total"], cells) + 1.0, t))
        return self.result(numeric_scores, record, categorical_scores)

    def ingest(self, numeric, categorical, timestamp):
        gap, tick = self.step(timestamp)
        factor, t = math.pow(self.alpha, gap), float(max(tick, 1))
        self.time, self.tick = timestamp, tick
        if gap > 0:
            tables = [self.record["current"]] + [p["current"] for p in self.categorical]
            for table in tables:
                for row in table:
                    row[:] = [c * factor for c in row]
            for pair in self.numeric:
                pair["current"][:] = [c * factor for c in pair["current"]]
        if not all(math.isfinite(x) for x in numeric):
            return "numeric values must be finite"
        first = self.entries == 0
        z = []
        for i, x in enumerate(numeric):
            y = math.asinh(x)
            if first:
                self.min[i] = self.max[i] = y
                z.append(0.0)
                continue
            self.min[i], self.max[i] = min(self.min[i], y), max(self.max[i], y)
            r = self.max[i] - self.min[i]
            z.append(0.0 if r <= EPSILON else (y - self.min[i]) / r)
        numeric_scores = []
        for i, zi in enumerate(z):
            b = self.numeric_bucket(zi)
            pair = self.numeric[i]
            pair["current"][b] += 1.0
            pair["total"][b] += 1.0
            numeric_scores.append(count_score(pair["current"][b], pair["total"][b], t))
        record_cells = self.record_cells(z, categorical)
        for member in ("current", "total"):
            for r, b in record_cells:
                self.record[member][r][b] += 1.0
        categorical_scores = []
        for j, v in enumerate(categorical):
            cells = self.categorical_cells(j, v)
            pair = self.categorical[j]
            for member in ("current", "total"):
                for r, b in cells:
                    pair[member][r][b] += 1.0
            categorical_scores.append(count_score(self.estimate(pair["current"], cells),
                                                  self.estimate(pair["total"], cells), t))
        record = count_score(self.estimate(self.record["current"], record_cells),
                             self.estimate(self.record["total"], record_cells), t)
        self.entries += 1
        return self.result(numeric_scores, record, categorical_scores)


def flat(table):
    return [c for row in table for c in row]


CONFIGS = {
    "defaults": dict(numeric_dim=3, categorical_dim=2, seed=7),
    "categorical only": dict(numeric_dim=0, categorical_dim=3, num_rows=3, num_buckets=37, alpha=0.5, seed=0),
    "numeric only, two buckets": dict(numeric_dim=4, categorical_dim=0, num_rows=1, num_buckets=2, alpha=0.999,
                                      seed=2**64 - 1),
    "sign bits beyond the buckets": dict(numeric_dim=2, categorical_dim=1, num_rows=4, num_buckets=1000,
                                         alpha=0.3, seed=12345),
    "wide": dict(numeric_dim=6, categorical_dim=4, num_rows=2, num_buckets=65, alpha=0.9, seed=99),
}


def make_stream(config, seed, count=150):
    """Records mixing ordinary, huge, constant and repeated values, extreme
    categories, repeated timestamps, gaps, and now and then a NaN."""
    rng = random.Random(seed)
    nd, cd = config["numeric_dim"], config["categorical_dim"]
    categories = [0, 1, -1, 7, 2**63 - 1, -(2**63), 123456789]
    timestamp = rng.randint(1, 10**6)
    records = []
    for _ in range(count):
        numeric = []
        for i in range(nd):
            kind = rng.random()
            if i == 0:
                numeric.append(5.0)  # a constant feature
            elif kind < 0.1:
                numeric.append(rng.choice([1e6, -1e9, 1e300, -0.0]))
            else:
                numeric.append(round(rng.gauss(0.0, 3.0), rng.choice([0, 1, 6])))
        if rng.random() < 0.03 and nd:
            numeric[rng.randrange(nd)] = rng.choice([float("nan"), INF, -INF])
        categorical = [rng.choice(categories) for _ in range(cd)]
        records.append((numeric, categorical, timestamp))
        timestamp += rng.choice([0, 0, 0, 1, 1, 2, 7])
    return records


def check_parameters(mstream, oracle):
    doc = json.loads(mstream.to_json())
    for member in ("current", "total"):
        sketch = doc["record_counts"][member]
        assert sketch["numeric_planes"]["data"] == [w for row in oracle.planes for plane in row for w in plane]
        assert sketch["categorical_coeffs"]["data"] == flat(oracle.coeffs)
        for j, pair in enumerate(doc["categorical_counts"]):
            assert pair[member]["hash_a"]["data"] == oracle.hashes[j][0]
            assert pair[member]["hash_b"]["data"] == oracle.hashes[j][1]


def check_state(mstream, oracle):
    doc = json.loads(mstream.to_json())
    assert doc["clock"] == {"current_time": oracle.time, "current_tick": oracle.tick}
    assert doc["entries_seen"] == oracle.entries
    for member in ("current", "total"):
        assert doc["record_counts"][member]["count"]["data"] == flat(oracle.record[member])
        assert [p[member]["count"]["data"] for p in doc["numeric_counts"]] == [p[member] for p in oracle.numeric]
        assert [p[member]["count"]["data"] for p in doc["categorical_counts"]] == [
            flat(p[member]) for p in oracle.categorical]
    normalizer = doc["numeric_normalizer"]
    assert normalizer["min_numeric"] == [None if math.isinf(v) else v for v in oracle.min]
    assert normalizer["max_numeric"] == [None if math.isinf(v) else v for v in oracle.max]


@pytest.mark.parametrize("name", CONFIGS)
def test_construction_draws_every_parameter_in_order(name):
    config = CONFIGS[name]
    check_parameters(MStream(**config), Oracle(**config))


@pytest.mark.parametrize("name", CONFIGS)
def test_every_score_and_count_matches_the_oracle(name):
    config = CONFIGS[name]
    mstream, oracle = MStream(**config), Oracle(**config)
    rejected = 0
    for numeric, categorical, timestamp in make_stream(config, seed=len(name)):
        expected = oracle.preview(numeric, categorical, timestamp)
        if isinstance(expected, str):
            with pytest.raises(ValueError, match=expected):
                mstream.score_detailed(numeric, categorical, timestamp)
            with pytest.raises(ValueError, match=expected):
                mstream.update_and_score_detailed(numeric, categorical, timestamp)
            assert oracle.ingest(numeric, categorical, timestamp) == expected
            rejected += 1
            continue
        assert mstream.score_detailed(numeric, categorical, timestamp) == expected
        assert mstream.score(numeric, categorical, timestamp) == expected["total"]
        assert mstream.update_and_score_detailed(numeric, categorical, timestamp) == oracle.ingest(
            numeric, categorical, timestamp) == expected
    check_state(mstream, oracle)
    assert oracle.entries > 100 and (rejected > 0 or config["numeric_dim"] == 0)
