"""The River adapters, driven by River itself: its estimator checks, anomaly
filters, pipelines and progressive validation."""

import copy
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("river")
pytest.importorskip("sklearn")
from river import anomaly, checks, compose, evaluate, metrics, preprocessing  # noqa: E402
from sklearn.metrics import roc_auc_score  # noqa: E402

import morvik3  # noqa: E402
from morvik3 import river as mr  # noqa: E402
from readme_examples import example  # noqa: E402

ROWS = 400


def points(rows=ROWS, seed=0):
    """Labelled dicts of four features: a Gaussian cloud with every 40th row far outside it."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(rows, 4))
    outlier = np.arange(rows) % 40 == 39
    x[outlier] += 12.0
    return [({f"x{j}": float(v) for j, v in enumerate(row)}, bool(o)) for row, o in zip(x, outlier)]


def records(rows=ROWS, seed=0):
    """Labelled mStream records: four ordinary records per tick, and at every
    tenth tick a burst of eight identical records of a rare kind."""
    rng = np.random.default_rng(seed)
    out = []
    tick = 0
    while len(out) < rows:
        tick += 1
        for _ in range(4):
            kind = ["web", "db", "cache"][int(rng.integers(0, 3))]
            out.append(({"latency": float(rng.normal(10.0, 1.0)), "kind": kind, "tick": tick}, False))
        if tick % 10 == 0:
            out.extend(({"latency": 95.0, "kind": "rare", "tick": tick}, True) for _ in range(8))
    return out[:rows]


def events(rows=ROWS, seed=0):
    """Labelled sparse events whose names come and go; every 40th event has a new name and a huge value."""
    rng = np.random.default_rng(seed)
    out = []
    for i in range(rows):
        if i % 40 == 39:
            out.append(({f"unseen_{i}": float(rng.normal(1e4, 1e3)), "status_500": 1.0}, True))
            continue
        names = rng.choice(["bytes", "latency", "retries", "cache_hit"], size=int(rng.integers(1, 4)), replace=False)
        out.append(({str(n): float(rng.normal(5.0, 1.0)) for n in names}, False))
    return out


ADAPTERS = {
    "Forest": (lambda seed=7: mr.Forest(num_trees=20, capacity=64, seed=seed), points),
    "OnlineIForest": (lambda seed=7: mr.OnlineIForest(num_trees=16, window_size=128, max_leaf_samples=8, seed=seed), points),
    "MStream": (lambda seed=7: mr.MStream(("latency",), ("kind",), "tick", num_buckets=64, seed=seed), records),
    "FeatureSketch": (lambda seed=7: mr.FeatureSketch(sketch_buckets=256, seed=seed), events),
}
FIXED_FEATURES = {"Forest", "OnlineIForest", "MStream"}


def river_checks():
    return [
        pytest.param(name, check, id=f"{name}-{check.__name__}")
        for name, (make, _) in ADAPTERS.items()
        for check in checks.yield_checks(make())
    ]


@pytest.mark.parametrize(("name", "check"), river_checks())
def test_river_estimator_checks(name, check):
    """River's own checks, each on a fresh clone, with our labelled stream in
    place of River's downloadable credit-card data set. A detector over a
    fixed set of features declares, through River's `_unit_test_skips`, the
    three checks that add or drop features between observations: it rejects
    such an observation with a ValueError naming the key, by design."""
    make, data = ADAPTERS[name]
    model = make()
    if check.__name__ in model._unit_test_skips():
        assert name in FIXED_FEATURES
        assert check.__name__ in {
            "check_emerging_features",
            "check_disappearing_features",
            "check_radically_disappearing_features",
        }
        pytest.skip("features are fixed by the first observation")
    if "dataset" in getattr(check, "keywords", {}):
        check.func(model.clone(), dataset=data())
    else:
        check(model.clone())


def native_twin(name, first):
    """The native detector the adapter `name` builds for the first observation `first`."""
    if name == "Forest":
        return morvik3.Forest(len(first), num_trees=20, capacity=64, seed=7)
    return morvik3.OnlineIForest(len(first), num_trees=16, window_size=128, max_leaf_samples=8, seed=7)


@pytest.mark.parametrize("name", ["Forest", "OnlineIForest"])
def test_pipeline_after_standard_scaler_feeds_the_scaled_values_in_sorted_order(name):
    make, data = ADAPTERS[name]
    model = compose.Pipeline(preprocessing.StandardScaler(), make())
    scaler = preprocessing.StandardScaler()
    stream = [x for x, _ in data()]
    keys = sorted(stream[0])
    native = native_twin(name, keys)
    rng = np.random.default_rng(3)
    for x in stream:
        shuffled = {str(k): x[k] for k in rng.permutation(keys)}  # the order of a dict's keys never matters
        # The pipeline scores with the scaler as it stands, then the scaler learns and the detector learns its output.
        z = scaler.transform_one(shuffled)
        assert model.score_one(shuffled) == native.score([z[k] for k in keys])
        model.learn_one(shuffled)
        scaler.learn_one(shuffled)
        z = scaler.transform_one(shuffled)
        native.update([z[k] for k in keys])
    assert model[name].detector.to_json() == native.to_json()


@pytest.mark.parametrize("name", sorted(ADAPTERS))
def test_quantile_filter_protects_the_detector_from_what_it_flags(name):
    make, data = ADAPTERS[name]
    model = anomaly.QuantileFilter(make(), q=0.9)
    flagged = 0
    for x, _ in data():
        # score_one changes nothing, so this is the classification learn_one makes next.
        flagged += model.classify(model.score_one(x))
        model.learn_one(x)
    assert 0 < flagged < ROWS
    assert model.anomaly_detector.detector.entries_seen() == ROWS - flagged


def prequential(model, data):
    """The score of each observation before the model learns it, as progressive validation takes them."""
    scores = []
    for x, _ in data:
        scores.append(model.score_one(x))
        model.learn_one(x)
    return scores


@pytest.mark.parametrize("name", sorted(ADAPTERS))
def test_progressive_validation(name):
    make, data = ADAPTERS[name]
    labels = [y for _, y in data()]
    scores = prequential(make(), data())
    # A window as long as the stream makes the rolling metric the exact ROC AUC of all the scores.
    metric = evaluate.progressive_val_score(data(), make(), metrics.RollingROCAUC(window_size=ROWS))
    assert metric.get() == pytest.approx(roc_auc_score(labels, scores))
    assert metric.get() > 0.5


# A fresh OnlineIForest or FeatureSketch gives its highest scores first, so a
# fixed threshold that protects it would keep it from ever learning.
@pytest.mark.parametrize("name", ["Forest", "MStream"])
def test_threshold_filter_in_progressive_validation(name):
    make, data = ADAPTERS[name]
    labels = [y for _, y in data()]
    scores = prequential(make(), data())
    # The filter answers whether each score reaches the threshold and keeps what it flags from the detector.
    threshold = float(np.quantile(scores, 0.9))
    detector, flags = make(), []
    for x, _ in data():
        flags.append(detector.score_one(x) >= threshold)
        if not flags[-1]:
            detector.learn_one(x)
    model = anomaly.ThresholdFilter(make(), threshold=threshold)
    metric = evaluate.progressive_val_score(data(), model, metrics.ROCAUC())
    assert 0 < sum(flags) < ROWS
    assert metric.get() == pytest.approx(roc_auc_score(labels, flags))
    assert model.anomaly_detector.detector.entries_seen() == ROWS - sum(flags)


@pytest.mark.parametrize("name", sorted(ADAPTERS))
def test_seed_determinism_and_pickling_mid_stream(name):
    make, data = ADAPTERS[name]
    stream = [x for x, _ in data()]
    a, b, other = make(seed=11), make(seed=11), make(seed=12)
    for x in stream[:150]:
        assert a.score_one(x) == b.score_one(x)
        for model in (a, b, other):
            model.learn_one(x)
    assert a.detector.to_json() == b.detector.to_json() != other.detector.to_json()
    restored = pickle.loads(pickle.dumps(a))
    copied = copy.deepcopy(a)
    for x in stream[150:]:
        expected = a.score_one(x)
        assert restored.score_one(x) == copied.score_one(x) == expected
        for model in (a, restored, copied):
            model.learn_one(x)
    assert restored.detector.to_json() == copied.detector.to_json() == a.detector.to_json()


@pytest.mark.parametrize("name", ["Forest", "OnlineIForest"])
@pytest.mark.parametrize(
    ("change", "message"),
    [
        (lambda x: {k: v for k, v in x.items() if k != "x2"}, "missing feature 'x2'; the features are 'x0', 'x1', 'x2', 'x3'"),
        (lambda x: {**x, "x9": 1.0}, "unexpected feature 'x9'; the features are 'x0', 'x1', 'x2', 'x3'"),
    ],
    ids=["missing", "unexpected"],
)
def test_point_features_are_fixed_by_the_first_observation(name, change, message):
    make, data = ADAPTERS[name]
    model = make()
    assert model.features is None and model.detector is None
    stream = [x for x, _ in data()]
    model.score_one(stream[0])  # a scored observation fixes the features too
    assert model.features == ("x0", "x1", "x2", "x3")
    for x in stream[:20]:
        model.learn_one(x)
    before = model.detector.to_json()
    for method in (model.learn_one, model.score_one):
        with pytest.raises(ValueError) as error:
            method(change(stream[20]))
        assert str(error.value) == message
    assert model.detector.to_json() == before


@pytest.mark.parametrize("name", sorted(ADAPTERS))
def test_a_value_that_is_not_a_number_is_named(name):
    make, data = ADAPTERS[name]
    model = make()
    x, _ = data()[0]
    model.learn_one(x)
    key = "latency" if name == "MStream" else next(iter(x))
    with pytest.raises(TypeError, match=f"feature '{key}' must be a number, not str"):
        model.learn_one({**x, key: "fast"})
    assert model.detector.entries_seen() == 1


def test_forest_without_internal_shingling_takes_whole_shingles():
    model = mr.Forest(shingle_size=2, internal_shingling=False, num_trees=5, capacity=16, seed=1)
    model.learn_one({"a0": 1.0, "b0": 2.0, "a1": 1.5, "b1": 2.5})
    assert repr(model.detector).startswith("Forest(input_dim=2, shingle_size=2,")
    with pytest.raises(ValueError, match="3 features is not a multiple of shingle_size=2"):
        mr.Forest(shingle_size=2, internal_shingling=False, seed=1).learn_one({"a": 1.0, "b": 2.0, "c": 3.0})


@pytest.mark.parametrize(
    ("make", "error", "message"),
    [
        (lambda: mr.Forest(num_trees=0), ValueError, "num_trees must be > 0"),
        (lambda: mr.OnlineIForest(window_size=8, max_leaf_samples=8), ValueError, "window_size must be greater"),
        (lambda: mr.FeatureSketch(sketch_buckets=1), ValueError, "sketch_buckets must be >= 2"),
        (lambda: mr.MStream(alpha=1.0, numeric_keys=("a",)), ValueError, r"alpha must be in range \(0, 1\)"),
        (lambda: mr.MStream(), ValueError, "at least one of numeric_keys or categorical_keys must be given"),
        (lambda: mr.MStream(("a",), ("a",), "t"), ValueError, "the keys must be distinct: 'a', 'a', 't'"),
    ],
)
def test_bad_arguments_fail_at_construction(make, error, message):
    with pytest.raises(error, match=message):
        make()


def test_mstream_records_hold_exactly_their_keys():
    model = mr.MStream("latency", ["kind", "code"], "tick", seed=1)
    assert (model.numeric_keys, model.categorical_keys) == (("latency",), ("kind", "code"))
    model.learn_one({"latency": 1.0, "kind": "web", "code": 200, "tick": 1})
    with pytest.raises(ValueError, match="missing feature 'tick'"):
        model.learn_one({"latency": 1.0, "kind": "web", "code": 200})
    with pytest.raises(ValueError, match="unexpected feature 'host'"):
        model.score_one({"latency": 1.0, "kind": "web", "code": 200, "tick": 2, "host": "a"})
    with pytest.raises(TypeError, match="categorical feature 'code' must be an int or a str, not float"):
        model.learn_one({"latency": 1.0, "kind": "web", "code": 200.0, "tick": 2})
    assert model.detector.entries_seen() == 1


def test_mstream_integer_categories_reach_the_detector_unchanged():
    model = mr.MStream(("latency",), ("code",), "tick", num_buckets=64, seed=3)
    native = morvik3.MStream(1, 1, num_buckets=64, seed=3)
    for i, (x, _) in enumerate(records()):
        code = int(x["latency"]) % 7
        assert model.score_one({"latency": x["latency"], "code": np.int16(code), "tick": x["tick"]}) == native.score(
            [x["latency"]], [code], x["tick"]
        )
        model.learn_one({"latency": x["latency"], "code": code, "tick": x["tick"]})
        native.update([x["latency"]], [code], x["tick"])
    assert model.detector.to_json() == native.to_json()


def test_mstream_text_categories_count_the_same_in_every_process():
    # The same stream in two interpreters with different string hashing must end in the same state.
    program = (
        "from morvik3.river import MStream\n"
        "m = MStream(('v',), ('kind',), 't', num_buckets=64, seed=5)\n"
        "for i in range(200):\n"
        "    m.learn_one({'v': float(i % 9), 'kind': ('web', 'db', 'cache')[i % 3], 't': 1 + i // 5})\n"
        "print(m.detector.to_json())\n"
    )
    documents = {
        subprocess.run(
            [sys.executable, "-c", program], env={**os.environ, "PYTHONHASHSEED": seed},
            capture_output=True, text=True, check=True,
        ).stdout
        for seed in ("1", "2")
    }
    assert len(documents) == 1
    # Distinct texts are distinct categories: a kind never seen stands out against a frequent one.
    model = mr.MStream((), ("kind",), "t", num_buckets=64, seed=5)
    for t in range(1, 21):
        model.learn_one({"kind": "web", "t": t})
    assert model.score_one({"kind": "db", "t": 21}) > model.score_one({"kind": "web", "t": 21})


@pytest.mark.parametrize(("extra", "module", "package"), [("river", "morvik3.river", "river"), ("sklearn", "morvik3.sklearn", "sklearn")])
def test_the_extras_are_imported_only_on_request(extra, module, package):
    program = (
        "import sys\n"
        "import morvik3, morvik3.cli\n"
        f"assert {package!r} not in sys.modules\n"
        f"sys.modules[{package!r}] = None\n"
        "try:\n"
        f"    import {module}\n"
        "except ImportError as error:\n"
        "    print(error)\n"
    )
    result = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == f"{module} needs {'River' if extra == 'river' else 'scikit-learn'}: pip install 'morvik3[{extra}]'"



def test_readme_example(capsys):
    namespace = {}
    exec(example("Adapters", "morvik3.river"), namespace)
    assert namespace["is_anomaly"] is True
    assert capsys.readouterr().out == "True\n"


def test_readme_calibration_example(capsys):
    exec(example("Is it an anomaly?", "morvik3.river"), {})
    assert capsys.readouterr().out == "[800, 890]\n"
