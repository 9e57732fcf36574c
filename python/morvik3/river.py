"""The four detectors as River anomaly detectors (the optional `river` extra).

Each class learns (`learn_one`) and scores (`score_one`, higher is more
anomalous) one observation at a time, given as a dict of features, so River's
anomaly filters, pipelines and evaluation loops drive it like any River
detector. The native detector behind it is its `detector` attribute. With a
fixed `seed` every adapter is deterministic, and every adapter pickles.

`Forest` and `OnlineIForest` take the feature names from the first dict they
see (scored or learned) and give them to the detector in sorted order, so the
order of a dict's keys never matters; a later dict with a key missing or an
unexpected key raises ValueError naming it. `MStream` is given its
numeric, categorical and timestamp keys. `FeatureSketch` takes any names.
"""

from __future__ import annotations

import numbers
from collections.abc import Callable, Hashable, Iterable, Iterator, Mapping
from typing import Any, ClassVar, Generic, TypeVar

try:
    from river import base
except ImportError as error:  # pragma: no cover - exercised by a subprocess test
    raise ImportError("morvik3.river needs River: pip install 'morvik3[river]'") from error

import morvik3
from morvik3._categories import category_code
from morvik3._registry import KINDS, Kind

__all__ = ["FeatureSketch", "Forest", "MStream", "OnlineIForest"]

# River's checks that add or drop features between observations: a detector
# over a fixed set of features rejects such observations by design.
_FIXED_FEATURE_SKIPS = frozenset(
    {"check_emerging_features", "check_disappearing_features", "check_radically_disappearing_features"}
)


def _values(x: Mapping[Any, Any], keys: tuple[Hashable, ...]) -> list[Any]:
    """The values of `x` in the order of `keys`, which must be exactly its keys."""
    try:
        values = [x[key] for key in keys]
    except KeyError as missing:
        raise ValueError(f"missing feature {missing.args[0]!r}; the features are {_listed(keys)}") from None
    if len(x) != len(keys):
        known = set(keys)
        unexpected = next(key for key in x if key not in known)
        raise ValueError(f"unexpected feature {unexpected!r}; the features are {_listed(keys)}")
    return values


def _ordered(keys: Iterable[Hashable]) -> tuple[Hashable, ...]:
    """The feature names in sorted order, so that the order in which a dict
    was filled never matters; in the given order if they cannot be sorted."""
    try:
        return tuple(sorted(keys))  # type: ignore[type-var]
    except TypeError:
        return tuple(keys)


def _key_tuple(keys: Iterable[Hashable]) -> tuple[Hashable, ...]:
    """The keys given as an iterable, or one key given as a string."""
    return (keys,) if isinstance(keys, str) else tuple(keys)


def _listed(keys: Iterable[Hashable]) -> str:
    return ", ".join(map(repr, keys))


def _call(method: Callable[..., Any], args: Iterable[Any], x: Mapping[Any, Any], keys: Iterable[Hashable]) -> Any:
    """`method(*args)`, naming the first of `keys` whose value in `x` is not a
    number when the method rejects an argument's type."""
    try:
        return method(*args)
    except TypeError as error:
        bad = next((key for key in keys if not isinstance(x[key], numbers.Real)), None)
        if bad is None:
            raise
        raise TypeError(f"feature {bad!r} must be a number, not {type(x[bad]).__name__}") from error


def _category(key: Hashable, value: Any) -> int:
    try:
        return category_code(value)
    except TypeError as error:
        raise TypeError(f"categorical feature {key!r} {error}") from None


_Native = TypeVar("_Native", morvik3.Forest, morvik3.OnlineIForest)


class _PointDetector(base.AnomalyDetector, Generic[_Native]):
    """A detector of fixed-length points whose features, and so the native
    detector's dimension, are known from the first observation on."""

    _kind: ClassVar[Kind]

    def __init__(self) -> None:
        # A detector of one feature checks the arguments now rather than at the first observation.
        self._kind.create((1,), **self._get_params())
        self._features: tuple[Hashable, ...] | None = None
        self._detector: _Native | None = None

    @property
    def detector(self) -> _Native | None:
        """The native detector, built at the first observation (None before it)."""
        return self._detector

    @property
    def features(self) -> tuple[Hashable, ...] | None:
        """The feature names in the order of the detector's coordinates: those
        of the first observation, sorted (None before the first observation)."""
        return self._features

    def _dimension(self, features: int) -> int:
        return features

    def _point(self, x: Mapping[Any, Any]) -> tuple[_Native, list[Any]]:
        if self._detector is None or self._features is None:
            features = _ordered(x)
            self._detector = self._kind.create((self._dimension(len(features)),), **self._get_params())
            self._features = features
        return self._detector, _values(x, self._features)

    def learn_one(self, x: Mapping[Any, Any]) -> None:
        detector, point = self._point(x)
        _call(detector.update, (point,), x, x)

    def score_one(self, x: Mapping[Any, Any]) -> float:
        detector, point = self._point(x)
        score: float = _call(detector.score, (point,), x, x)
        return score

    def _unit_test_skips(self) -> set[str]:
        return set(_FIXED_FEATURE_SKIPS)


class Forest(_PointDetector[morvik3.Forest]):
    """A Random Cut Forest (`morvik3.Forest`) as a River anomaly detector.

    The arguments are those of `morvik3.Forest` except `input_dim`, which is
    the number of features of the first observation. With internal shingling
    (the default) each observation is one base observation; without it, each
    observation holds a whole shingle, so its number of features must be a
    multiple of `shingle_size`.
    """

    _kind = KINDS["forest"]

    def __init__(
        self,
        shingle_size: int = 1,
        num_trees: int = 50,
        capacity: int = 256,
        time_decay: float = 0.0,
        output_after: int = 0,
        internal_shingling: bool = True,
        initial_accept_fraction: float = 0.125,
        seed: int | None = None,
    ) -> None:
        self.shingle_size = shingle_size
        self.num_trees = num_trees
        self.capacity = capacity
        self.time_decay = time_decay
        self.output_after = output_after
        self.internal_shingling = internal_shingling
        self.initial_accept_fraction = initial_accept_fraction
        self.seed = seed
        super().__init__()

    def _dimension(self, features: int) -> int:
        if self.internal_shingling:
            return features
        if features % self.shingle_size:
            raise ValueError(
                f"without internal shingling an observation holds a whole shingle: "
                f"{features} features is not a multiple of shingle_size={self.shingle_size}"
            )
        return features // self.shingle_size


class OnlineIForest(_PointDetector[morvik3.OnlineIForest]):
    """An Online Isolation Forest (`morvik3.OnlineIForest`) as a River anomaly detector.

    The arguments are those of `morvik3.OnlineIForest` except `input_dim`,
    which is the number of features of the first observation.
    """

    _kind = KINDS["onlineiforest"]

    def __init__(
        self,
        num_trees: int = 32,
        window_size: int = 2048,
        max_leaf_samples: int = 32,
        seed: int | None = None,
    ) -> None:
        self.num_trees = num_trees
        self.window_size = window_size
        self.max_leaf_samples = max_leaf_samples
        self.seed = seed
        super().__init__()


class MStream(base.AnomalyDetector):
    """The mStream detector (`morvik3.MStream`) as a River anomaly detector.

    Each observation holds exactly the keys named here: the numeric features
    `numeric_keys` (numbers), the categorical features `categorical_keys`
    (integers, or strings, which are hashed to integers the same way in
    every process) and `timestamp_key`, the record's logical tick (a
    positive integer that never decreases). `numeric_keys` and
    `categorical_keys` are iterables of keys, or a string naming one key.
    The other arguments are those of `morvik3.MStream`.
    """

    def __init__(
        self,
        numeric_keys: Iterable[Hashable] = (),
        categorical_keys: Iterable[Hashable] = (),
        timestamp_key: Hashable = "timestamp",
        num_rows: int = 2,
        num_buckets: int = 1024,
        alpha: float = 0.8,
        seed: int | None = None,
    ) -> None:
        self.numeric_keys = _key_tuple(numeric_keys)
        self.categorical_keys = _key_tuple(categorical_keys)
        self.timestamp_key = timestamp_key
        self.num_rows = num_rows
        self.num_buckets = num_buckets
        self.alpha = alpha
        self.seed = seed
        keys = (*self.numeric_keys, *self.categorical_keys, timestamp_key)
        if not self.numeric_keys and not self.categorical_keys:
            raise ValueError("at least one of numeric_keys or categorical_keys must be given")
        if len(set(keys)) != len(keys):
            raise ValueError(f"the keys must be distinct: {_listed(keys)}")
        self._keys = keys
        self._detector: morvik3.MStream = KINDS["mstream"].create(
            (len(self.numeric_keys), len(self.categorical_keys)),
            num_rows=num_rows, num_buckets=num_buckets, alpha=alpha, seed=seed,
        )

    @property
    def detector(self) -> morvik3.MStream:
        """The native detector."""
        return self._detector

    def _record(self, x: Mapping[Any, Any]) -> tuple[list[Any], list[int], Any]:
        values = _values(x, self._keys)
        numeric = len(self.numeric_keys)
        categorical = [_category(key, value) for key, value in zip(self.categorical_keys, values[numeric:-1])]
        return values[:numeric], categorical, values[-1]

    def learn_one(self, x: Mapping[Any, Any]) -> None:
        _call(self._detector.update, self._record(x), x, self.numeric_keys)

    def score_one(self, x: Mapping[Any, Any]) -> float:
        score: float = _call(self._detector.score, self._record(x), x, self.numeric_keys)
        return score

    def _unit_test_skips(self) -> set[str]:
        return set(_FIXED_FEATURE_SKIPS)

    @classmethod
    def _unit_test_params(cls) -> Iterator[dict[str, Any]]:
        yield {"numeric_keys": ("x",), "categorical_keys": ("kind",), "timestamp_key": "t"}


class FeatureSketch(base.AnomalyDetector):
    """The FeatureSketch detector (`morvik3.FeatureSketch`) as a River anomaly detector.

    An observation may hold any feature names (strings) with numeric values;
    names may appear and disappear from one observation to the next. The
    arguments are those of `morvik3.FeatureSketch`.
    """

    def __init__(
        self,
        value_projection_dims: int = 32,
        presence_projection_dims: int = 32,
        chains_per_ensemble: int = 16,
        chain_depth: int = 8,
        sketch_rows: int = 2,
        sketch_buckets: int = 2048,
        decay_half_life: int = 2048,
        seed: int | None = None,
    ) -> None:
        self.value_projection_dims = value_projection_dims
        self.presence_projection_dims = presence_projection_dims
        self.chains_per_ensemble = chains_per_ensemble
        self.chain_depth = chain_depth
        self.sketch_rows = sketch_rows
        self.sketch_buckets = sketch_buckets
        self.decay_half_life = decay_half_life
        self.seed = seed
        self._detector: morvik3.FeatureSketch = KINDS["featuresketch"].create((), **self._get_params())

    @property
    def detector(self) -> morvik3.FeatureSketch:
        """The native detector."""
        return self._detector

    def learn_one(self, x: Mapping[Any, Any]) -> None:
        _call(self._detector.update, (x,), x, x)

    def score_one(self, x: Mapping[Any, Any]) -> float:
        score: float = _call(self._detector.score, (x,), x, x)
        return score
