"""The detectors the command line can run.  A detector joins with one
`Kind` entry in KINDS: its class, the input it reads, the settings it takes
from the command line with their defaults, and how its state documents are
recognised."""

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

SETTINGS = (SHINGLE, TREES, CAPACITY, TIME_DECAY, WINDOW, LEAF, HALF_LIFE)


@dataclass(frozen=True)
class Kind:
    name: str
    cls: type
    input: str  # "table": CSV rows of numbers; "events": JSON lines of name-to-number objects
    settings: tuple  # the Settings it takes
    defaults: Callable  # number of numeric columns (None for events) -> constructor arguments
    document_keys: frozenset  # top-level keys that only its state documents have
    # Config key that must equal the number of numeric columns, for table input.
    width_key: str | None = None
    # The float type the detector computes with: values beyond it are bad input.
    narrow: type = np.float64

    @staticmethod
    def feed(detector, chunk):
        """Ingests a chunk (inputs.Chunk) and returns its scores."""
        return detector.update_and_score_many(*chunk.batch)

    def create(self, width, settings, seed):
        if self.width_key is not None:
            return self.cls(width, seed=seed, **settings)
        return self.cls(seed=seed, **settings)

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
            lambda width: {"shingle_size": 8 if width == 1 else 1, "num_trees": 50, "capacity": 256, "time_decay": 0.0},
            frozenset({"samplers", "point_store"}),
            width_key="input_dim",
            narrow=np.float32,
        ),
        Kind(
            "onlineiforest",
            morvik3.OnlineIForest,
            "table",
            (TREES, WINDOW, LEAF),
            lambda width: {"num_trees": 32, "window_size": 2048, "max_leaf_samples": 32},
            frozenset({"window"}),
            width_key="input_dim",
            narrow=np.float32,
        ),
        Kind(
            "featuresketch",
            morvik3.FeatureSketch,
            "events",
            (HALF_LIFE,),
            lambda width: {"decay_half_life": 2048},
            frozenset({"projection_seeds"}),
        ),
    )
}


def given_settings(kind, args):
    """The settings of `kind` given on the command line."""
    return {s.key: getattr(args, s.key) for s in kind.settings if getattr(args, s.key) is not None}


def foreign_settings(kind, args):
    """Options given on the command line that `kind` does not take."""
    return [s.option for s in SETTINGS if s not in kind.settings and getattr(args, s.key) is not None]
