"""Forest and OnlineIForest as scikit-learn outlier detectors (the optional
`sklearn` extra).

They follow scikit-learn's outlier-detector conventions: `fit(X)` learns a
2-D array of rows into a new detector, `partial_fit(X)` learns more rows into
the current one, `score_samples(X)` is the negated anomaly score (lower is
more abnormal), `decision_function(X)` is that minus `offset_` (negative for
outliers) and `predict(X)` gives +1 for inliers and -1 for outliers.
`offset_` is set by every `fit` and `partial_fit` so that a `contamination`
fraction of the rows just learned are outliers. Rows are learned in order,
through the native batch methods; `random_state` fixes the detector's seed.
"""

from numbers import Real

import numpy as np

try:
    from sklearn.base import BaseEstimator, OutlierMixin
    from sklearn.utils import check_random_state
    from sklearn.utils.validation import check_is_fitted, validate_data
except ImportError as error:  # pragma: no cover - exercised by a subprocess test
    raise ImportError("morvik3.sklearn needs scikit-learn: pip install 'morvik3[sklearn]'") from error

from morvik3._registry import KINDS

__all__ = ["ForestOutlierDetector", "OnlineIForestOutlierDetector"]


class _StreamingOutlierDetector(OutlierMixin, BaseEstimator):
    """The estimator protocol over a native detector of points. A subclass
    names its detector's registry entry in `_kind`; its parameters other than
    `contamination` and `random_state` are that class's constructor's."""

    def fit(self, X, y=None):
        """Learn the rows of `X`, in order, into a new detector; `y` is ignored."""
        return self._learn(X, reset=True)

    def partial_fit(self, X, y=None):
        """Learn the rows of `X`, in order, into the current detector (a new
        one on the first call); `y` is ignored."""
        return self._learn(X, reset=not self.__sklearn_is_fitted__())

    def score_samples(self, X):
        """The negated anomaly score of each row: the lower, the more abnormal."""
        check_is_fitted(self)
        return self._score_samples(self._rows(X, reset=False))

    def decision_function(self, X):
        """`score_samples(X) - offset_`: negative for outliers, non-negative for inliers."""
        return self.score_samples(X) - self.offset_

    def predict(self, X):
        """+1 for each inlier row of `X` and -1 for each outlier."""
        return np.where(self.decision_function(X) < 0, -1, 1)

    def __sklearn_is_fitted__(self):
        return hasattr(self, "detector_")

    def _learn(self, X, reset):
        contamination = self.contamination
        if isinstance(contamination, bool) or not isinstance(contamination, Real) or not 0 < contamination <= 0.5:
            raise ValueError(f"contamination must be a float in (0, 0.5], got {contamination!r}")
        X = self._rows(X, reset=reset)
        if reset:
            # A fit that fails from here on leaves the estimator unfitted rather than half refitted.
            vars(self).pop("detector_", None)
            # The seed is drawn from random_state as scikit-learn's own estimators draw theirs.
            seed = int(check_random_state(self.random_state).randint(np.iinfo(np.int64).max, dtype=np.int64))
            self.detector_ = self._kind.create((X.shape[1],), **self._native_params(), seed=seed)
        self.detector_.update_many(X)
        self.offset_ = float(np.percentile(self._score_samples(X), 100.0 * contamination))
        return self

    def _rows(self, X, reset):
        # Both widths are read in place by the batch methods; other dtypes become float64.
        return validate_data(self, X, reset=reset, dtype=[np.float64, np.float32])

    def _score_samples(self, X):
        return -self.detector_.score_many(X)

    def _native_params(self):
        # Every parameter but these two is the native constructor's.
        return {k: v for k, v in self.get_params().items() if k not in ("contamination", "random_state")}


class ForestOutlierDetector(_StreamingOutlierDetector):
    """A Random Cut Forest (`morvik3.Forest`) as a scikit-learn outlier detector.

    Parameters
    ----------
    num_trees, capacity, time_decay, output_after, initial_accept_fraction
        As for `morvik3.Forest`, whose `input_dim` is the number of columns
        of the first `X` learned. Each row is one point (no shingling).
    contamination : float, default 0.1
        The fraction of outliers among the rows learned by the last `fit` or
        `partial_fit`, in (0, 0.5]; it sets `offset_`.
    random_state : int, RandomState instance or None, default None
        Fixes the forest's seed.

    Attributes
    ----------
    detector_ : morvik3.Forest
        The native detector.
    offset_ : float
        The threshold on `score_samples` below which a row is an outlier.
    n_features_in_ : int
        The number of columns of `X`.
    """

    _kind = KINDS["forest"]

    def __init__(
        self,
        num_trees=50,
        capacity=256,
        time_decay=0.0,
        output_after=0,
        initial_accept_fraction=0.125,
        contamination=0.1,
        random_state=None,
    ):
        self.num_trees = num_trees
        self.capacity = capacity
        self.time_decay = time_decay
        self.output_after = output_after
        self.initial_accept_fraction = initial_accept_fraction
        self.contamination = contamination
        self.random_state = random_state


class OnlineIForestOutlierDetector(_StreamingOutlierDetector):
    """An Online Isolation Forest (`morvik3.OnlineIForest`) as a scikit-learn outlier detector.

    Parameters
    ----------
    num_trees, window_size, max_leaf_samples
        As for `morvik3.OnlineIForest`, whose `input_dim` is the number of
        columns of the first `X` learned; its trees describe the last
        `window_size` rows learned.
    contamination : float, default 0.1
        The fraction of outliers among the rows learned by the last `fit` or
        `partial_fit`, in (0, 0.5]; it sets `offset_`.
    random_state : int, RandomState instance or None, default None
        Fixes the forest's seed.

    Attributes
    ----------
    detector_ : morvik3.OnlineIForest
        The native detector.
    offset_ : float
        The threshold on `score_samples` below which a row is an outlier.
    n_features_in_ : int
        The number of columns of `X`.
    """

    _kind = KINDS["onlineiforest"]

    def __init__(self, num_trees=32, window_size=2048, max_leaf_samples=32, contamination=0.1, random_state=None):
        self.num_trees = num_trees
        self.window_size = window_size
        self.max_leaf_samples = max_leaf_samples
        self.contamination = contamination
        self.random_state = random_state
