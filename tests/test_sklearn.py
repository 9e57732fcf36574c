"""The scikit-learn adapters: scikit-learn's own estimator checks, and what
the checks cannot see of a streaming detector (partial fits, the offset,
seeding and pickling mid-stream)."""

import pickle

import numpy as np
import pytest

pytest.importorskip("sklearn")
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from morvik3.sklearn import ForestOutlierDetector, OnlineIForestOutlierDetector  # noqa: E402
from readme_examples import example  # noqa: E402

ESTIMATORS = {
    "forest": lambda **kw: ForestOutlierDetector(num_trees=30, capacity=128, **kw),
    "onlineiforest": lambda **kw: OnlineIForestOutlierDetector(num_trees=16, window_size=256, max_leaf_samples=8, **kw),
}


# Every check scikit-learn yields for an outlier detector applies, so none is
# listed as expected to fail: `fit` starts a new detector, the scoring methods
# learn nothing (so scores do not depend on the order or the subsets of the
# rows scored), and `random_state` fixes the seed. The checks that skip
# themselves here do so for want of pandas or of array-API namespaces.
@parametrize_with_checks([ForestOutlierDetector(random_state=0), OnlineIForestOutlierDetector(random_state=0)])
def test_sklearn_estimator_checks(estimator, check):
    check(estimator)


def cloud(rows=600, seed=0):
    """A Gaussian cloud with eight rows far outside it, one towards each corner, at known places."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(rows, 3))
    where = np.sort(rng.choice(rows, size=8, replace=False))
    X[where] += 15.0 * np.array([[i >> 2, i >> 1 & 1, i & 1] for i in range(8)]) * 2 - 15.0
    return X, where


@pytest.mark.parametrize("name", sorted(ESTIMATORS))
def test_predict_flags_the_contamination_fraction_and_it_is_the_outliers(name):
    X, where = cloud()
    detector = ESTIMATORS[name](contamination=len(where) / len(X), random_state=1).fit(X)
    labels = detector.predict(X)
    assert np.flatnonzero(labels == -1).tolist() == where.tolist()
    assert set(labels.tolist()) == {-1, 1}
    scores = detector.score_samples(X)
    assert scores[where].max() < np.delete(scores, where).min()  # lower is more abnormal
    assert np.array_equal(detector.decision_function(X), scores - detector.offset_)


@pytest.mark.parametrize("name", sorted(ESTIMATORS))
def test_partial_fits_learn_what_one_fit_learns(name):
    X, _ = cloud()
    whole = ESTIMATORS[name](random_state=3).fit(X)
    parts = ESTIMATORS[name](random_state=3)
    for chunk in np.array_split(X, 7):
        parts.partial_fit(chunk)
    assert parts.detector_.to_json() == whole.detector_.to_json()
    assert np.array_equal(parts.score_samples(X), whole.score_samples(X))
    # The offset follows the last batch learned.
    last = X[-len(np.array_split(X, 7)[-1]) :]
    assert parts.offset_ == np.percentile(parts.score_samples(last), 10.0)
    # A new fit forgets everything learned before.
    refit = ESTIMATORS[name](random_state=3).fit(X[:100]).fit(X)
    assert refit.detector_.to_json() == whole.detector_.to_json()


@pytest.mark.parametrize("name", sorted(ESTIMATORS))
def test_random_state_fixes_the_detector_and_pickling_keeps_it(name):
    X, _ = cloud()
    a = ESTIMATORS[name](random_state=5).fit(X[:300])
    b = ESTIMATORS[name](random_state=np.random.RandomState(5)).fit(X[:300])
    other = ESTIMATORS[name](random_state=6).fit(X[:300])
    assert a.detector_.to_json() == b.detector_.to_json() != other.detector_.to_json()
    restored = pickle.loads(pickle.dumps(a))
    for detector in (a, restored):
        detector.partial_fit(X[300:])
    assert restored.detector_.to_json() == a.detector_.to_json()
    assert np.array_equal(restored.predict(X), a.predict(X))


@pytest.mark.parametrize("name", sorted(ESTIMATORS))
@pytest.mark.parametrize("contamination", [0.0, 0.6, -0.1, "auto", True, None])
def test_a_bad_contamination_fails_before_anything_is_learned(name, contamination):
    X, _ = cloud()
    detector = ESTIMATORS[name](random_state=0).fit(X[:200])
    before = detector.detector_.to_json(), detector.offset_
    detector.set_params(contamination=contamination)
    for method in (detector.fit, detector.partial_fit):
        with pytest.raises(ValueError, match=r"contamination must be a float in \(0, 0.5\], got "):
            method(X)
    assert (detector.detector_.to_json(), detector.offset_) == before


def test_a_bad_detector_argument_fails_in_fit_and_leaves_it_unfitted():
    X, _ = cloud()
    detector = ForestOutlierDetector(random_state=0).fit(X)
    detector.set_params(num_trees=0)
    with pytest.raises(ValueError, match="num_trees must be > 0"):
        detector.fit(X)
    with pytest.raises(ValueError, match="is not fitted yet"):  # NotFittedError
        detector.predict(X)


@pytest.mark.parametrize("name", sorted(ESTIMATORS))
def test_in_a_pipeline_after_a_scaler(name):
    X, where = cloud()
    X = X * [1.0, 100.0, 0.01]
    pipeline = make_pipeline(StandardScaler(), ESTIMATORS[name](contamination=0.05, random_state=2)).fit(X)
    alone = ESTIMATORS[name](contamination=0.05, random_state=2).fit(StandardScaler().fit_transform(X))
    assert np.array_equal(pipeline.predict(X), alone.predict(StandardScaler().fit(X).transform(X)))
    assert np.sum(pipeline.predict(X) == -1) == 0.05 * len(X)


def test_readme_example():
    namespace = {}
    exec(example("Adapters", "morvik3.sklearn"), namespace)
    assert np.flatnonzero(namespace["labels"] == -1).tolist() == list(range(0, 1000, 100))
    assert namespace["detector"].detector_.entries_seen() == 1200


def test_readme_calibration_example(capsys):
    namespace = {}
    exec(example("Is it an anomaly?", "morvik3.sklearn"), namespace)
    assert capsys.readouterr().out == "[0.774 0.63  0.814 0.256 0.046 1.   ]\n"
    assert namespace["reference"].entries_seen() == 2000
