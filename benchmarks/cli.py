"""Rows per second of `morvik3 score` on a generated 1,000,000-row CSV
(univariate, and 4 columns), against update_and_score_many on the same
detector fed the same numbers in one call (the cost of reading, parsing and
writing that the command adds), and against the plain Python loop a user
would write without the command (csv.reader, one update_and_score per row,
csv.writer).

The command parses and writes on one thread while the detector scores on
another, so its wall-clock rate depends on a second core being free; its CPU
time (all threads) shows the work it adds either way.  Best of three runs,
the command, the batch call and the loop taking turns.

    python benchmarks/cli.py                 # 1,000,000 rows
    python benchmarks/cli.py --rows 200000
"""

import argparse
import csv
import os
import resource
import subprocess
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import morvik3
from _machine import describe

REPEATS = 3


def generate(path, rows, columns, seed=11):
    """timestamp plus `columns` numeric columns: daily cycles, noise, rare spikes."""
    rng = np.random.default_rng(seed)
    t = np.arange(rows)
    values = np.column_stack([np.sin(t / (40.0 + 13 * j)) * 10 + rng.normal(size=rows) for j in range(columns)])
    values[rng.random(rows) < 0.001] += 25.0
    start = np.datetime64("2024-01-01T00:00:00")
    stamps = (start + t.astype("timedelta64[s]") * 60).astype(str)
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["timestamp"] + [f"v{j}" for j in range(columns)])
        for start_row in range(0, rows, 100_000):
            block = values[start_row : start_row + 100_000].round(6).tolist()
            w.writerows([s] + r for s, r in zip(stamps[start_row : start_row + 100_000].tolist(), block))
    return values.round(6)


def python_loop(path, columns):
    """csv.reader in, one update_and_score per row, csv.writer out: the command's
    work written by hand, scores only."""
    forest = morvik3.Forest(columns, shingle_size=8 if columns == 1 else 1, seed=0)
    with open(path, newline="") as f, open(os.devnull, "w", newline="") as out:
        reader, writer = csv.reader(f), csv.writer(out)
        writer.writerow(next(reader) + ["score"])
        for row in reader:
            writer.writerow(row + [forest.update_and_score([float(v) for v in row[1:]])])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    n = parser.parse_args().rows
    results = []
    with tempfile.TemporaryDirectory() as folder:
        for columns in (1, 4):
            path = os.path.join(folder, f"series_{columns}.csv")
            values = generate(path, n, columns)
            size = os.path.getsize(path)
            command = [sys.executable, "-m", "morvik3", "score", path, "-o", os.devnull, "--quiet"]
            cli, cli_cpu, batch, batch_cpu, loop, loop_cpu = [], [], [], [], [], []
            for _ in range(REPEATS):
                before = resource.getrusage(resource.RUSAGE_CHILDREN)
                start = time.perf_counter()
                subprocess.run(command, check=True)
                cli.append(time.perf_counter() - start)
                after = resource.getrusage(resource.RUSAGE_CHILDREN)
                cli_cpu.append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
                # The command's defaults: 8-row shingles for one column, none for several; seed 0.
                forest = morvik3.Forest(columns, shingle_size=8 if columns == 1 else 1, seed=0)
                start, start_cpu = time.perf_counter(), time.thread_time()
                forest.update_and_score_many(values)
                batch.append(time.perf_counter() - start)
                batch_cpu.append(time.thread_time() - start_cpu)
                start, start_cpu = time.perf_counter(), time.thread_time()
                python_loop(path, columns)
                loop.append(time.perf_counter() - start)
                loop_cpu.append(time.thread_time() - start_cpu)
            results.append((columns, size, *(n / min(t) for t in (cli, batch, loop, cli_cpu, batch_cpu, loop_cpu))))

    print(describe())
    print(f"{n:,} rows per file; `morvik3 score FILE -o /dev/null --quiet` timed as a whole process "
          "(start-up included)")
    print(f"{'':>18}{'------------ rows/s, wall clock ------------':>57}"
          f"{'------------- rows/s, CPU time -------------':>57}")
    rates = f"{'CLI':>11}{'batch':>11}{'loop':>11}{'CLI/batch':>12}{'CLI/loop':>12}"
    print(f"{'columns':>8}{'CSV MiB':>10}{rates}{rates}")
    for columns, size, *rates in results:
        line = f"{columns:>8}{size / 2**20:>10.1f}"
        for cli, batch, loop in (rates[:3], rates[3:]):
            line += f"{cli:>11,.0f}{batch:>11,.0f}{loop:>11,.0f}{cli / batch:>12.0%}{cli / loop:>12.0%}"
        print(line)


if __name__ == "__main__":
    main()
