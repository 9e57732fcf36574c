# scikit-learn ships no type information, so the estimators are declared
# here with the methods they offer, their base classes' included.
from typing import Any, Self

import numpy as np
from numpy.random import RandomState
from numpy.typing import ArrayLike, NDArray

from morvik3.morvik3 import Forest, OnlineIForest

__all__ = ["ForestOutlierDetector", "OnlineIForestOutlierDetector"]

_RandomState = int | RandomState | None

class _StreamingOutlierDetector:
    offset_: float
    n_features_in_: int
    feature_names_in_: NDArray[np.object_]
    contamination: float
    random_state: _RandomState
    def fit(self, X: ArrayLike, y: object = None) -> Self:
        """Learn the rows of `X`, in order, into a new detector; `y` is ignored."""
    def partial_fit(self, X: ArrayLike, y: object = None) -> Self:
        """Learn the rows of `X`, in order, into the current detector (a new one on the first call); `y` is ignored."""
    def score_samples(self, X: ArrayLike) -> NDArray[np.float64]:
        """The negated anomaly score of each row: the lower, the more abnormal."""
    def decision_function(self, X: ArrayLike) -> NDArray[np.float64]:
        """`score_samples(X) - offset_`: negative for outliers, non-negative for inliers."""
    def predict(self, X: ArrayLike) -> NDArray[np.int_]:
        """+1 for each inlier row of `X` and -1 for each outlier."""
    def fit_predict(self, X: ArrayLike, y: object = None, **kwargs: Any) -> NDArray[np.int_]: ...
    def __sklearn_is_fitted__(self) -> bool: ...
    def get_params(self, deep: bool = True) -> dict[str, Any]: ...
    def set_params(self, **params: Any) -> Self: ...

class ForestOutlierDetector(_StreamingOutlierDetector):
    """A Random Cut Forest (`morvik3.Forest`) as a scikit-learn outlier detector."""

    detector_: Forest
    num_trees: int
    capacity: int
    time_decay: float
    output_after: int
    initial_accept_fraction: float
    def __init__(
        self,
        num_trees: int = 50,
        capacity: int = 256,
        time_decay: float = 0.0,
        output_after: int = 0,
        initial_accept_fraction: float = 0.125,
        contamination: float = 0.1,
        random_state: _RandomState = None,
    ) -> None: ...

class OnlineIForestOutlierDetector(_StreamingOutlierDetector):
    """An Online Isolation Forest (`morvik3.OnlineIForest`) as a scikit-learn outlier detector."""

    detector_: OnlineIForest
    num_trees: int
    window_size: int
    max_leaf_samples: int
    def __init__(
        self,
        num_trees: int = 32,
        window_size: int = 2048,
        max_leaf_samples: int = 32,
        contamination: float = 0.1,
        random_state: _RandomState = None,
    ) -> None: ...
