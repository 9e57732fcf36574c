"""Rows per second of the batch methods against the per-call loop, for
Forest(4) and FeatureSketch with default settings, and what `threads=`
gains by the size of a batch.

Each figure is the best of a few runs over the same rows, each run on a copy
of one warmed-up detector, so that both ways do the same work.  Rates are
given by wall-clock time and by the thread's CPU time: on a shared machine
the second is the steadier comparison (all the work runs on this thread).
The threads table gives wall-clock rates, and the CPU time of the whole
process per row: what sharing out costs beyond the work itself.  A batch
shorter than the drivers' threshold (24 rows for a forest) runs on the
calling thread whatever `threads` says.

    python benchmarks/batch.py              # 50,000 rows each
    python benchmarks/batch.py --rows 20000
"""

import argparse
import os
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import morvik3
from _machine import describe

REPEATS = 3


def fastest(make, run, clock=time.thread_time):
    """Wall-clock and `clock` seconds of the fastest of REPEATS runs, each on
    a fresh copy."""
    wall, cpu = [], []
    for _ in range(REPEATS):
        detector = make()
        start, start_cpu = time.perf_counter(), clock()
        run(detector)
        wall.append(time.perf_counter() - start)
        cpu.append(clock() - start_cpu)
    return min(wall), min(cpu)


def best_rate(make, run, rows):
    """Rows per second by wall clock and by this thread's CPU time."""
    wall, cpu = fastest(make, run)
    return rows / wall, rows / cpu


def best_threaded(make, run, rows):
    """Rows per second by wall clock, and the whole process's CPU seconds per
    row: what every thread of a shared batch spent."""
    wall, cpu = fastest(make, run, time.process_time)
    return rows / wall, cpu / rows


def threads_table(forest_make, forest_rows_, sketch_make, events_):
    """update_and_score_many over batches of several sizes on 1 and 2 threads."""
    print(f"{'detector':<17}{'rows per batch':>16}{'threads':>9}{'rows/s wall':>13}{'CPU us/row':>12}")
    for name, make, data in [("Forest(4)", forest_make, forest_rows_), ("FeatureSketch()", sketch_make, events_)]:
        for size in (16, 32, 128, 1024, 8192):
            batches = [data[i : i + size] for i in range(0, min(len(data), 8192), size)]
            rows = sum(len(b) for b in batches)
            for threads in (1, 2):
                def run(d, threads=threads):
                    for b in batches:
                        d.update_and_score_many(b, threads=threads)
                rate, cpu = best_threaded(make, run, rows)
                print(f"{name:<17}{size:>16,}{threads:>9}{rate:>13,.0f}{cpu * 1e6:>12.1f}")


def forest_rows(n, seed=7):
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=np.float64)
    x = np.column_stack([np.sin(t / 50.0), np.cos(t / 170.0), rng.normal(size=n), rng.normal(size=n)])
    return x + rng.normal(scale=0.1, size=x.shape)


def events(n, seed=7):
    rng = np.random.default_rng(seed)
    names = [f"feature_{i:04d}" for i in range(1000)]
    return [dict(zip(rng.choice(names, 10, replace=False).tolist(), rng.normal(size=10).tolist())) for _ in range(n)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=50_000)
    n = parser.parse_args().rows

    table = []
    x = forest_rows(2 * n)
    warm, rows = x[:n], x[n:]
    listed = rows.tolist()
    base = morvik3.Forest(4, seed=1)
    base.update_many(warm)  # samplers full: the steady state
    make = base.__copy__
    loop = best_rate(make, lambda f: [f.update_and_score(p) for p in listed], n)
    array = best_rate(make, lambda f: f.update_and_score_many(rows), n)
    lists = best_rate(make, lambda f: f.update_and_score_many(listed), n)
    table.append(("Forest(4)", "per-call loop of update_and_score (lists)", loop, loop))
    table.append(("Forest(4)", "update_and_score_many (float64 array)", array, loop))
    table.append(("Forest(4)", "update_and_score_many (list of lists)", lists, loop))
    forest_make = make
    scores = best_rate(make, lambda f: [f.score(p) for p in listed], n)
    table.append(("Forest(4)", "per-call loop of score (lists)", scores, None))
    table.append(("Forest(4)", "score_many (float64 array)", best_rate(make, lambda f: f.score_many(rows), n), None))

    ev = events(2 * n)
    base = morvik3.FeatureSketch(seed=1)
    base.update_many(ev[:n])
    make, ev = base.__copy__, ev[n:]
    loop = best_rate(make, lambda s: [s.update_and_score(e) for e in ev], n)
    batch = best_rate(make, lambda s: s.update_and_score_many(ev), n)
    table.append(("FeatureSketch()", "per-call loop of update_and_score (dicts)", loop, loop))
    table.append(("FeatureSketch()", "update_and_score_many (list of dicts)", batch, loop))
    sketch_make = make

    print(describe())
    print(f"{n:,} rows after {n:,} rows of warm-up; Forest rows: 4 columns, FeatureSketch events: "
          "10 of 1,000 names")
    print(f"{'detector':<17}{'method':<44}{'rows/s wall':>13}{'vs loop':>9}{'rows/s CPU':>13}{'vs loop':>9}")
    for detector, method, (wall, cpu), loop in table:
        ratios = ("", "") if loop is None else (f"{wall / loop[0]:.2f}x", f"{cpu / loop[1]:.2f}x")
        print(f"{detector:<17}{method:<44}{wall:>13,.0f}{ratios[0]:>9}{cpu:>13,.0f}{ratios[1]:>9}")
    print()
    threads_table(forest_make, rows, sketch_make, ev)
    print(f"load average after: {' '.join(open('/proc/loadavg').read().split()[:3])}")


if __name__ == "__main__":
    main()
