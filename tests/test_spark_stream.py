"""One detector per key over a stream of CSV files: a query stopped and
restarted from its checkpoint with more files gives the scores of one
uninterrupted per-key loop; idle keys are dropped."""

import hashlib
import math
import time

import numpy as np
import pytest

from morvik3 import Forest

pytest.importorskip("pyspark")
from morvik3.spark import score_stream  # noqa: E402

SCHEMA = "host string, t long, x double, y double"
PARAMS = {"num_trees": 8, "capacity": 32}


def make(key):
    seed = int.from_bytes(hashlib.blake2b((5).to_bytes(8, "little") + key.encode(), digest_size=8).digest(), "little")
    return Forest(2, seed=seed, **PARAMS)


def write(folder, name, rows):
    """One CSV file of rows (host, t, x, y); a value may be any text."""
    path = folder / name
    path.write_text("host,t,x,y\n" + "".join(f"{h},{t},{x},{y}\n" for h, t, x, y in rows))


def files(count=4, per_file=30, seed=0):
    """Files of consecutive times, each holding rows of three keys."""
    rng = np.random.default_rng(seed)
    out = []
    for f in range(count):
        rows = []
        for i in range(per_file):
            t = f * per_file + i
            for k, host in enumerate(["a", "b", "c"]):
                x, y = rng.normal(size=2) * (k + 1) + (25.0 if t % 19 == 0 else 0.0)
                rows.append((host, t, repr(float(x)), repr(float(y))))
        rng.shuffle(rows)
        out.append(rows)
    return out


def start(spark, folder, **options):
    source = spark.readStream.schema(SCHEMA).option("header", True).option("maxFilesPerTrigger", 1)
    scored = score_stream(source.csv(str(folder / "in")), "host", "t", ["x", "y"], params=PARAMS, seed=5, **options)
    query = (
        scored.writeStream.format("parquet").option("path", str(folder / "out"))
        .option("checkpointLocation", str(folder / "checkpoint")).trigger(availableNow=True).start()
    )
    query.awaitTermination(timeout=120)
    assert not query.isActive and query.exception() is None
    return query


def results(spark, folder):
    got = spark.read.parquet(str(folder / "out")).toPandas()
    return {(h, t): (s, e) for h, t, s, e in got[["host", "t", "score", "error"]].itertuples(index=False)}


def test_a_restarted_query_continues_its_detectors(spark, tmp_path):
    (tmp_path / "in").mkdir()
    batches = files()
    batches[1][0] = (batches[1][0][0], batches[1][0][1], "abc", "1.0")  # read as null
    for i in (0, 1):
        write(tmp_path / "in", f"{i}.csv", batches[i])
    start(spark, tmp_path)
    for i in (2, 3):
        write(tmp_path / "in", f"{i}.csv", batches[i])
    start(spark, tmp_path)

    bad = batches[1][0][:2]
    got = results(spark, tmp_path)
    assert len(got) == sum(map(len, batches))
    score, error = got.pop(bad)
    assert math.isnan(score) and error == "point values must be finite"
    detectors, expected = {}, {}
    for host, t, x, y in sorted(r for b in batches for r in b):
        if (host, t) != bad:
            detector = detectors.setdefault(host, make(host))
            expected[host, t] = (detector.update_and_score([float(x), float(y)]), None)
    assert got == expected


def test_keys_idle_for_the_timeout_start_afresh(spark, tmp_path):
    (tmp_path / "in").mkdir()
    first, second = files(count=2, per_file=12, seed=1)
    second = [r for r in second if r[0] == "a"]
    write(tmp_path / "in", "0.csv", first)
    # Without data, a processing-time query would keep running empty batches.
    spark.conf.set("spark.sql.streaming.noDataMicroBatches.enabled", "false")
    try:
        start(spark, tmp_path, idle_timeout=1.0)
        time.sleep(1.5)
        write(tmp_path / "in", "1.csv", second)
        start(spark, tmp_path, idle_timeout=1.0)
    finally:
        spark.conf.unset("spark.sql.streaming.noDataMicroBatches.enabled")

    got = results(spark, tmp_path)
    fresh = make("a")
    assert [got["a", t][0] for _, t, _, _ in sorted(second)] == [
        fresh.update_and_score([float(x), float(y)]) for _, _, x, y in sorted(second)
    ]


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        ({"idle_timeout": "1 hour"}, TypeError, "idle_timeout must be seconds or a datetime.timedelta, not str"),
        ({"idle_timeout": 0}, ValueError, "idle_timeout must be at least one millisecond, got 0"),
    ],
)
def test_unusable_timeouts_are_refused(spark, tmp_path, arguments, error, message):
    source = spark.readStream.schema(SCHEMA).csv(str(tmp_path))
    with pytest.raises(error, match=f"^{message}$"):
        score_stream(source, "host", "t", ["x", "y"], **arguments)


def test_a_batch_frame_is_refused(spark):
    df = spark.createDataFrame([("a", 1, 1.0, 2.0)], SCHEMA)
    with pytest.raises(ValueError, match="^score_stream takes a streaming DataFrame"):
        score_stream(df, "host", "t", ["x", "y"])
