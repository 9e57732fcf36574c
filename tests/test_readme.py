"""The README's Usage example runs as written and shows what its comments
say, and its `morvik3 evaluate` example shows the command's own output."""

import math
import subprocess
import sys

import numpy as np

from readme_examples import README, console, example


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


def test_evaluate_example_shows_what_the_command_writes():
    arguments, shown = console("How good is it on my data?")
    done = subprocess.run([sys.executable, "-m", "morvik3", *arguments], capture_output=True, text=True,
                          cwd=README.parent, timeout=300, check=True)
    assert done.stdout == shown
