"""Every public name of the package, used as a typed program would use it.

`mypy --strict` checks this file against the type stubs (test_typing.py);
the functions that need no Spark session also run there, so that what type
checks here is also what the package does.
"""

import copy
import pickle
from pathlib import Path

import numpy as np
from numpy.typing import NDArray
from pyspark.sql import DataFrame

import morvik3
from morvik3 import FeatureSketch, Forest, InternalError, MStream, OnlineIForest, ScoreCalibrator
from morvik3.river import FeatureSketch as RiverFeatureSketch
from morvik3.river import Forest as RiverForest
from morvik3.river import MStream as RiverMStream
from morvik3.river import OnlineIForest as RiverOnlineIForest
from morvik3.sklearn import ForestOutlierDetector, OnlineIForestOutlierDetector
from morvik3.spark import final_states, key_seed, score_by_key, score_stream


def forest(folder: Path) -> float:
    rng = np.random.default_rng(0)
    points = rng.normal(size=(300, 3))
    f = Forest(3, shingle_size=1, num_trees=10, capacity=64, time_decay=0.0, output_after=0,
               internal_shingling=True, initial_accept_fraction=0.125, seed=np.uint64(7))
    f.update_many(points)
    f.update_many(points[:5].tolist())
    f.update_many(row for row in points[:5])
    f.update_many(memoryview(points[:5]))
    f.update_many(points[:50], threads=2)
    f.update(points[0])  # an array as a point
    f.update([1, 2.5, 3.0])
    scores: NDArray[np.float64] = f.update_and_score_many(points[:10]) + f.score_many(points[:10])
    total = float(scores.sum()) + f.update_and_score((0.0, 1.0, 2.0)) + f.score(points[1])
    total += f.displacement_score(points[2]) + f.density(points[3])
    total += sum(side["below"] + side["above"] for side in f.attribution(points[4]))
    total += sum(n["score"] + n["distance"] + sum(n["point"]) for n in f.near_neighbors(points[5], top_k=3))
    total += sum(f.impute(points[6], np.array([0, 2]), centrality=0.5)) + sum(f.impute(points[6], [1]))
    shingled = Forest(1, shingle_size=4, seed=1)
    shingled.update_many(rng.normal(size=(100, 1)))
    total += sum(shingled.extrapolate(2))
    dims: tuple[int, int, int, int, int] = (f.input_dim, f.shingle_size, f.capacity, f.output_after, f.num_trees())
    rates: tuple[float, float] = (f.time_decay, f.initial_accept_fraction)
    shingling: bool = f.internal_shingling
    f.save_json(folder / "forest.json")
    f.save_json(str(folder / "forest.json"))
    loaded = Forest.load_json(folder / "forest.json")
    same = [Forest.from_json(f.to_json()), Forest.from_json(f.to_json().encode()), copy.deepcopy(f),
            copy.copy(f), pickle.loads(pickle.dumps(f))]
    assert all(g.to_json() == f.to_json() for g in [loaded, *same])
    assert f.__getnewargs__() == (3,) and f.__getstate__() == f.to_json()
    f.__setstate__(loaded.to_json())
    ready: bool = f.is_ready()
    seen: int = f.entries_seen() + f.memory_bytes()
    return total + sum(dims) + sum(rates) + shingling + ready + seen


def online_iforest() -> float:
    points = np.random.default_rng(1).normal(size=(200, 2))
    o = OnlineIForest(2, num_trees=8, window_size=64, max_leaf_samples=8, seed=3)
    o.update_many(points, threads=0)
    o.update(points[0])
    total = o.update_and_score([0.5, 0.5]) + o.score(points[1])
    total += float(o.update_and_score_many(points[:4]).sum() + o.score_many(points[:4]).sum())
    sizes: tuple[int, int, int, int] = (o.input_dim, o.window_size, o.max_leaf_samples, o.num_trees())
    again = OnlineIForest.from_json(o.to_json())
    assert again.__getnewargs__() == (2,) and again.entries_seen() == o.entries_seen()
    return total + sum(sizes) + o.memory_bytes() + o.is_ready()


def mstream() -> float:
    rng = np.random.default_rng(2)
    numeric, categorical = rng.normal(size=(100, 2)), rng.integers(0, 5, size=(100, 1))
    ticks = np.arange(1, 101)
    m = MStream(2, 1, num_rows=2, num_buckets=64, alpha=0.5, seed=4)
    m.update_many(numeric, categorical, ticks)
    m.update(numeric[0], categorical[0], 101)
    m.update([0.1, 0.2], [3], np.int64(102))
    detailed = m.update_and_score_detailed([0.1, 0.2], [3], 103)
    preview = m.score_detailed(numeric[1], [1], 103)
    total = detailed["total"] + detailed["record"] + sum(detailed["numeric_features"])
    total += preview["total"] + sum(preview["categorical_features"])
    total += m.update_and_score([0.3, 0.1], [2], 104) + m.score([0.3, 0.1], [2], 104)
    total += float(m.update_and_score_many(numeric[:3], categorical[:3], [105, 105, 106]).sum())
    total += float(m.score_many(numeric[:3], categorical[:3], ticks[:3] + 200).sum())
    sizes: tuple[int, int, int, int] = (m.numeric_dim, m.categorical_dim, m.num_rows, m.num_buckets)
    now: int | None = m.current_time()
    assert MStream.from_json(m.to_json()).__getnewargs__() == (2, 1)
    return total + sum(sizes) + m.alpha + (now or 0) + m.memory_bytes() + m.entries_seen()


def feature_sketch() -> float:
    s = FeatureSketch(value_projection_dims=16, presence_projection_dims=16, chains_per_ensemble=4, chain_depth=4,
                      sketch_rows=2, sketch_buckets=64, decay_half_life=100, seed=5)
    s.update({"bytes": 512.0, "status_500": 1})
    s.update([("bytes", 80.0)])
    s.update_many([{"a": 1.0}, [("b", 2.0)]])
    total = s.update_and_score({"a": 2.0}) + s.score({"b": np.float64(1.0)})
    total += float(s.update_and_score_many([{"a": 3.0}], threads=np.int64(2)).sum() + s.score_many([{"c": 1.0}]).sum())
    sizes = (s.value_projection_dims, s.presence_projection_dims, s.chains_per_ensemble, s.chain_depth,
             s.sketch_rows, s.sketch_buckets, s.decay_half_life)
    assert FeatureSketch.from_json(bytearray(s.to_json(), "utf-8")).entries_seen() == s.entries_seen()
    return total + sum(sizes) + s.memory_bytes() + s.is_ready()


def calibrator() -> float:
    c = ScoreCalibrator(window=100, warmup=10)
    answers: NDArray[np.float64] = c.update_many(np.random.default_rng(3).normal(size=50))
    p = c.update(0.5) + c.update(np.float32(1.5)) + c.score(float("inf"))
    p += float(c.score_many([0.1, 0.2]).sum() + c.update_many([1, 2, 3]).sum() + answers.sum())
    assert c.__getnewargs__() == (100, 10) and ScoreCalibrator.from_json(c.to_json()).window == c.window
    return p + c.window + c.warmup + c.memory_bytes() + c.entries_seen() + c.is_ready()


def river_adapters() -> float:
    point = {"cpu": 0.3, "latency_ms": 12.0}
    total = 0.0
    for model in (RiverForest(num_trees=5, capacity=16, seed=1), RiverOnlineIForest(window_size=64, seed=1)):
        model.learn_one(point)
        total += model.score_one(point)
    forest = RiverForest(seed=1)
    forest.learn_one(point)
    native: Forest | None = forest.detector
    records = RiverMStream(numeric_keys=["cpu"], categorical_keys=["host"], timestamp_key="t", seed=1)
    records.learn_one({"cpu": 0.3, "host": "a", "t": 1})
    events = RiverFeatureSketch(seed=1)
    events.learn_one({"bytes": 1.0})
    total += records.score_one({"cpu": 0.4, "host": "b", "t": 2}) + events.score_one({"bytes": 2.0})
    sketch: FeatureSketch = events.detector
    return total + records.detector.entries_seen() + sketch.entries_seen() + (native is not None)


def sklearn_adapters() -> float:
    X = np.random.default_rng(4).normal(size=(200, 3))
    detector = ForestOutlierDetector(num_trees=10, capacity=64, contamination=0.05, random_state=1).fit(X)
    labels = detector.predict(X)
    scores = detector.score_samples(X) + detector.decision_function(X)
    window = OnlineIForestOutlierDetector(window_size=64, random_state=np.random.RandomState(0))
    window.partial_fit(X[:100]).partial_fit(X[100:])
    native: OnlineIForest = window.detector_
    params = window.set_params(contamination=0.1).get_params()
    return float(labels.sum() + scores.sum()) + native.entries_seen() + len(params) + detector.offset_


def spark_jobs(day: DataFrame, before: DataFrame, readings: DataFrame) -> list[DataFrame]:
    """Type-checked only: it needs a Spark session."""
    seed = key_seed(7, ("host-1", 3))
    return [
        score_by_key(day, "host", "ts", ["cpu", "mem"], seed=seed, states=before),
        final_states(day, ["host"], "ts", (["cpu"], ["zone"]), detector="mstream", params={"num_rows": 2}),
        score_stream(readings, key="host", time="ts", values=["cpu", "mem"], idle_timeout=3600.0),
    ]


def everything(folder: Path) -> float:
    """Runs all that needs no Spark session."""
    assert morvik3.__version__ == "0.5.0" and issubclass(InternalError, BaseException)
    return (forest(folder) + online_iforest() + mstream() + feature_sketch() + calibrator() + river_adapters()
            + sklearn_adapters())
