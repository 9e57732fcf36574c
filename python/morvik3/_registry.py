"""The detectors, listed once for the command line, Spark and the adapters.

A detector joins with one `Kind` entry in KINDS: its class, the input it
reads, the constructor arguments its input's column counts give, the settings
it takes from the command line with their defaults (and its calibration's),
and how its state documents are recognised.  Readers of input (the command line's tables and
events, Spark's columns) go by the kind's `input`, never by its name."""

from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

import morvik3


@dataclass(frozen=True)
class Setting:
    """A command-line option that sets one constructor argument.  `key` is
    the argument's name, which is also its key in the document's "config"."""

    option: str
    key: str
    type: type
    help: str


SHINGLE = Setting("--shingle", "shingle_size", int, "consecutive rows per point (forest: 1)")
TREES = Setting("--trees", "num_trees", int, "number of trees (forest: 50, onlineiforest: 32)")
CAPACITY = Setting("--capacity", "capacity", int, "points kept per tree (forest: 1024 for one column, else 256)")
TIME_DECAY = Setting("--time-decay", "time_decay", float, "sampler decay rate; 0 means 0.1 / capacity (forest: 0)")
WINDOW = Setting("--window-size", "window_size", int, "recent points the trees describe (onlineiforest: 2048)")
LEAF = Setting("--max-leaf-samples", "max_leaf_samples", int, "leaf-splitting threshold (onlineiforest: 32)")
HALF_LIFE = Setting("--decay-half-life", "decay_half_life", int, "half-life of counts in events (featuresketch: 2048)")
HASH_ROWS = Setting("--hash-rows", "num_rows", int, "hash rows of every count sketch (mstream: 2)")
BUCKETS = Setting("--buckets", "num_buckets", int, "buckets per hash row, at least 2 (mstream: 1024)")
ALPHA = Setting("--alpha", "alpha", float, "decay of counts per tick, in (0, 1) (mstream: 0.8)")

SETTINGS = (SHINGLE, TREES, CAPACITY, TIME_DECAY, WINDOW, LEAF, HALF_LIFE, HASH_ROWS, BUCKETS, ALPHA)


# The calibration of every detector's scores unless its defaults say otherwise.
CALIBRATION = {"window": 10000, "warmup": 100}


def _calibration(settings):
    return dict(CALIBRATION)


@dataclass(frozen=True)
class Defaults:
    """What the command line gives a new detector unless told otherwise."""

    settings: Callable  # the input's column counts (see Kind.shape) -> constructor arguments
    calibration: Callable = _calibration  # the constructor arguments -> the calibrator's
    # (detector, its scores of a chunk, its entries seen before the chunk) ->
    # (the values its calibrator ranks, how many leading rows it ranks without keeping);
    # None: the scores themselves, all kept.
    steady: Callable | None = None


# The sets of defaults the command line offers, its own first: "measured"
# was chosen with `morvik3 evaluate` over the Numenta Anomaly Benchmark
# corpus (benchmarks/quality.py), "0.5.0" is what morvik3 0.5.0 used.
DEFAULTS = ("measured", "0.5.0")


@dataclass(frozen=True)
class Kind:
    name: str
    cls: type
    # "table": rows of numbers; "records": rows of numbers, categories and a
    # time; "events": name-to-number objects.
    input: str
    settings: tuple  # the Settings it takes
    defaults: dict  # per name in DEFAULTS, its Defaults
    document_keys: frozenset  # top-level keys that only its state documents have
    # The leading constructor arguments, taken from the input's columns: per
    # argument, its config key and the sort of columns it counts.
    shape: tuple = ()
    # The float type the detector computes with, whose range the detector
    # checks: the command line names the cell beyond it when a row is refused.
    narrow: type = np.float64

    @staticmethod
    def feed(detector, chunk):
        """Ingests a chunk (cli.inputs.Chunk) and returns its scores."""
        return detector.update_and_score_many(*chunk.batch)

    def create(self, widths, **arguments):
        """A new detector for an input with `widths` columns of each sort of
        `shape`, given its other constructor arguments."""
        return self.cls(*widths, **arguments)

    def recognises(self, document):
        return isinstance(document, dict) and self.document_keys <= document.keys()


def _same(defaults):
    return dict.fromkeys(DEFAULTS, defaults)


def _filling(detector, scores, seen):
    """OnlineIForest scores depths against those of a full window, so while
    its window fills every point scores high.  Each score is rescaled to the
    depth its trees could reach at the time, and the scores from before the
    trees could split are ranked but not kept."""
    window, leaf = detector.window_size, detector.max_leaf_samples
    settled = min(2 * leaf, window)
    held = np.minimum(seen + 1 + np.arange(len(scores)), window)  # it learns a point before scoring it
    exponent = np.log2(window / leaf) / np.log2(np.maximum(held, settled) / leaf)
    return scores**exponent, max(0, min(len(scores), settled - seen))


def _forest(shingle, one_column_capacity):
    return lambda widths: {"shingle_size": shingle if widths == (1,) else 1, "num_trees": 50,
                           "capacity": one_column_capacity if widths == (1,) else 256, "time_decay": 0.0}


def _points(name, cls, settings, defaults, document_keys):
    """A detector of points of 32-bit floats: each row of numbers is one, its
    input_dim their count."""
    return Kind(name, cls, "table", settings, defaults, document_keys, (("input_dim", "numeric"),), np.float32)


ONLINE_IFOREST = {"num_trees": 32, "window_size": 2048, "max_leaf_samples": 32}

KINDS = {
    kind.name: kind
    for kind in (
        _points(
            "forest",
            morvik3.Forest,
            (SHINGLE, TREES, CAPACITY, TIME_DECAY),
            # 0.5.0 shingled a univariate series so that a point saw its recent
            # shape; single values in larger trees find more labelled anomalies.
            {"measured": Defaults(_forest(1, 1024)), "0.5.0": Defaults(_forest(8, 256))},
            frozenset({"samplers", "point_store"}),
        ),
        _points(
            "onlineiforest",
            morvik3.OnlineIForest,
            (TREES, WINDOW, LEAF),
            {
                # Its scores are ranked among those of the points its window holds.
                "measured": Defaults(lambda widths: dict(ONLINE_IFOREST),
                                     lambda settings: CALIBRATION | {"window": settings["window_size"]}, _filling),
                "0.5.0": Defaults(lambda widths: dict(ONLINE_IFOREST)),
            },
            frozenset({"window"}),
        ),
        Kind(
            "featuresketch",
            morvik3.FeatureSketch,
            "events",
            (HALF_LIFE,),
            _same(Defaults(lambda widths: {"decay_half_life": 2048})),
            frozenset({"projection_seeds"}),
        ),
        Kind(
            "mstream",
            morvik3.MStream,
            "records",
            (HASH_ROWS, BUCKETS, ALPHA),
            _same(Defaults(lambda widths: {"num_rows": 2, "num_buckets": 1024, "alpha": 0.8})),
            frozenset({"clock", "record_counts"}),
            shape=(("numeric_dim", "numeric"), ("categorical_dim", "categorical")),
        ),
    )
}


def given_settings(kind, args):
    """The settings of `kind` given on the command line."""
    return {s.key: getattr(args, s.key) for s in kind.settings if getattr(args, s.key) is not None}


def foreign_settings(kind, args):
    """Options given on the command line that `kind` does not take."""
    return [s.option for s in SETTINGS if s not in kind.settings and getattr(args, s.key) is not None]
