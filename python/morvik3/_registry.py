"""The detectors, listed once for the command line, Spark and the adapters.

A detector joins with one `Kind` entry in KINDS: its class, the input it
reads, the constructor arguments its input's column counts give, the settings
it takes from the command line with their defaults, and how its state
documents are recognised.  Readers of input (the command line's tables and
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


SHINGLE = Setting("--shingle", "shingle_size", int, "consecutive rows per point (forest: 8 for one column, else 1)")
TREES = Setting("--trees", "num_trees", int, "number of trees (forest: 50, onlineiforest: 32)")
CAPACITY = Setting("--capacity", "capacity", int, "points kept per tree (forest: 256)")
TIME_DECAY = Setting("--time-decay", "time_decay", float, "sampler decay rate; 0 means 0.1 / capacity (forest: 0)")
WINDOW = Setting("--window-size", "window_size", int, "recent points the trees describe (onlineiforest: 2048)")
LEAF = Setting("--max-leaf-samples", "max_leaf_samples", int, "leaf-splitting threshold (onlineiforest: 32)")
HALF_LIFE = Setting("--decay-half-life", "decay_half_life", int, "half-life of counts in events (featuresketch: 2048)")
HASH_ROWS = Setting("--hash-rows", "num_rows", int, "hash rows of every count sketch (mstream: 2)")
BUCKETS = Setting("--buckets", "num_buckets", int, "buckets per hash row, at least 2 (mstream: 1024)")
ALPHA = Setting("--alpha", "alpha", float, "decay of counts per tick, in (0, 1) (mstream: 0.8)")

SETTINGS = (SHINGLE, TREES, CAPACITY, TIME_DECAY, WINDOW, LEAF, HALF_LIFE, HASH_ROWS, BUCKETS, ALPHA)


@dataclass(frozen=True)
class Kind:
    name: str
    cls: type
    # "table": rows of numbers; "records": rows of numbers, categories and a
    # time; "events": name-to-number objects.
    input: str
    settings: tuple  # the Settings it takes
    defaults: Callable  # the command line's: the column counts (see shape) -> constructor arguments
    document_keys: frozenset  # top-level keys that only its state documents have
    # The leading constructor arguments, taken from the input's columns: per
    # argument, its config key and the sort of columns it counts.
    shape: tuple = ()
    # The float type the detector computes with: values beyond it are bad input.
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


KINDS = {
    kind.name: kind
    for kind in (
        Kind(
            "forest",
            morvik3.Forest,
            "table",
            (SHINGLE, TREES, CAPACITY, TIME_DECAY),
            # A univariate series is shingled so that a point sees its recent shape.
            lambda widths: {"shingle_size": 8 if widths == (1,) else 1, "num_trees": 50, "capacity": 256,
                            "time_decay": 0.0},
            frozenset({"samplers", "point_store"}),
            shape=(("input_dim", "numeric"),),
            narrow=np.float32,
        ),
        Kind(
            "onlineiforest",
            morvik3.OnlineIForest,
            "table",
            (TREES, WINDOW, LEAF),
            lambda widths: {"num_trees": 32, "window_size": 2048, "max_leaf_samples": 32},
            frozenset({"window"}),
            shape=(("input_dim", "numeric"),),
            narrow=np.float32,
        ),
        Kind(
            "featuresketch",
            morvik3.FeatureSketch,
            "events",
            (HALF_LIFE,),
            lambda widths: {"decay_half_life": 2048},
            frozenset({"projection_seeds"}),
        ),
        Kind(
            "mstream",
            morvik3.MStream,
            "records",
            (HASH_ROWS, BUCKETS, ALPHA),
            lambda widths: {"num_rows": 2, "num_buckets": 1024, "alpha": 0.8},
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
