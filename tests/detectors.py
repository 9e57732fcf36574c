"""One entry per native class, for the suites that must cover every class.

An entry says how to build a small (seeded) instance, how to make its i-th
observation (the arguments of `update`), which valid configurations need more
memory than any machine has, and how to edit a document of it into one whose
configuration does. Classes the module does not offer are left out, so a new
class is covered by adding its entry here.
"""

import json
import random
from dataclasses import dataclass, field
from typing import Callable

import morvik3

# Configuration sizes no machine can hold; smaller "large" values would be
# accepted on a big machine and then commit that much memory.
HUGE = 2**50


@dataclass(frozen=True)
class Detector:
    name: str
    make: Callable[[], object]
    observe: Callable[[random.Random, int], tuple]
    beyond_memory: list = field(default_factory=list)  # (args, kwargs) that pass validation
    # Turns a parsed document into one whose configuration is valid but needs
    # more memory than any machine (the rest of the document need not agree).
    edit_beyond_memory: Callable[[dict], None] | None = None
    seeded: bool = True  # whether the constructor takes `seed`

    @property
    def cls(self):
        return getattr(morvik3, self.name)


def _point(dim):
    return lambda rng, i: ([rng.gauss(0.0, 1.0) for _ in range(dim)],)


def _feature(rng, i):
    names = ["a", "b", "c", "d"]
    return ({n: rng.uniform(-3.0, 3.0) for n in rng.sample(names, rng.randint(0, 3))},)


def _record(rng, i):
    return ([rng.gauss(0.0, 1.0), rng.gauss(0.0, 1.0)], [rng.randrange(4)], 1 + i // 3)


def _score(rng, i):
    # Ties and infinities among ordinary scores.
    return (rng.choice([rng.gauss(0.0, 1.0), float(rng.randrange(3)), float("inf"), -float("inf")]),)


def _configured(**beyond):
    def edit(doc):
        doc["config"].update(beyond)

    return edit


_ALL = [
    Detector(
        "Forest",
        lambda: morvik3.Forest(3, num_trees=4, capacity=8, seed=11),
        _point(3),
        beyond_memory=[((1,), {"num_trees": HUGE}), ((HUGE,), {"num_trees": 1, "capacity": 2})],
        edit_beyond_memory=_configured(num_trees=HUGE),
    ),
    Detector(
        "FeatureSketch",
        lambda: morvik3.FeatureSketch(chains_per_ensemble=2, chain_depth=3, sketch_buckets=16, seed=11),
        _feature,
        beyond_memory=[((), {"sketch_buckets": HUGE}), ((), {"value_projection_dims": HUGE})],
        edit_beyond_memory=_configured(value_projection_dims=2**62),
    ),
    Detector(
        "OnlineIForest",
        lambda: morvik3.OnlineIForest(3, num_trees=4, window_size=16, max_leaf_samples=4, seed=11),
        _point(3),
        beyond_memory=[((1,), {"num_trees": HUGE}), ((1,), {"window_size": HUGE})],
        edit_beyond_memory=_configured(window_size=HUGE),
    ),
    Detector(
        "MStream",
        lambda: morvik3.MStream(2, 1, num_rows=2, num_buckets=16, seed=11),
        _record,
        beyond_memory=[((2, 1), {"num_buckets": HUGE}), ((2, 1), {"num_rows": HUGE})],
        edit_beyond_memory=_configured(num_buckets=HUGE),
    ),
    Detector(
        "ScoreCalibrator",
        lambda: morvik3.ScoreCalibrator(window=16, warmup=4),
        _score,
        seeded=False,
    ),
]

DETECTORS = [d for d in _ALL if hasattr(morvik3, d.name)]
IDS = [d.name for d in DETECTORS]


def fed(detector, n, seed=0):
    """A detector of the entry after `n` observations."""
    obj = detector.make()
    rng = random.Random(seed)
    for i in range(n):
        obj.update(*detector.observe(rng, i))
    return obj


def document(detector, n=5):
    return json.loads(fed(detector, n).to_json())
