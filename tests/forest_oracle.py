"""An independent plain-Python walk of a Forest's state document: every query
of the forest, written from its definition with float32 arithmetic where the
forest uses it, for the query suites to compare against."""

import json
import math
import struct

import numpy as np

from rng_oracle import Xoshiro

NULL = 2**64 - 1
F32 = np.float32
INF = math.inf


def total_order_key(v):
    """IEEE total order of a float32 (negative NaN first, positive NaN last)."""
    (bits,) = struct.unpack("<i", struct.pack("<f", v))
    return bits ^ ((bits >> 31) & 0x7FFFFFFF)


def median(values):
    ordered = sorted(values, key=total_order_key)
    n = len(ordered)
    upper = ordered[n // 2]
    if n % 2:
        return upper
    with np.errstate(over="ignore"):
        return F32(F32(ordered[n // 2 - 1] + upper) * F32(0.5))


class DocumentOracle:
    def __init__(self, forest):
        self.doc = json.loads(forest.to_json())
        self.ps = self.doc["point_store"]
        self.trees = self.doc["trees"]
        config = self.doc["config"]
        self.d = config["input_dim"]
        self.internal_shingling = config["internal_shingling"]

    def query(self, point):
        with np.errstate(over="ignore"):  # values beyond float32 narrow to infinity
            q = [F32(v) for v in point]
        if self.internal_shingling and len(q) == self.d:
            # The shingle the next update would store: the buffer shifted, the point appended.
            return [F32(v) for v in self.ps["shingle_buf"][self.d:]] + q
        return q

    def node(self, tree, slot):
        ((kind, fields),) = tree["arena"]["nodes"][slot].items()
        return kind, fields

    def row(self, r):
        dim = self.ps["dim"]
        return [F32(v) for v in self.ps["store"]["data"][r * dim:(r + 1) * dim]]

    def live(self):
        return [t for t in self.trees if t["root"] != NULL and t["tree_mass"]]

    @staticmethod
    def terms(q, lo, hi):
        """(dimension, side, float32 distance) wherever q lies outside [lo, hi]."""
        out = []
        with np.errstate(over="ignore", invalid="ignore"):
            for i, (x, a, b) in enumerate(zip(q, lo, hi)):
                a, b = F32(a), F32(b)
                if x < a:
                    out.append((i, "below", F32(a - x)))
                elif x > b:
                    out.append((i, "above", F32(x - b)))
        return out

    @staticmethod
    def gap(terms):
        total = F32(0.0)
        with np.errstate(over="ignore"):
            for _, _, g in terms:
                total = F32(total + g)
        return float(total)

    @staticmethod
    def separation(gap, range_sum):
        range_sum = INF if range_sum is None else range_sum
        if gap == 0.0:
            return 0.0
        if range_sum == 0.0 or math.isinf(gap):
            return 1.0
        return gap / (range_sum + gap)

    def p(self, q, n):
        box = n["bbox"]
        return self.separation(self.gap(self.terms(q, box["min"], box["max"])), box["range_sum"])

    @staticmethod
    def side(q, n):
        return n["left"] if q[n["cut_dim"]] <= F32(n["cut_val"]) else n["right"]

    @staticmethod
    def l1(q, row, skip=()):
        with np.errstate(over="ignore", invalid="ignore"):
            return sum(float(abs(F32(a - b))) for i, (a, b) in enumerate(zip(q, row)) if i not in skip)

    # -- score, displacement_score: the recursive definition

    def walk(self, tree, slot, depth, q, leaf, unseen):
        """`leaf(depth, mass, matched, tree_mass)` values a leaf; `unseen(depth, mass)` a separation."""
        kind, n = self.node(tree, slot)
        if kind == "Leaf":
            matched = all(a == b for a, b in zip(q, self.row(n["point_idx"])))
            return leaf(depth, n["mass"], matched, tree["tree_mass"])
        v = self.walk(tree, self.side(q, n), depth + 1, q, leaf, unseen)
        p = self.p(q, n)
        return v if p == 0.0 else v * (1.0 - p) + unseen(depth, n["mass"]) * p

    def average(self, point, leaf, unseen, normalise):
        q = self.query(point)
        return sum(normalise(self.walk(t, t["root"], 0, q, leaf, unseen), t["tree_mass"])
                   for t in self.live()) / len(self.trees)

    def score(self, point):
        def leaf(k, m, matched, t):
            return 1.0 / (k + math.log2(m + 1)) * (1.0 - m / (2.0 * t)) if matched else 1.0 / (k + 1)

        return self.average(point, leaf, lambda k, m: 1.0 / (k + 1), lambda v, t: v * math.log2(t + 1))

    def displacement_score(self, point):
        def leaf(k, m, matched, t):
            return 1.0 / (m + 1) * (1.0 - m / (2.0 * t)) if matched else float(m)

        return self.average(point, leaf, lambda k, m: float(m), lambda v, t: v / (t + 1))

    # -- density: copies of the routed leaf per unit of L1 distance

    def density(self, point):
        q = self.query(point)
        total = 0.0
        for t in self.live():
            kind, n = self.node(t, t["root"])
            parent = None
            while kind == "Internal":
                parent = n
                kind, n = self.node(t, self.side(q, n))
            row = self.row(n["point_idx"])
            spread = self.gap(self.terms(q, row, row))
            if parent is not None:
                range_sum = parent["bbox"]["range_sum"]
                spread = max(spread, INF if range_sum is None else range_sum)
            total += INF if spread == 0.0 else n["mass"] / spread
        return total / len(self.trees)

    # -- attribution: each node's share split over the outside dimensions

    def attribution(self, point):
        q = self.query(point)
        sums = [{"below": 0.0, "above": 0.0} for _ in q]
        for t in self.live():
            norm, r, k = math.log2(t["tree_mass"] + 1), 1.0, 0
            kind, n = self.node(t, t["root"])
            while kind == "Internal":
                terms = self.terms(q, n["bbox"]["min"], n["bbox"]["max"])
                g = self.gap(terms)
                p = self.separation(g, n["bbox"]["range_sum"])
                if p != 0.0:
                    share = r * p * (1.0 / (k + 1)) * norm
                    infinite = [x for x in terms if math.isinf(x[2])]
                    if not math.isinf(g):
                        parts = [(i, s, share * (float(x) / g)) for i, s, x in terms]
                    elif infinite:
                        parts = [(i, s, share / len(infinite)) for i, s, _ in infinite]
                    else:
                        total = sum(float(x) for _, _, x in terms)
                        parts = [(i, s, share * (float(x) / total)) for i, s, x in terms]
                    for i, s, v in parts:
                        sums[i][s] += v
                    r *= 1.0 - p
                kind, n = self.node(t, self.side(q, n))
                k += 1
        return [{"below": s["below"] / len(self.trees), "above": s["above"] / len(self.trees)} for s in sums]

    # -- near neighbours: the own path always, far subtrees pruned by percentile

    def near_neighbors(self, point, top_k=10, percentile=50):
        q, theta = self.query(point), percentile / 100
        found = {}  # point index -> [score sum, distance], filled in collection order

        def walk(t, slot, depth, own):
            kind, n = self.node(t, slot)
            if kind == "Leaf":
                entry = found.setdefault(n["point_idx"], [0.0, self.l1(q, self.row(n["point_idx"]))])
                entry[0] += (1.0 / (depth + 1)) * math.log2(t["tree_mass"] + 1)
                return
            p = self.p(q, n)
            if not own and p <= theta:
                return
            child = self.side(q, n)
            walk(t, child, depth + 1, own)
            if p > 0.5:
                walk(t, n["left"] if child == n["right"] else n["right"], depth + 1, False)

        for t in self.live():
            walk(t, t["root"], 0, True)
        order = sorted(found, key=lambda i: (math.isnan(found[i][1]), found[i][1] if found[i][1] == found[i][1] else 0.0, i))
        return [{"score": found[i][0] / len(self.trees), "point": [float(v) for v in self.row(i)],
                 "distance": found[i][1]} for i in order[:top_k]]

    # -- imputation and extrapolation

    def nearest(self, t, q, missing, centrality, rng):
        best = None

        def walk(slot):
            nonlocal best
            kind, n = self.node(t, slot)
            if kind == "Internal":
                if n["cut_dim"] in missing:
                    walk(n["left"])
                    walk(n["right"])
                else:
                    walk(self.side(q, n))
                return
            distance = self.l1(q, self.row(n["point_idx"]), missing)
            if best is None:
                best = (n["point_idx"], distance)
            elif centrality >= 1.0:
                if distance < best[1]:
                    best = (n["point_idx"], distance)
            else:
                u = rng.unit_f64()
                if distance < best[1] or u < 1.0 - centrality:
                    best = (n["point_idx"], distance)

        walk(t["root"])
        return best[0]

    def candidates(self, q, missing, centrality, seed):
        master = Xoshiro.seed_from_u64(seed)
        rows = []
        for t in self.trees:
            rng = Xoshiro.seed_from_u64(master.next_u64())
            if t["root"] != NULL and t["tree_mass"]:
                rows.append(self.nearest(t, q, missing, centrality, rng))
        return rows

    def impute(self, point, missing, centrality=1.0):
        q, missing = [F32(v) for v in point], set(missing)
        rows = self.candidates(q, missing, centrality, Xoshiro(self.doc["rng"]["s"]).next_u64())
        return [float(median([self.row(r)[i] for r in rows])) if i in missing else float(v) for i, v in enumerate(q)]

    def extrapolate(self, look_ahead):
        shingle, d = [F32(v) for v in self.ps["shingle_buf"]], self.d
        missing = set(range(len(shingle) - d, len(shingle)))
        rng = Xoshiro(self.doc["rng"]["s"])
        rng.next_u64()
        out = []
        for _ in range(look_ahead):
            shingle = shingle[d:] + [F32(0.0)] * d
            rows = self.candidates(shingle, missing, 1.0, rng.next_u64())
            for i in sorted(missing):
                shingle[i] = median([self.row(r)[i] for r in rows])
                out.append(float(shingle[i]))
        return out
