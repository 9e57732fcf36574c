"""One detector per key over a Spark DataFrame: the scores and documents
equal a plain per-key loop whose seeds are derived as written out here,
in any partitioning; bad rows cost only themselves; a run continued from
the stored documents equals one uninterrupted run."""

import hashlib
import json
import math
from datetime import UTC, datetime, timedelta

import numpy as np
import pytest

from morvik3 import FeatureSketch, Forest, MStream, OnlineIForest

pytest.importorskip("pyspark")
pd = pytest.importorskip("pandas")
from morvik3.spark import final_states, key_seed, score_by_key  # noqa: E402

KEYS = ["alpha", "beta", "gamma", "delta"]
EPOCH = datetime(2024, 3, 1, tzinfo=UTC)


def derived_seed(seed, *key):
    data = seed.to_bytes(8, "little") + "\0".join(str(k) for k in key).encode()
    return int.from_bytes(hashlib.blake2b(data, digest_size=8).digest(), "little")


def records(rows=90, seed=0, keys=KEYS):
    """Rows of several keys (each its own series with a few spikes, two
    rows at each time), shuffled."""
    rng = np.random.default_rng(seed)
    out = []
    for k, key in enumerate(keys):
        x = rng.normal(size=(rows, 2)) * (k + 1)
        x[::23] += 30.0
        for i in range(rows):
            names = rng.choice(["a", "b", "c", "d"], size=2, replace=False)
            out.append({
                "host": key, "t": EPOCH + timedelta(seconds=10 * (i // 2)), "x": x[i, 0],
                "y": x[i, 1], "c": int(rng.integers(0, 4)), "m": dict(zip(names.tolist(), x[i].tolist())),
                "note": f"{key}/{i}",
            })
    rng.shuffle(out)
    return out


SCHEMA = "host string, t timestamp, x double, y double, c long, m map<string,double>, note string"

# Per detector: values, params, the oracle's detector, the arguments of one
# record, and the order of rows at one time (by their values: the map's text
# for a featuresketch).
KINDS = {
    "forest": (["x", "y"], {"num_trees": 10, "capacity": 32, "shingle_size": 2},
               lambda s: Forest(2, num_trees=10, capacity=32, shingle_size=2, seed=s),
               lambda r: ([r["x"], r["y"]],), lambda r: (r["x"], r["y"])),
    "onlineiforest": (["x", "y"], {"num_trees": 6, "window_size": 40, "max_leaf_samples": 4},
                      lambda s: OnlineIForest(2, num_trees=6, window_size=40, max_leaf_samples=4, seed=s),
                      lambda r: ([r["x"], r["y"]],), lambda r: (r["x"], r["y"])),
    # Timestamps become whole seconds since the epoch.
    "mstream": ((["x", "y"], ["c"]), {"num_buckets": 64}, lambda s: MStream(2, 1, num_buckets=64, seed=s),
                lambda r: ([r["x"], r["y"]], [r["c"]], int(r["t"].timestamp())), lambda r: (r["x"], r["y"], r["c"])),
    "featuresketch": ("m", {"chains_per_ensemble": 4, "sketch_buckets": 64},
                      lambda s: FeatureSketch(chains_per_ensemble=4, sketch_buckets=64, seed=s),
                      lambda r: (r["m"],), lambda r: repr(r["m"])),
}


def per_key_loop(rows, kind, seed=0):
    """Scores by note and detectors by key of the plain loop: each key's
    records in time order, one update_and_score each."""
    _, _, make, arguments, tie = KINDS[kind]
    scores, detectors = {}, {}
    for r in sorted(rows, key=lambda r: (r["host"], r["t"], tie(r))):
        if r["host"] not in detectors:
            detectors[r["host"]] = make(derived_seed(seed, r["host"]))
        scores[r["note"]] = detectors[r["host"]].update_and_score(*arguments(r))
    return scores, detectors


def frame(spark, rows, partitions=2):
    return spark.createDataFrame(pd.DataFrame(rows), SCHEMA).repartition(partitions)


def run(spark, rows, kind, seed=0, states=None, partitions=2):
    values, params = KINDS[kind][:2]
    return score_by_key(frame(spark, rows, partitions), "host", "t", values, kind, params, seed, states=states)


def by_note(scored):
    got = scored.select("note", "score", "error").toPandas()
    assert got["error"].isna().all(), got["error"].dropna().tolist()[:3]
    return dict(zip(got["note"], got["score"]))


def test_key_seeds_are_the_written_hash_of_seed_and_key():
    for seed, key in [(0, "alpha"), (7, "beta"), (2**64 - 1, "ü"), (3, 42), (3, np.int64(42)), (5, ("eu", 3))]:
        parts = key if isinstance(key, tuple) else (key,)
        assert key_seed(seed, key) == derived_seed(seed, *parts)
    assert key_seed(0, "alpha") != key_seed(1, "alpha") != key_seed(1, "beta")


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_backfill_equals_the_per_key_loop(spark, kind):
    rows = records()
    expected, _ = per_key_loop(rows, kind, seed=11)
    assert by_note(run(spark, rows, kind, seed=11)) == expected


@pytest.mark.parametrize("partitions", [1, 3])
def test_scores_do_not_depend_on_partitioning(spark, partitions):
    rows = records(seed=1)
    expected, _ = per_key_loop(rows, "forest")
    before = spark.conf.get("spark.sql.shuffle.partitions")
    spark.conf.set("spark.sql.shuffle.partitions", str(partitions))
    try:
        assert by_note(run(spark, rows, "forest", partitions=partitions)) == expected
    finally:
        spark.conf.set("spark.sql.shuffle.partitions", before)


def test_continuing_from_states_equals_one_run(spark):
    rows = records(rows=80, seed=2, keys=KEYS + ["omega"])
    cut = EPOCH + timedelta(seconds=200)
    # delta stops after the first run; omega starts in the second.
    first = [r for r in rows if r["t"] < cut and r["host"] != "omega"]
    second = [r for r in rows if r["t"] >= cut and r["host"] != "delta"]
    expected, detectors = per_key_loop(first + second, "forest", seed=3)

    values, params = KINDS["forest"][:2]
    states = final_states(frame(spark, first), "host", "t", values, "forest", params, seed=3)
    scored = run(spark, second, "forest", seed=3, states=states)
    assert len(second) > 100
    assert by_note(scored) == {r["note"]: expected[r["note"]] for r in second}

    documents = final_states(frame(spark, second), "host", "t", values, "forest", params, seed=3, states=states)
    got = documents.toPandas()
    assert sorted(got["host"]) == sorted(KEYS + ["omega"])
    assert dict(zip(got["host"], got["state"])) == {k: d.to_json() for k, d in detectors.items()}


def test_bad_rows_get_the_detectors_message_and_leave_it_unchanged(spark):
    rows = sorted(records(rows=40, seed=4, keys=["alpha", "beta"]), key=lambda r: r["t"])
    alpha = [r for r in rows if r["host"] == "alpha"]
    bad = {
        3: ("x", float("nan"), "point values must be finite"),
        4: ("y", None, "point values must be finite"),  # a null
        9: ("x", float("inf"), "point values must be finite"),
        10: ("y", 1e39, "point values must be finite"),  # beyond float32
        17: ("t", None, "t is null"),
    }
    for i, (column, value, _) in bad.items():
        alpha[i][column] = value
    # gamma's only row is bad: its detector is a fresh one.
    rows.append(dict(alpha[3], host="gamma", note="gamma/0"))
    scored = run(spark, rows, "forest").select("note", "score", "error").toPandas()
    got = {n: (s, e) for n, s, e in scored.itertuples(index=False)}

    good = [r for r in rows if r["host"] != "gamma" and r["note"] not in {alpha[i]["note"] for i in bad}]
    expected, detectors = per_key_loop(good, "forest")
    for i, (_, _, message) in bad.items():
        score, error = got.pop(alpha[i]["note"])
        assert math.isnan(score) and error == message
    score, error = got.pop("gamma/0")
    assert math.isnan(score) and error == "point values must be finite"
    assert {n: s for n, (s, e) in got.items()} == expected
    assert all(e is None for _, e in got.values())

    values, params, make = KINDS["forest"][:3]
    documents = final_states(frame(spark, rows), "host", "t", values, "forest", params).toPandas()
    assert dict(zip(documents["host"], documents["state"])) == {
        "alpha": detectors["alpha"].to_json(), "beta": detectors["beta"].to_json(),
        "gamma": make(derived_seed(0, "gamma")).to_json(),
    }


def test_non_numeric_values_fail_their_rows_only(spark):
    df = spark.createDataFrame([("a", 1, "1.5"), ("a", 2, "x"), ("b", 1, None)], "host string, t long, x string")
    got = score_by_key(df, "host", "t", "x").orderBy("host", "t").toPandas()
    assert got["score"].isna().all()
    assert got["error"].tolist() == ["argument 'point': must be real number, not str"] * 2 + [
        "argument 'point': must be real number, not NoneType"
    ]


def test_documents_that_do_not_load_restart_their_key_and_other_errors_fail_their_rows(spark):
    keys = ["alpha", "beta", "gamma", "delta", "omega"]
    rows = records(rows=20, seed=5, keys=keys)
    values, params, make = KINDS["forest"][:3]
    document = make(1).to_json()
    fields = json.loads(document)
    beyond = json.dumps(fields | {"config": fields["config"] | {"num_trees": 10**8}})  # a MemoryError when loaded
    # Every row of this one fails in the core with a RuntimeError, not a ValueError.
    worn = json.dumps(fields | {"entries_seen": 2**64 - 1})
    states = spark.createDataFrame(
        [("alpha", "{not json"), ("beta", beyond), ("gamma", document), ("gamma", document), ("delta", worn)],
        "host string, state string",
    )
    scored = run(spark, rows, "forest", states=states).toPandas().set_index("note")
    expected, detectors = per_key_loop([r for r in rows if r["host"] != "delta"], "forest")
    reasons = {"alpha": "invalid forest JSON: ", "beta": "Forest needs ", "gamma": "states holds 2 documents"}
    for key, reason in reasons.items():
        first, *rest = scored[scored["host"] == key].sort_values("t")["error"]
        assert first.startswith(f"the key's stored state does not load ({reason}") and first.endswith("starts afresh")
        assert all(e is None for e in rest)
    delta = scored[scored["host"] == "delta"]
    assert delta["score"].isna().all() and (delta["error"] == "overflow: entries_seen overflows u64").all()
    assert scored.drop(delta.index)["score"].to_dict() == expected

    documents = final_states(frame(spark, rows), "host", "t", values, "forest", params, states=states).toPandas()
    assert dict(zip(documents["host"], documents["state"])) == {
        **{k: d.to_json() for k, d in detectors.items()}, "delta": Forest.from_json(worn).to_json(),
    }


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        ({"detector": "rrcf"}, ValueError, "unknown detector 'rrcf'; choose one of featuresketch, forest, "),
        ({"values": ["x", "nope"]}, ValueError, "the DataFrame has no column 'nope' (columns: host, t, "),
        ({"params": {"num_trees": 0}}, ValueError, "num_trees must be > 0"),
        ({"seed": -1}, ValueError, "seed must be in [0, 2**64 - 1], got -1"),
        ({"detector": "featuresketch", "values": "x"}, TypeError, "column 'x' must be a map of feature name to "),
        ({"detector": "mstream", "time": "note", "values": (["x"], ["c"])}, TypeError,
         "the time column of an mstream must hold integers or timestamps, not string"),
    ],
)
def test_unusable_arguments_are_refused_before_any_job(spark, arguments, error, message):
    df = frame(spark, records(rows=2))
    call = {"key": "host", "time": "t", "values": ["x", "y"]} | arguments
    with pytest.raises(error) as raised:
        score_by_key(df, **call)
    assert str(raised.value).startswith(message)
