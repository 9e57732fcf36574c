"""memory_bytes(): what a detector holds, against what the process grows by."""

import copy
import json
import os
import random

import pytest

import morvik3
from children import SANITIZED, run_child
from detectors import DETECTORS, IDS

PAGE = os.sysconf("SC_PAGE_SIZE")

# Each class at its defaults, and rows enough for it to stop growing.
DEFAULTS = {
    "Forest": ("Forest(3, seed={seed})", 40_000),
    "OnlineIForest": ("OnlineIForest(3, seed={seed})", 8_192),
    "MStream": ("MStream(2, 1, seed={seed})", 20_000),
    "FeatureSketch": ("FeatureSketch(seed={seed})", 5_000),
    "ScoreCalibrator": ("ScoreCalibrator()", 20_000),
}

# Builds and feeds one detector (so the thread's working memory is grown
# before measuring), then copies of it until they hold about 8 MiB: the heap
# grows in steps of pages and 128 KiB, too coarse for one small detector.
GROWTH = """
import json, math
import numpy as np
import morvik3
from morvik3 import *

rng = np.random.default_rng(0)
points = rng.normal(size=(ROWS, 3))
numeric, categorical = rng.normal(size=(ROWS, 2)), rng.integers(0, 10_000, size=(ROWS, 1))
ticks = np.arange(ROWS) // 10 + 1
events = [{f"f{j}": float(rng.normal()) for j in rng.integers(0, 1000, size=5)} for _ in range(ROWS)]
COLUMNS = {Forest: [points], OnlineIForest: [points], MStream: [numeric, categorical, ticks],
           FeatureSketch: [events], ScoreCalibrator: [numeric[:, 0]]}

def built(seed):
    d = eval(EXPRESSION.format(seed=seed))
    for at in range(0, ROWS, 4096):
        d.update_many(*(c[at:at + 4096] for c in COLUMNS[type(d)]))
    return d

first = built(0)
copies = math.ceil(8 * MiB / first.memory_bytes())
before = resident()
kept = [built(seed) for seed in range(1, copies + 1)]
print(json.dumps({"grew": (resident() - before) / copies, "held": sum(d.memory_bytes() for d in kept) / copies}))
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator and shadow memory change what the process grows by")
@pytest.mark.parametrize("name", sorted(DEFAULTS))
def test_memory_bytes_is_within_a_tenth_of_the_growth_of_the_process(name):
    expression, rows = DEFAULTS[name]
    out = json.loads(run_child(f"EXPRESSION, ROWS = {expression!r}, {rows}\n" + GROWTH))
    assert 0.9 <= out["held"] / out["grew"] <= 1.1, out


@pytest.mark.parametrize("detector", DETECTORS, ids=IDS)
def test_reading_changes_nothing_held_and_a_copy_holds_no_more(detector):
    obj = detector.make()
    empty = obj.memory_bytes()
    rng = random.Random(1)
    for i in range(200):
        obj.update(*detector.observe(rng, i))
    held = obj.memory_bytes()
    assert isinstance(held, int) and held >= empty > 0  # nothing learned is given back
    for i in range(20):
        obj.score(*detector.observe(rng, 200 + i))
    obj.to_json()
    assert obj.memory_bytes() == held
    assert 0 < copy.deepcopy(obj).memory_bytes() <= held * 1.05


def test_pages_only_read_are_not_held():
    # Tables of 4 x 2**16 counts, far past what a few records write; the
    # decay at each new tick reads every page of the current counts.
    records = morvik3.MStream(1, 1, num_rows=4, num_buckets=2**16, seed=1)
    table = 4 * 2**16 * 8
    fresh = records.memory_bytes()
    assert fresh < table / 8
    for t in range(1, 40):
        records.score([0.5], [7], t)
    assert records.memory_bytes() == fresh
    for t in range(1, 40):
        records.update([0.5], [7], t)
    held = records.memory_bytes()
    # The same record writes the same cells each time: one page in each row
    # of the record's and the category's current and total counts, and one
    # page of each of the value's two histograms.
    assert held == fresh + (2 * 4 + 2 * 4 + 2) * PAGE
    # After a long gap the current counts decay to zero, and a new category
    # writes up to 16 new pages.  The 8 pages gone back to zeros stay in the
    # process: counting only pages that hold a value would give at most 8 more.
    records.update([0.5], [8], 10**6)
    assert records.memory_bytes() > held + 8 * PAGE


def test_untouched_pages_of_a_copy_stay_untouched():
    sketch = morvik3.FeatureSketch(sketch_buckets=2**14, seed=1)
    for i in range(20):
        sketch.update({"a": float(i)})
    duplicate = copy.deepcopy(sketch)
    assert duplicate.memory_bytes() <= sketch.memory_bytes() * 1.05
    assert sketch.memory_bytes() < 16 * 8 * 2 * 2**14 * 16 / 10  # a tenth of one ensemble's cells
