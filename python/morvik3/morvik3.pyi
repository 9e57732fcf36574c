from collections.abc import Iterable, Mapping, Sequence
from os import PathLike
from typing import Any, SupportsFloat, SupportsIndex, TypedDict, final

import numpy as np
from numpy.typing import ArrayLike, NDArray

__version__: str

class InternalError(BaseException): ...

# One point: a sequence of numbers or anything numpy reads as one (an array).
_Point = Sequence[SupportsFloat] | ArrayLike
_Feature = Sequence[tuple[str, SupportsFloat]] | Mapping[str, SupportsFloat]
_Categories = Sequence[SupportsIndex] | ArrayLike
_Document = str | bytes | bytearray | Sequence[SupportsIndex]
_Path = str | PathLike[str]
# A 2-D array of any numeric dtype (anything with the buffer protocol), or rows of points.
_Points = ArrayLike | Iterable[_Point]
_Rows = ArrayLike | Iterable[_Categories]
_Ticks = ArrayLike | Iterable[SupportsIndex]
_Scores = ArrayLike | Iterable[SupportsFloat]

class _Neighbor(TypedDict):
    score: float
    point: list[float]
    distance: float

@final
class Forest:
    """A Random Cut Forest: an ensemble of Random Cut Trees sharing point storage."""

    def __init__(
        self,
        input_dim: SupportsIndex,
        shingle_size: SupportsIndex = 1,
        num_trees: SupportsIndex = 50,
        capacity: SupportsIndex = 256,
        time_decay: SupportsFloat = 0.0,
        output_after: SupportsIndex = 0,
        internal_shingling: bool = True,
        initial_accept_fraction: SupportsFloat = 0.125,
        seed: SupportsIndex | None = None,
    ) -> None: ...
    @property
    def input_dim(self) -> int:
        """Number of features of one base observation."""
    @property
    def shingle_size(self) -> int:
        """Number of consecutive base observations that form one point."""
    @property
    def capacity(self) -> int:
        """Number of points each tree's sampler keeps."""
    @property
    def time_decay(self) -> float:
        """Decay rate of the sampler weights as given; 0.0 means 0.1 / capacity."""
    @property
    def output_after(self) -> int:
        """Observations before the forest reports ready as given; 0 means capacity / 4 + 1."""
    @property
    def internal_shingling(self) -> bool:
        """Whether the forest keeps the shingle and takes one base observation per call."""
    @property
    def initial_accept_fraction(self) -> float:
        """Warm-up acceptance parameter of the samplers, in [0.0, 1.0]."""
    def update(self, point: _Point) -> None:
        """Incorporate a new observation into the forest."""
    def update_and_score(self, point: _Point) -> float:
        """Ingest an observation and return its anomaly score."""
    def score(self, point: _Point) -> float:
        """Anomaly score for `point`. Higher means more anomalous."""
    def displacement_score(self, point: _Point) -> float:
        """Displacement-based anomaly score."""
    def attribution(self, point: _Point) -> list[dict[str, float]]:
        """Per-dimension attribution of the anomaly score."""
    def density(self, point: _Point) -> float:
        """Density estimate at `point`. Higher means a denser neighbourhood."""
    def near_neighbors(
        self, point: _Point, top_k: SupportsIndex = 10, percentile: SupportsIndex = 50
    ) -> list[_Neighbor]:
        """Find approximate near-neighbours of `point`."""
    def impute(
        self, point: _Point, missing: Sequence[SupportsIndex] | ArrayLike, centrality: SupportsFloat = 1.0
    ) -> list[float]:
        """Impute the `missing` positions of `point`."""
    def extrapolate(self, look_ahead: SupportsIndex) -> list[float]:
        """Predict the next `look_ahead` base observations beyond the current shingle buffer."""
    def update_many(self, points: _Points, *, threads: SupportsIndex = 1) -> None:
        """Ingest each row in order, as `update()` would; returns None."""
    def score_many(self, points: _Points, *, threads: SupportsIndex = 1) -> NDArray[np.float64]:
        """Score each row against the current state, as `score()` would."""
    def update_and_score_many(self, points: _Points, *, threads: SupportsIndex = 1) -> NDArray[np.float64]:
        """Ingest each row in order and score it, as `update_and_score()` would."""
    def is_ready(self) -> bool:
        """Return True once scoring functions return meaningful values."""
    def entries_seen(self) -> int:
        """Number of observations processed so far."""
    def num_trees(self) -> int:
        """Number of trees in the ensemble."""
    def memory_bytes(self) -> int:
        """Bytes this forest holds now."""
    def to_json(self) -> str:
        """Serialize the entire forest state to a JSON string."""
    @staticmethod
    def from_json(json: _Document) -> Forest:
        """Deserialize a forest from a JSON string previously written by `to_json()`."""
    def save_json(self, path: _Path) -> None:
        """Serialize the entire forest state to a JSON file."""
    @staticmethod
    def load_json(path: _Path) -> Forest:
        """Deserialize a forest from a JSON file previously written by `save_json()`."""
    def __copy__(self) -> Forest: ...
    def __deepcopy__(self, memo: Any) -> Forest: ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: str) -> None: ...
    def __getnewargs__(self) -> tuple[int]: ...

class _DetailedScore(TypedDict):
    total: float
    record: float
    numeric_features: list[float]
    categorical_features: list[float]

@final
class MStream:
    """mStream detector for mixed numerical/categorical records."""

    def __init__(
        self,
        numeric_dim: SupportsIndex,
        categorical_dim: SupportsIndex,
        num_rows: SupportsIndex = 2,
        num_buckets: SupportsIndex = 1024,
        alpha: SupportsFloat = 0.8,
        seed: SupportsIndex | None = None,
    ) -> None: ...
    @property
    def numeric_dim(self) -> int:
        """Number of numerical features in each record."""
    @property
    def categorical_dim(self) -> int:
        """Number of categorical features in each record."""
    @property
    def num_rows(self) -> int:
        """Number of hash rows."""
    @property
    def num_buckets(self) -> int:
        """Number of buckets per hash row."""
    @property
    def alpha(self) -> float:
        """Temporal decay factor in `(0, 1)`."""
    def update(self, numeric: _Point, categorical: _Categories, timestamp: SupportsIndex) -> None:
        """Ingest a record without returning its score."""
    def score(self, numeric: _Point, categorical: _Categories, timestamp: SupportsIndex) -> float:
        """Preview the anomaly score for a record without mutating detector state."""
    def update_and_score(self, numeric: _Point, categorical: _Categories, timestamp: SupportsIndex) -> float:
        """Ingest a record and return its anomaly score."""
    def score_detailed(self, numeric: _Point, categorical: _Categories, timestamp: SupportsIndex) -> _DetailedScore:
        """Preview the decomposed anomaly score without mutating detector state."""
    def update_and_score_detailed(
        self, numeric: _Point, categorical: _Categories, timestamp: SupportsIndex
    ) -> _DetailedScore:
        """Ingest a record and return the decomposed score used to form the final anomaly score."""
    def update_many(self, numeric: _Points, categorical: _Rows, timestamps: _Ticks) -> None:
        """Ingest each row in order, as `update()` would; returns None."""
    def score_many(self, numeric: _Points, categorical: _Rows, timestamps: _Ticks) -> NDArray[np.float64]:
        """Score each row against the current state, as `score()` would."""
    def update_and_score_many(self, numeric: _Points, categorical: _Rows, timestamps: _Ticks) -> NDArray[np.float64]:
        """Ingest each row in order and score it, as `update_and_score()` would."""
    def is_ready(self) -> bool:
        """Return True once the detector has processed at least one record."""
    def entries_seen(self) -> int:
        """Return the number of processed records."""
    def current_time(self) -> int | None:
        """Return the last timestamp observed by the detector."""
    def memory_bytes(self) -> int:
        """Bytes this detector holds now."""
    def to_json(self) -> str:
        """Serialize the detector state to JSON."""
    @staticmethod
    def from_json(json: _Document) -> MStream:
        """Deserialize detector state from a JSON string previously written by `to_json()`."""
    def save_json(self, path: _Path) -> None:
        """Serialize the detector state to a JSON file."""
    @staticmethod
    def load_json(path: _Path) -> MStream:
        """Deserialize detector state from a JSON file previously written by `save_json()`."""
    def __copy__(self) -> MStream: ...
    def __deepcopy__(self, memo: Any) -> MStream: ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: str) -> None: ...
    def __getnewargs__(self) -> tuple[int, int]: ...

@final
class OnlineIForest:
    """Online Isolation Forest detector for numerical streams."""

    def __init__(
        self,
        input_dim: SupportsIndex,
        num_trees: SupportsIndex = 32,
        window_size: SupportsIndex = 2048,
        max_leaf_samples: SupportsIndex = 32,
        seed: SupportsIndex | None = None,
    ) -> None: ...
    @property
    def input_dim(self) -> int:
        """Number of numerical features in each point."""
    @property
    def window_size(self) -> int:
        """Number of recent points retained by the sliding window."""
    @property
    def max_leaf_samples(self) -> int:
        """Base leaf-splitting threshold."""
    def update(self, point: _Point) -> None:
        """Ingest a point without returning its score."""
    def score(self, point: _Point) -> float:
        """Preview the current anomaly score for `point` without mutating state."""
    def update_and_score(self, point: _Point) -> float:
        """Ingest a point and return its anomaly score under the updated forest."""
    def update_many(self, points: _Points, *, threads: SupportsIndex = 1) -> None:
        """Ingest each row in order, as `update()` would; returns None."""
    def score_many(self, points: _Points, *, threads: SupportsIndex = 1) -> NDArray[np.float64]:
        """Score each row against the current state, as `score()` would."""
    def update_and_score_many(self, points: _Points, *, threads: SupportsIndex = 1) -> NDArray[np.float64]:
        """Ingest each row in order and score it, as `update_and_score()` would."""
    def is_ready(self) -> bool:
        """Return True once at least one point has been processed."""
    def entries_seen(self) -> int:
        """Number of points processed so far."""
    def num_trees(self) -> int:
        """Number of trees in the ensemble."""
    def memory_bytes(self) -> int:
        """Bytes this detector holds now."""
    def to_json(self) -> str:
        """Serialize detector state to JSON."""
    @staticmethod
    def from_json(json: _Document) -> OnlineIForest:
        """Deserialize detector state from JSON previously written by `to_json()`."""
    def save_json(self, path: _Path) -> None:
        """Serialize detector state to a JSON file."""
    @staticmethod
    def load_json(path: _Path) -> OnlineIForest:
        """Deserialize detector state from a JSON file previously written by `save_json()`."""
    def __copy__(self) -> OnlineIForest: ...
    def __deepcopy__(self, memo: Any) -> OnlineIForest: ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: str) -> None: ...
    def __getnewargs__(self) -> tuple[int]: ...

@final
class FeatureSketch:
    """FeatureSketch detector for sparse, schema-evolving feature streams."""

    def __init__(
        self,
        value_projection_dims: SupportsIndex = 32,
        presence_projection_dims: SupportsIndex = 32,
        chains_per_ensemble: SupportsIndex = 16,
        chain_depth: SupportsIndex = 8,
        sketch_rows: SupportsIndex = 2,
        sketch_buckets: SupportsIndex = 2048,
        decay_half_life: SupportsIndex = 2048,
        seed: SupportsIndex | None = None,
    ) -> None: ...
    @property
    def value_projection_dims(self) -> int:
        """Length of the random projection of the feature values."""
    @property
    def presence_projection_dims(self) -> int:
        """Length of the random projection of which features are present."""
    @property
    def chains_per_ensemble(self) -> int:
        """Number of chains in each of the value and presence ensembles."""
    @property
    def chain_depth(self) -> int:
        """Number of levels per chain."""
    @property
    def sketch_rows(self) -> int:
        """Number of count-min rows per chain level."""
    @property
    def sketch_buckets(self) -> int:
        """Number of buckets per count-min row."""
    @property
    def decay_half_life(self) -> int:
        """Half-life of all counts, in events."""
    def update(self, feature: _Feature) -> None:
        """Ingest a feature event without returning its score."""
    def score(self, feature: _Feature) -> float:
        """Preview the current anomaly score for a feature event without mutating state."""
    def update_and_score(self, feature: _Feature) -> float:
        """Ingest a feature event and return its anomaly score."""
    def update_many(self, events: Iterable[_Feature], *, threads: SupportsIndex = 1) -> None:
        """Ingest each row in order, as `update()` would; returns None."""
    def score_many(self, events: Iterable[_Feature], *, threads: SupportsIndex = 1) -> NDArray[np.float64]:
        """Score each row against the current state, as `score()` would."""
    def update_and_score_many(self, events: Iterable[_Feature], *, threads: SupportsIndex = 1) -> NDArray[np.float64]:
        """Ingest each row in order and score it, as `update_and_score()` would."""
    def is_ready(self) -> bool:
        """Return True once the detector has processed at least one event."""
    def entries_seen(self) -> int:
        """Return the number of processed events."""
    def memory_bytes(self) -> int:
        """Bytes this detector holds now."""
    def to_json(self) -> str:
        """Serialize the detector state to JSON."""
    @staticmethod
    def from_json(json: _Document) -> FeatureSketch:
        """Deserialize detector state from a JSON string previously written by `to_json()`."""
    def save_json(self, path: _Path) -> None:
        """Serialize the detector state to a JSON file."""
    @staticmethod
    def load_json(path: _Path) -> FeatureSketch:
        """Deserialize detector state from a JSON file previously written by `save_json()`."""
    def __copy__(self) -> FeatureSketch: ...
    def __deepcopy__(self, memo: Any) -> FeatureSketch: ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: str) -> None: ...

@final
class ScoreCalibrator:
    """Streaming calibration of anomaly scores into [0, 1]."""

    def __init__(self, window: SupportsIndex = 10000, warmup: SupportsIndex = 100) -> None: ...
    @property
    def window(self) -> int:
        """Number of most recent scores a score is ranked against."""
    @property
    def warmup(self) -> int:
        """Number of scores to see before `is_ready()` answers True."""
    def update(self, score: SupportsFloat) -> float:
        """Calibrate `score` against the window, then add it to the window."""
    def score(self, score: SupportsFloat) -> float:
        """Calibrate `score` as `update()` would, without adding it to the window."""
    def update_many(self, scores: _Scores) -> NDArray[np.float64]:
        """Ingest each row in order, as `update()` would."""
    def score_many(self, scores: _Scores) -> NDArray[np.float64]:
        """Score each row against the current state, as `score()` would."""
    def is_ready(self) -> bool:
        """Return True once `warmup` scores have been seen."""
    def entries_seen(self) -> int:
        """Return the number of scores seen."""
    def memory_bytes(self) -> int:
        """Bytes this calibrator holds now."""
    def to_json(self) -> str:
        """Serialize the calibrator state to JSON."""
    @staticmethod
    def from_json(json: _Document) -> ScoreCalibrator:
        """Deserialize calibrator state from a JSON string previously written by `to_json()`."""
    def save_json(self, path: _Path) -> None:
        """Serialize the calibrator state to a JSON file."""
    @staticmethod
    def load_json(path: _Path) -> ScoreCalibrator:
        """Deserialize calibrator state from a JSON file previously written by `save_json()`."""
    def __copy__(self) -> ScoreCalibrator: ...
    def __deepcopy__(self, memo: Any) -> ScoreCalibrator: ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: str) -> None: ...
    def __getnewargs__(self) -> tuple[int, int]: ...
