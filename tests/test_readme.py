"""The README's Usage example runs as written and shows what its comments say."""

import math

import numpy as np

from readme_examples import example


def test_usage_example_runs_as_written(capsys):
    namespace = {}
    exec(example("Usage", "morvik3.Forest(3"), namespace)
    capsys.readouterr()

    forest = namespace["forest"]
    assert forest.entries_seen() == 2_000 + 2 * 10_000
    assert namespace["scores"].shape == (10_000,)
    neighbors = forest.near_neighbors([0.0, 0.0, 0.0], top_k=3)
    assert [n["distance"] for n in neighbors] == sorted(n["distance"] for n in neighbors)
    imputed = forest.impute([0.5, float("nan"), 0.1], missing=[1])
    assert imputed[0] == 0.5 and math.isfinite(imputed[1])
    assert len(namespace["series"].extrapolate(4)) == 4
    # The records batch follows the single record, so its clock only moves forward.
    assert namespace["records"].current_time() == 10_001
    assert np.all(np.isfinite(namespace["preview"]))
