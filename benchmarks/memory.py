"""What each detector says it holds (`memory_bytes()`) against what the
process grows by when one is built and fed to its steady state.

Each case runs in a fresh interpreter. The inputs are made first, then one
detector of the case is built and fed and kept (so that the calling thread's
working memory and the allocator's first growth are behind us); then copies
with other seeds are built and fed until they hold about --target-mib between
them, and the growth of the process's resident memory (VmRSS in
/proc/self/status) over those copies, divided by their number, is set against
their mean `memory_bytes()`. Averaging over copies keeps the page-sized and
128 KiB steps in which the heap grows from swamping a small detector. "peak"
is the growth of the process's peak resident memory (VmHWM, reset before
the copies) over the same copies, per copy.
"""

import argparse
import json
import subprocess
import sys

from _machine import describe

# (class, positional arguments, keyword arguments, rows fed to each
# detector): enough rows for the samplers, windows and tables to stop growing.
CASES = [
    ("Forest", [3], {}, 40_000),
    ("Forest", [4], {"shingle_size": 4, "num_trees": 100, "capacity": 1024}, 100_000),
    ("OnlineIForest", [3], {}, 8_192),
    ("OnlineIForest", [8], {"num_trees": 100, "window_size": 8192, "max_leaf_samples": 16}, 32_768),
    ("MStream", [2, 1], {}, 20_000),
    ("MStream", [8, 4], {"num_rows": 4, "num_buckets": 2**16}, 40_000),
    ("FeatureSketch", [], {}, 10_000),
    ("FeatureSketch", [], {"sketch_buckets": 8192}, 10_000),
    ("ScoreCalibrator", [], {}, 20_000),
    ("ScoreCalibrator", [], {"window": 10**6}, 2_000_000),
]

# Runs in the child: argv holds the case as JSON and the target bytes.
CHILD = r"""
import json, math, sys
import numpy as np
import morvik3
from morvik3 import Forest, MStream, OnlineIForest, ScoreCalibrator

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)

(name, args, kwargs, rows), target = json.loads(sys.argv[1]), int(sys.argv[2])
cls = getattr(morvik3, name)
make = lambda seed: cls(*args, **kwargs, **({"seed": seed} if cls is not ScoreCalibrator else {}))
first = make(0)
rng = np.random.default_rng(0)
if isinstance(first, (Forest, OnlineIForest)):
    columns = [rng.normal(size=(rows, first.input_dim))]
elif isinstance(first, MStream):
    columns = [rng.normal(size=(rows, first.numeric_dim)),
               rng.integers(0, 10_000, size=(rows, first.categorical_dim)), np.arange(rows) // 10 + 1]
elif isinstance(first, ScoreCalibrator):
    columns = [rng.normal(size=rows)]
else:
    columns = [[{f"f{j}": float(rng.normal()) for j in rng.integers(0, 1000, size=5)} for _ in range(rows)]]

def feed(d):
    # In batches, as a stream arrives: what one call returns is freed before the next.
    for at in range(0, rows, 4096):
        d.update_many(*(c[at:at + 4096] for c in columns))

feed(first)
copies = max(1, min(1000, math.ceil(target / first.memory_bytes())))
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak starts again from here
before = status("VmRSS")
kept = []
for seed in range(1, copies + 1):
    kept.append(make(seed))
    feed(kept[-1])
grew, peak = status("VmRSS") - before, status("VmHWM") - before
print(json.dumps({"copies": copies, "held": sum(d.memory_bytes() for d in kept) / copies,
                  "grew": grew / copies, "peak": peak / copies}))
"""


def expression(name, args, kwargs):
    return f"{name}({', '.join([*map(repr, args), *(f'{k}={v!r}' for k, v in kwargs.items())])})"


def measure(case, target):
    done = subprocess.run([sys.executable, "-c", CHILD, json.dumps(case), str(target)], capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{expression(*case[:3])}: child exited with {done.returncode}:\n{done.stderr[-2000:]}")
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--target-mib", type=float, default=32.0, help="bytes the copies of a case hold together")
    args = parser.parse_args()
    target = int(args.target_mib * 2**20)
    print(describe())
    print(f"{'detector':<72}{'rows':>8}{'copies':>8}{'memory_bytes':>14}{'grew':>14}{'peak':>14}{'ratio':>7}")
    for case in CASES:
        r, rows = measure(case, target), case[3]
        print(f"{expression(*case[:3]):<72}{rows:>8}{r['copies']:>8}{r['held']:>14,.0f}{r['grew']:>14,.0f}{r['peak']:>14,.0f}"
              f"{r['held'] / r['grew']:>7.3f}")
    print("memory_bytes, grew and peak are bytes per detector; ratio is memory_bytes / grew.")


if __name__ == "__main__":
    main()
