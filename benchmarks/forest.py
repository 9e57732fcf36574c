"""Throughput of Forest(4) with default settings over a seeded synthetic stream.

Prints steady-state calls per second of `update`, `score` and
`update_and_score`; of the queries `density`, `attribution`, `near_neighbors`
(top_k 10, percentile 50) and `impute` (one missing coordinate) on the same
forest, and of `extrapolate(8)` on a `Forest(1, shingle_size=8)` fed the
first coordinate of the stream; the document size with `to_json` /
`from_json` throughput, the speedup of two threads over one scoring a shared
forest, and,
when the pure-Python `rrcf` package is installed, the speedup of
`update_and_score` over rrcf's streaming insert / codisp / forget loop with
the same number of trees and tree size.

    python benchmarks/forest.py              # 200,000 points
    python benchmarks/forest.py --points 20000
"""

import argparse
import os
import threading
import time
import warnings

# numpy only generates the stream; idle OpenBLAS threads spinning on the
# second core would disturb the timings of the forest.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import morvik3
from _machine import describe

DIM = 4
SHINGLE = 8
RRCF_POINTS = 2_000


def synthetic_stream(n, seed):
    """Two slow sinusoids and two noisy random walks, with 0.5% of the points
    displaced by 6 to 12 standard deviations in one to four coordinates."""
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=np.float64)
    data = np.column_stack([
        np.sin(t / 50.0),
        np.cos(t / 170.0) * 2.0,
        np.cumsum(rng.normal(scale=0.01, size=n)),
        np.cumsum(rng.normal(scale=0.01, size=n)),
    ]) + rng.normal(scale=0.1, size=(n, DIM))
    anomalous = rng.random(n) < 0.005
    k = int(anomalous.sum())
    shift = rng.uniform(6.0, 12.0, size=(k, DIM)) * rng.choice([-1.0, 1.0], size=(k, DIM))
    shift *= rng.random((k, DIM)) < 0.6
    shift[np.arange(k), rng.integers(0, DIM, size=k)] = rng.uniform(6.0, 12.0, size=k)
    data[anomalous] += shift
    return data.tolist(), anomalous


def rate(calls, seconds):
    return calls / seconds if seconds > 0 else float("inf")


def timed(fn, items):
    start = time.perf_counter()
    for item in items:
        fn(item)
    return time.perf_counter() - start


def best_of(repeats, fn):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def threaded_scoring(forest, queries, threads):
    """Seconds for `threads` threads to score `queries` between them."""
    parts = [queries[i::threads] for i in range(threads)]
    barrier = threading.Barrier(threads + 1)

    def work(part):
        barrier.wait()
        for q in part:
            forest.score(q)

    pool = [threading.Thread(target=work, args=(p,)) for p in parts]
    for t in pool:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in pool:
        t.join()
    return time.perf_counter() - start


def rrcf_seconds(points, num_trees, tree_size):
    """rrcf's documented streaming loop: forget the oldest point once a tree
    is full, insert the new one, and average its collusive displacement."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # rrcf imports the deprecated pkg_resources
        import rrcf

    forest = [rrcf.RCTree() for _ in range(num_trees)]
    avg_codisp = {}
    start = time.perf_counter()
    for index, point in enumerate(np.asarray(points)):
        for tree in forest:
            if len(tree.leaves) > tree_size:
                tree.forget_point(index - tree_size)
            tree.insert_point(point, index=index)
            avg_codisp[index] = avg_codisp.get(index, 0.0) + tree.codisp(index) / num_trees
    return time.perf_counter() - start


def steady_state_rows(detector, stream, anomalous, warm):
    """Calls per second of update, score and update_and_score after `warm`
    updates, each on its own third of the rest of the stream; the mean scores
    of injected anomalies and other points; the document size and its write
    and read throughput. Returns the rows and the points that were scored."""
    third = (len(stream) - warm) // 3
    update_part = stream[warm:warm + third]
    score_part = stream[warm + third:warm + 2 * third]
    uas_part = stream[warm + 2 * third:]
    for p in stream[:warm]:
        detector.update(p)
    rows = []
    t_update = timed(detector.update, update_part)
    rows.append(("update", f"{rate(len(update_part), t_update):,.0f}", "calls/s"))
    t_score = timed(detector.score, score_part)
    rows.append(("score", f"{rate(len(score_part), t_score):,.0f}", "calls/s"))
    scores = []
    t_uas = timed(lambda p: scores.append(detector.update_and_score(p)), uas_part)
    rows.append(("update_and_score", f"{rate(len(uas_part), t_uas):,.0f}", "calls/s"))

    flags = anomalous[warm + 2 * third:]
    scores = np.asarray(scores)
    if flags.any() and (~flags).any():
        rows.append(("mean score, injected anomalies", f"{scores[flags].mean():.3f}", ""))
        rows.append(("mean score, other points", f"{scores[~flags].mean():.3f}", ""))

    text = detector.to_json()
    megabytes = len(text.encode()) / 1e6
    rows.append(("document size", f"{megabytes:,.2f}", "MB"))
    t_write = best_of(3, detector.to_json)
    rows.append(("to_json", f"{megabytes / t_write:,.0f}", "MB/s"))
    t_read = best_of(3, lambda: type(detector).from_json(text))
    rows.append(("from_json", f"{megabytes / t_read:,.0f}", "MB/s"))
    return rows, score_part


def print_rows(rows):
    width = max(len(name) for name, _, _ in rows)
    print(f"{'measure':<{width}}  {'value':>12}  unit")
    for name, value, unit in rows:
        print(f"{name:<{width}}  {value:>12}  {unit}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=200_000, help="length of the stream (default 200000)")
    parser.add_argument("--seed", type=int, default=7, help="seed of the stream and the forests")
    parser.add_argument("--no-rrcf", action="store_true", help="skip the rrcf comparison")
    args = parser.parse_args()
    if args.points < 100:
        parser.error("--points must be at least 100")

    stream, anomalous = synthetic_stream(args.points, args.seed)
    n = len(stream)
    warm = n // 10
    forest = morvik3.Forest(DIM, seed=args.seed)
    rows, score_part = steady_state_rows(forest, stream, anomalous, warm)

    queries = score_part[: min(len(score_part), 20_000)]
    for name, call in [
        ("density", forest.density),
        ("attribution", forest.attribution),
        ("near_neighbors", lambda q: forest.near_neighbors(q, top_k=10, percentile=50)),
        ("impute", lambda q: forest.impute(q, [2])),
    ]:
        rows.append((name, f"{rate(len(queries), timed(call, queries)):,.0f}", "calls/s"))
    series = morvik3.Forest(1, shingle_size=SHINGLE, seed=args.seed)
    for p in stream[:warm]:
        series.update(p[:1])
    calls = min(len(queries), 5_000)
    t_extrapolate = timed(lambda _: series.extrapolate(SHINGLE), range(calls))
    rows.append((f"extrapolate({SHINGLE}), Forest(1, shingle_size={SHINGLE})",
                 f"{rate(calls, t_extrapolate):,.0f}", "calls/s"))

    one = min(threaded_scoring(forest, queries, 1) for _ in range(3))
    two = min(threaded_scoring(forest, queries, 2) for _ in range(3))
    rows.append(("score, 2 threads vs 1", f"{one / two:.2f}", "x"))

    rrcf_note = None
    if args.no_rrcf:
        rrcf_note = "rrcf comparison skipped (--no-rrcf)"
    else:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                import rrcf  # noqa: F401
        except ImportError as e:
            rrcf_note = f"rrcf comparison skipped: {e} (pip install rrcf, which needs setuptools<81)"
    if rrcf_note is None:
        head = stream[: min(RRCF_POINTS, n)]
        fresh = morvik3.Forest(DIM, seed=args.seed)
        ours = timed(fresh.update_and_score, head)
        theirs = rrcf_seconds(head, fresh.num_trees(), 256)
        rows.append((f"rrcf loop, first {len(head):,} points", f"{rate(len(head), theirs):,.0f}", "points/s"))
        rows.append((f"update_and_score, same {len(head):,} points", f"{rate(len(head), ours):,.0f}", "points/s"))
        rows.append(("update_and_score speedup over rrcf", f"{theirs / ours:,.0f}", "x"))

    print(describe())
    print(f"Forest({DIM}) with defaults (50 trees, capacity 256), {n:,} points, seed {args.seed}, "
          f"{warm:,} warm-up updates; morvik3 {morvik3.__version__}")
    print_rows(rows)
    if rrcf_note:
        print(rrcf_note)


if __name__ == "__main__":
    main()
