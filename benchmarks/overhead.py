"""Per-call overhead of the binding, and what construction and unpickling cost.

Each construction runs in a fresh interpreter under an address-space limit
(--limit-gib, default 6), so a configuration that would take the machine ends
in MemoryError instead; the table gives its outcome, its time, the resident
memory it added and the process's peak resident memory.
"""

import argparse
import json
import subprocess
import sys
import timeit

import morvik3
from _machine import describe

CONSTRUCTIONS = [
    "Forest(4)",
    "Forest(1, num_trees=10**5)",
    "Forest(1, num_trees=10**6)",
    "FeatureSketch()",
    "FeatureSketch(sketch_buckets=2**18)",
    "FeatureSketch(sketch_buckets=2**24)",
]

# Runs in the child: builds one object and reports time and memory as JSON.
CHILD = r"""
import json, os, pickle, resource, sys, time
limit = int(sys.argv[2])
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
import morvik3
from morvik3 import Forest, FeatureSketch

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

setup, stmt = sys.argv[1].split("\n", 1) if "\n" in sys.argv[1] else ("", sys.argv[1])
exec(setup)
before = resident()
start = time.perf_counter()
try:
    obj = eval(stmt)
    outcome = "ok"
except MemoryError as e:
    outcome = "MemoryError"
seconds = time.perf_counter() - start
print(json.dumps({"outcome": outcome, "seconds": seconds, "added": resident() - before,
                  "peak": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}))
"""


def in_child(stmt, limit):
    done = subprocess.run([sys.executable, "-c", CHILD, stmt, str(limit)], capture_output=True, text=True)
    if done.returncode != 0:
        return {"outcome": f"exit {done.returncode}", "seconds": float("nan"), "added": 0, "peak": 0}
    return json.loads(done.stdout)


def per_call_ns(stmt, setup_globals, number):
    best = min(timeit.repeat(stmt, globals=setup_globals, number=number, repeat=7))
    return best / number * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--limit-gib", type=float, default=6.0, help="address-space limit of each child")
    args = parser.parse_args()
    limit = int(args.limit_gib * 2**30)

    forest = morvik3.Forest(3, seed=1)
    rows = [
        ("Forest.entries_seen()", per_call_ns("f.entries_seen()", {"f": forest}, 1_000_000)),
        ("Forest.is_ready()", per_call_ns("f.is_ready()", {"f": forest}, 1_000_000)),
        ("Forest(3, seed=1)", per_call_ns("F(3, seed=1)", {"F": morvik3.Forest}, 2_000)),
        ("Forest(3, num_trees=1, capacity=1, seed=1)",
         per_call_ns("F(3, num_trees=1, capacity=1, seed=1)", {"F": morvik3.Forest}, 100_000)),
    ]
    print(describe())
    print(f"{'call':<45}{'ns per call':>14}")
    for name, ns in rows:
        print(f"{name:<45}{ns:>14.0f}")

    print(f"\nconstruction in a fresh interpreter, address space limited to {args.limit_gib:g} GiB")
    print(f"{'expression':<40}{'outcome':>13}{'seconds':>10}{'added MiB':>11}{'peak MiB':>10}")
    mib = 2**20
    for expr in CONSTRUCTIONS:
        r = in_child(expr, limit)
        print(f"{expr:<40}{r['outcome']:>13}{r['seconds']:>10.3f}{r['added'] / mib:>11.0f}{r['peak'] / mib:>10.0f}")

    print("\nloading the state of Forest(20000, num_trees=1, capacity=1)")
    setup = ("doc = Forest(20000, num_trees=1, capacity=1, seed=1).to_json(); "
             "pickled = pickle.dumps(Forest.from_json(doc))")
    for name, stmt in [("Forest.from_json(doc)", "Forest.from_json(doc)"),
                       ("pickle.loads(pickled)", "pickle.loads(pickled)")]:
        r = in_child(setup + "\n" + stmt, limit)
        print(f"{name:<40}{r['outcome']:>13}{r['seconds']:>10.3f}{r['added'] / mib:>11.0f}{r['peak'] / mib:>10.0f}")


if __name__ == "__main__":
    main()
