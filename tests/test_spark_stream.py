"""One detector per key over a stream of CSV files: a query stopped, or
killed in the middle of a micro-batch, and restarted from its checkpoint
with more files gives the scores of one uninterrupted per-key loop; idle
keys are dropped; a stored detector that does not load costs its key its
history, not the query."""

import hashlib
import json
import math
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest

from morvik3 import Forest

pytest.importorskip("pyspark")
from morvik3.spark import score_stream  # noqa: E402
from morvik3.spark.plan import Plan  # noqa: E402
from morvik3.spark.stream import _Detectors  # noqa: E402

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


def per_key_loop(batches):
    """The score of every (host, t) of the plain loop: each key's rows in time order."""
    detectors, expected = {}, {}
    for host, t, x, y in sorted(r for b in batches for r in b):
        detector = detectors.setdefault(host, make(host))
        expected[host, t] = detector.update_and_score([float(x), float(y)])
    return expected


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
    batches[1] = batches[1][1:]
    assert got == {row: (score, None) for row, score in per_key_loop(batches).items()}


# A query writing each micro-batch's rows as its own parquet folder, run in a
# child process; after writing batch `stall` it waits to be killed, with the
# batch's state stored but the batch not yet committed.
KILLED_QUERY = f"""
import sys, time
sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
from spark_session import local_session
from morvik3.spark import score_stream

folder, stall = sys.argv[1], int(sys.argv[2])
spark = local_session("morvik3-killed")
source = spark.readStream.schema({SCHEMA!r}).option("header", True).option("maxFilesPerTrigger", 1)
scored = score_stream(source.csv(folder + "/in"), "host", "t", ["x", "y"], params={PARAMS!r}, seed=5)

def write(frame, batch):
    frame.write.mode("overwrite").parquet(f"{{folder}}/out/batch={{batch}}")
    if batch == stall:
        open(folder + "/stalled", "w").close()
        time.sleep(3600)

query = (scored.writeStream.foreachBatch(write).option("checkpointLocation", folder + "/checkpoint")
         .trigger(availableNow=True).start())
query.awaitTermination()
"""


def children(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as f:
        return [int(c) for c in f.read().split()]


def running(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def test_a_query_killed_in_the_middle_of_a_batch_goes_on_exactly_once(tmp_path):
    (tmp_path / "in").mkdir()
    batches = files(count=2)
    for i, rows in enumerate(batches):
        write(tmp_path / "in", f"{i}.csv", rows)
        # Spark takes files in the order of their times: one per batch, in order.
        os.utime(tmp_path / "in" / f"{i}.csv", (1_700_000_000 + i, 1_700_000_000 + i))
    log = open(tmp_path / "killed.log", "w")  # noqa: SIM115 - closed below
    query = subprocess.Popen([sys.executable, "-c", KILLED_QUERY, str(tmp_path), "1"], stdout=log, stderr=log)
    try:
        deadline = time.monotonic() + 240
        while not (tmp_path / "stalled").exists():
            assert query.poll() is None, (tmp_path / "killed.log").read_text()[-3000:]
            assert time.monotonic() < deadline, "the query never reached its second batch"
            time.sleep(0.1)
        java = children(query.pid)
        query.send_signal(signal.SIGKILL)
        query.wait()
        # The Java side ends when the Python driver's pipe closes; it must be gone before the restart.
        for pid in java:
            for _ in range(600):
                if not running(pid):
                    break
                time.sleep(0.1)
            else:
                os.kill(pid, signal.SIGKILL)
    finally:
        if query.poll() is None:
            query.kill()
            query.wait()
        log.close()
    checkpoint = tmp_path / "checkpoint"
    assert (checkpoint / "offsets" / "1").exists() and not (checkpoint / "commits" / "1").exists()

    restarted = subprocess.run([sys.executable, "-c", KILLED_QUERY, str(tmp_path), "-1"], capture_output=True,
                               text=True, timeout=300)
    assert restarted.returncode == 0, restarted.stderr[-3000:]
    got = pd.read_parquet(tmp_path / "out")
    assert sorted(got["batch"].astype(int).unique()) == [0, 1]
    assert got["error"].isna().all()
    assert dict(zip(zip(got["host"], got["t"]), got["score"])) == per_key_loop(batches)
    assert len(got) == sum(map(len, batches))


class StoredDocument:
    """A key's value state in the state store, holding a detector document."""

    def __init__(self, document):
        self.document = document

    def exists(self):
        return self.document is not None

    def get(self):
        return (self.document,)

    def update(self, value):
        (self.document,) = value


class Handle:
    def __init__(self, state):
        self.state = state

    def getValueState(self, name, schema, ttl):
        return self.state


def test_a_stored_detector_that_does_not_load_starts_its_key_afresh():
    # What a restarted query finds when a key's document no longer loads, as
    # one written by a version that allowed more, or one beyond this machine.
    worn = make("a")
    worn.update([0.0, 0.0])
    fields = json.loads(worn.to_json())
    beyond = json.dumps(fields | {"config": fields["config"] | {"num_trees": 10**8}})
    rows = pd.DataFrame({"host": "a", "t": [3, 1, 2], "x": [0.5, 0.1, float("nan")], "y": [1.0, 2.0, 3.0]})
    for document, reason in [("{not json", "invalid forest JSON: "), (beyond, "Forest needs ")]:
        stored = StoredDocument(document)
        processor = _Detectors(Plan("forest", PARAMS, 5, ("host",), "t", numeric=("x", "y")), None)
        processor.init(Handle(stored))
        got = pd.concat(processor.handleInputRows(("a",), iter([rows[:2], rows[2:]]), None))
        fresh = make("a")
        assert got["t"].tolist() == [1, 2, 3]
        assert got["score"].tolist()[::2] == [fresh.update_and_score([0.1, 2.0]), fresh.update_and_score([0.5, 1.0])]
        notice, refused, last = got["error"].tolist()
        assert notice.startswith(f"the key's stored state does not load ({reason}") and notice.endswith("): it starts afresh")
        assert refused == "point values must be finite" and last is None
        assert stored.document == fresh.to_json()


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
