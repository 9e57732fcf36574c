"""OnlineIForest against its plain-Python transcription: every score, preview
and state document agree exactly, over streams chosen to reach splits with an
empty side, leaves of identical points, ties with split values, folds, and
bounds too wide for single-precision arithmetic."""

import collections
import json
import random

import pytest

from morvik3 import OnlineIForest
from onlineiforest_oracle import OnlineIForest as Oracle
from onlineiforest_oracle import narrowed

# (input_dim, num_trees, window_size, max_leaf_samples)
CONFIGS = [(1, 3, 2, 1), (1, 3, 4, 1), (2, 2, 16, 2), (3, 2, 50, 3), (2, 2, 64, 4)]


def gaussian(r, dim, i):
    return [r.gauss(0.0, 1.0) for _ in range(dim)]


def few_values(r, dim, i):
    # Repeated coordinates: identical leaves, and points equal to split values
    # drawn from supports made of these very values.
    if i < 12:
        return [1.0] * dim
    return [r.choice([0.0, 0.5, 1.0, 2.0]) for _ in range(dim)]


def drifting(r, dim, i):
    # The mass moves away and comes back, so subtrees fold as it leaves.
    centre = 10.0 * ((i // 60) % 3)
    return [centre + r.gauss(0.0, 0.1) for _ in range(dim)]


def wide(r, dim, i):
    return [r.choice([-3e38, 3e38, -2.5e38, 1.0, 0.0]) * r.random() ** 0.1 for _ in range(dim)]


STREAMS = {"gaussian": gaussian, "few values": few_values, "drifting": drifting, "wide": wide}
LENGTH = 240


def run(config, stream, seed, native=True, check=None):
    dim = config[0]
    r = random.Random(seed)
    oracle = Oracle(*config, seed=seed)
    forest = OnlineIForest(*config, seed=seed) if native else None
    for i in range(LENGTH):
        p = STREAMS[stream](r, dim, i)
        if forest is not None:
            check(forest, oracle, p, i)
        else:
            oracle.update(p)
    return oracle


@pytest.mark.parametrize("stream", sorted(STREAMS))
@pytest.mark.parametrize("config", CONFIGS, ids=lambda c: "dim{}-T{}-W{}-M{}".format(*c))
def test_scores_and_documents_match_the_oracle(config, stream):
    probe = [0.25] * config[0]

    def check(forest, oracle, p, i):
        assert forest.score(p) == oracle.score(p)
        assert forest.update_and_score(p) == oracle.update_and_score(p)
        assert forest.score(probe) == oracle.score(probe)
        if i % 40 == 39:
            assert narrowed(json.loads(forest.to_json())) == oracle.document(), f"after {i + 1} points"

    run(config, stream, seed=len(stream) * 1000 + config[2], check=check)


def test_the_streams_reach_every_branch():
    events = collections.Counter()
    for config in CONFIGS:
        for stream in STREAMS:
            events += run(config, stream, seed=len(stream) * 1000 + config[2], native=False).events
    for branch in ("split", "fold", "empty left", "empty right", "identical leaf"):
        assert events[branch] > 0, branch
