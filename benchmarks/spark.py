"""Rows per second of `morvik3.spark.score_by_key` on local[2] against the
same work in one process: one detector per key fed its rows with
update_and_score_many, key after key.

The rows (a time column and 2 numeric columns per key: cycles, noise, rare
spikes) are written once to a Parquet file that Spark reads; the one-process
run takes the same numbers from memory.  Spark's figure covers reading,
grouping, ordering and scoring (the scores go to the no-op sink); a small
job first starts Spark's Python workers.  Best of a few runs each.

    python benchmarks/spark.py                          # 100 keys x 10,000 rows, forest
    python benchmarks/spark.py --keys 20 --rows 2000 --detector onlineiforest
"""

import argparse
import os
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ["PYSPARK_PYTHON"] = sys.executable

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from _machine import describe  # noqa: E402
from morvik3._registry import KINDS  # noqa: E402
from morvik3.spark import key_seed, score_by_key  # noqa: E402

REPEATS = 2


def generate(keys, rows, seed=11):
    """Per key, `rows` rows of 2 columns."""
    rng = np.random.default_rng(seed)
    t = np.arange(rows)
    out = {}
    for k in range(keys):
        period = 40.0 + 7 * (k % 11)
        x = np.column_stack([np.sin(t / period) * 10, np.cos(t / (period * 3)) * 5]) + rng.normal(size=(rows, 2))
        x[rng.random(rows) < 0.001] += 25.0
        out[f"series-{k:04d}"] = x
    return out


def one_process(data, detector):
    start = time.perf_counter()
    for key, x in data.items():
        KINDS[detector].create((2,), seed=key_seed(0, key)).update_and_score_many(x)
    return time.perf_counter() - start


def on_spark(spark, path, detector):
    df = spark.read.parquet(path)
    start = time.perf_counter()
    score_by_key(df, "key", "t", ["x", "y"], detector).write.format("noop").mode("overwrite").save()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=100)
    parser.add_argument("--rows", type=int, default=10_000, help="rows per key")
    parser.add_argument("--detector", choices=["forest", "onlineiforest"], default="forest")
    args = parser.parse_args()
    total = args.keys * args.rows

    data = generate(args.keys, args.rows)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "rows.parquet")
        pd.concat(
            pd.DataFrame({"key": key, "t": np.arange(args.rows), "x": x[:, 0], "y": x[:, 1]})
            for key, x in data.items()
        ).sample(frac=1.0, random_state=1).to_parquet(path, row_group_size=total // 8)

        from pyspark.sql import SparkSession

        spark = (
            SparkSession.builder.master("local[2]").appName("morvik3-bench")
            .config("spark.driver.host", "127.0.0.1").config("spark.driver.bindAddress", "127.0.0.1")
            .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
            .config("spark.sql.shuffle.partitions", "2").config("spark.driver.memory", "4g")
            .getOrCreate()
        )
        spark.sparkContext.setLogLevel("ERROR")
        try:
            warm = spark.createDataFrame([("a", 0, 1.0, 2.0)], "key string, t long, x double, y double")
            score_by_key(warm, "key", "t", ["x", "y"], args.detector).collect()
            spark_s = min(on_spark(spark, path, args.detector) for _ in range(REPEATS))
        finally:
            spark.stop()
    local_s = min(one_process(data, args.detector) for _ in range(REPEATS))

    print(describe())
    print(f"{args.keys} keys x {args.rows:,} rows = {total:,} rows, {args.detector} with default settings, 2 columns")
    print(f"{'run':<52}{'seconds':>9}{'rows/s':>12}")
    print(f"{'score_by_key on local[2] (2 shuffle partitions)':<52}{spark_s:>9.1f}{total / spark_s:>12,.0f}")
    print(f"{'one process, update_and_score_many per key':<52}{local_s:>9.1f}{total / local_s:>12,.0f}")
    print(f"Spark / one process: {local_s / spark_s:.2f}x")


if __name__ == "__main__":
    main()
