"""Digests of what the detectors answer and the documents they write, over
many seeded streams and configurations, so that two builds can be compared
bit for bit: run it under each and diff the outputs.

    PYTHONPATH=/path/to/other/build python tools/digest.py > other.txt
    python tools/digest.py > mine.txt && diff other.txt mine.txt

Each line names a case and gives a digest of its scores (per call and per
batch, the batches stopping at a bad row where the case has one), of the
queries' answers afterwards and of the final document.  Where the build's
batch methods take `threads=`, every case is also run with each of
--threads and a line "MISMATCH" is printed for any that differs from the
batch without it; the digest lines do not depend on it, so builds with and
without `threads=` still diff cleanly.
"""

import argparse
import hashlib
import itertools
import math
import sys

import numpy as np

import morvik3


def digest(*parts):
    h = hashlib.sha256()
    for p in parts:
        h.update(repr(p).encode() if not isinstance(p, (bytes, str)) else (p.encode() if isinstance(p, str) else p))
        h.update(b"\0")
    return h.hexdigest()[:16]


def bits(values):
    return np.asarray(values, dtype=np.float64).tobytes()


def outcome(call):
    """The result of `call`, or the type and message of what it raised."""
    try:
        return call()
    except (ValueError, RuntimeError, TypeError, OverflowError) as e:
        return f"{type(e).__name__}: {e}"


def forest_stream(kind, rows, width, rng):
    x = rng.normal(size=(rows, width)) * 2.0
    if kind == "duplicates":
        x = np.round(x)  # few distinct points, many merged leaves
    elif kind == "zeros":
        x[rng.random(x.shape) < 0.3] = 0.0
        x[rng.random(x.shape) < 0.05] = -0.0
    elif kind == "drift":
        x += np.linspace(0.0, 40.0, rows)[:, None]
    elif kind == "spikes":
        x[::29] += 50.0
    return x


def bad_row(x, at):
    y = x.copy()
    y[at, 0] = math.inf
    return y


FOREST_CONFIGS = [
    dict(input_dim=4),
    dict(input_dim=4, num_trees=3, capacity=4),
    dict(input_dim=1, num_trees=7, capacity=32, shingle_size=4),
    dict(input_dim=2, num_trees=5, capacity=16, shingle_size=3, internal_shingling=False),
    dict(input_dim=3, num_trees=9, capacity=1),
    dict(input_dim=5, num_trees=6, capacity=24, initial_accept_fraction=1.0),
    dict(input_dim=6, num_trees=4, capacity=20, initial_accept_fraction=0.0, time_decay=0.01),
    dict(input_dim=8, num_trees=5, capacity=64, output_after=3),
    dict(input_dim=13, num_trees=3, capacity=40),
    dict(input_dim=2, num_trees=70, capacity=8),
]


def forest_cases(seeds):
    for config, kind, seed in itertools.product(FOREST_CONFIGS, ["normal", "duplicates", "zeros", "drift", "spikes"],
                                                seeds):
        c = dict(config)
        rows = 3000 if c.get("capacity", 256) >= 256 else 700
        width = c["input_dim"] * (1 if c.get("internal_shingling", True) else c.get("shingle_size", 1))
        rng = np.random.default_rng(seed)
        x = forest_stream(kind, rows, width, rng)
        dim = c.pop("input_dim")
        make = lambda: morvik3.Forest(dim, seed=seed, **c)  # noqa: E731
        yield (f"Forest({dim}, {c}) {kind} seed {seed}", make, x)


def forest_run(make, x, threads_kw):
    rows = len(x)
    half = rows // 2
    f = make()
    first = f.update_and_score_many(x[:half], **threads_kw)
    stopped = outcome(lambda: f.update_and_score_many(bad_row(x[half:], rows // 5), **threads_kw))
    after_stop = f.to_json()
    f.update_many(x[half + rows // 5 + 1 :], **threads_kw)
    previews = f.score_many(x[:200], **threads_kw)
    return [bits(first), stopped, after_stop, bits(previews), f.to_json()]


def forest_digest(make, x):
    f = make()
    per_call = [f.update_and_score(p) for p in x[: len(x) // 4].tolist()]
    queries = []
    for q in x[:20].tolist():
        q = q[: f.input_dim] if f.internal_shingling else q
        queries.append((f.score(q), f.displacement_score(q), f.density(q), f.attribution(q),
                        f.near_neighbors(q, top_k=3)))
    return bits(per_call), queries, f.to_json()


def sketch_cases(seeds):
    configs = [dict(), dict(chains_per_ensemble=5, chain_depth=3, sketch_buckets=64, decay_half_life=50),
               dict(value_projection_dims=7, presence_projection_dims=3, sketch_rows=3, sketch_buckets=1000)]
    for config, seed in itertools.product(configs, seeds):
        rng = np.random.default_rng(seed)
        names = [f"f{i}" for i in range(200)]
        events = [dict(zip(rng.choice(names, rng.integers(0, 12), replace=False).tolist(),
                           (rng.normal(size=12) * 3).tolist())) for _ in range(1500)]
        make = lambda config=config, seed=seed: morvik3.FeatureSketch(seed=seed, **config)  # noqa: E731
        yield (f"FeatureSketch({config}) seed {seed}", make, events)


def sketch_run(make, events, threads_kw):
    s = make()
    half = len(events) // 2
    first = s.update_and_score_many(events[:half], **threads_kw)
    bad = list(events[half:])
    bad[100] = {"x": math.nan}
    stopped = outcome(lambda: s.update_and_score_many(bad, **threads_kw))
    s.update_many(events[half + 101 :], **threads_kw)
    previews = s.score_many(events[:200], **threads_kw)
    return [bits(first), stopped, bits(previews), s.to_json()]


def oif_cases(seeds):
    configs = [dict(input_dim=4), dict(input_dim=3, num_trees=5, window_size=64, max_leaf_samples=4),
               dict(input_dim=1, num_trees=40, window_size=300, max_leaf_samples=8)]
    for config, seed in itertools.product(configs, seeds):
        c = dict(config)
        dim = c.pop("input_dim")
        x = forest_stream("spikes", 2500, dim, np.random.default_rng(seed))
        make = lambda dim=dim, c=c, seed=seed: morvik3.OnlineIForest(dim, seed=seed, **c)  # noqa: E731
        yield (f"OnlineIForest({dim}, {c}) seed {seed}", make, x)


def oif_run(make, x, threads_kw):
    f = make()
    half = len(x) // 2
    first = f.update_and_score_many(x[:half], **threads_kw)
    stopped = outcome(lambda: f.update_and_score_many(bad_row(x[half:], 300), **threads_kw))
    f.update_many(x[half + 301 :], **threads_kw)
    previews = f.score_many(x[:200], **threads_kw)
    return [bits(first), stopped, bits(previews), f.to_json()]


def mstream_lines(seeds):
    for seed in seeds:
        rng = np.random.default_rng(seed)
        n = rng.normal(size=(1500, 3))
        n[::41] += 20
        c = rng.integers(0, 5, size=(1500, 2))
        t = 1 + np.arange(1500) // 3
        m = morvik3.MStream(3, 2, seed=seed)
        scores = m.update_and_score_many(n, c, t)
        yield f"MStream(3, 2) seed {seed}", digest(bits(scores), m.to_json())


def threads_supported():
    try:
        morvik3.Forest(1, seed=0).score_many([[0.0]], threads=1)
        return True
    except TypeError:
        return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", type=int, default=3, help="seeds per configuration (default 3)")
    parser.add_argument("--threads", default="1,2,3,0", help="threads values compared where supported")
    args = parser.parse_args()
    seeds = range(1, args.seeds + 1)
    threads = [int(t) for t in args.threads.split(",")] if threads_supported() else []
    mismatches = 0

    def batches(name, run, make, data):
        nonlocal mismatches
        parts = run(make, data, {})
        for t in threads:
            if run(make, data, {"threads": t}) != parts:
                mismatches += 1
                print(f"MISMATCH {name} threads={t}", flush=True)
        return parts

    for name, make, x in forest_cases(seeds):
        print(name, digest(*batches(name, forest_run, make, x), *forest_digest(make, x)), flush=True)
    for name, make, events in sketch_cases(seeds):
        s = make()
        per_call = [s.update_and_score(e) for e in events[:300]]
        print(name, digest(*batches(name, sketch_run, make, events), bits(per_call), s.to_json()), flush=True)
    for name, make, x in oif_cases(seeds):
        f = make()
        per_call = [f.update_and_score(p) for p in x[:300].tolist()]
        print(name, digest(*batches(name, oif_run, make, x), bits(per_call), f.to_json()), flush=True)
    for name, d in mstream_lines(seeds):
        print(name, d, flush=True)
    print(f"threads compared: {threads or 'none (the build has no threads=)'}; mismatches: {mismatches}",
          file=sys.stderr)
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
