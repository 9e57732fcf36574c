"""What hostile inputs cost before they are refused.

- The peak memory of loading a short Forest document that claims many
  vacant node slots: `input_dim` 1000, `capacity` 1, one tree, and 200,000
  `null` slots on the tree's free list (2.4 MB of text; the test suite's
  `hostile.vacant_slots_document`). Each slot of a
  built arena holds a box of 2 * 1000 floats. Loaded in a fresh interpreter;
  "peak" is the growth of the process's peak resident memory (VmHWM, reset
  before the load) over its resident memory before it.
- The time a point argument whose length could not fit in memory takes to
  be refused: `Forest(1).score(range(10**12))`, in a fresh interpreter whose
  address space is capped 1 GiB above what it has mapped (a build that
  converts such a sequence would otherwise fill the machine), given up after
  30 seconds.

Run it against another build with PYTHONPATH pointing at that build's
package to compare.
"""

import json
import os
import subprocess
import sys

import morvik3
from _machine import describe

# Runs in the child: argv holds the tests folder (for the document) and the
# number of vacant slots.
CHILD = r"""
import json, sys
sys.path.insert(0, sys.argv[1])
import morvik3
from hostile import vacant_slots_document

def memory():
    with open("/proc/self/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return {key: int(fields[key].split()[0]) * 1024 for key in ("VmRSS", "VmHWM")}

text = vacant_slots_document(int(sys.argv[2]))
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak starts again from here
before = memory()["VmRSS"]
try:
    morvik3.Forest.from_json(text)
    outcome = "loaded"
except (ValueError, MemoryError) as e:
    outcome = f"{type(e).__name__}: {e}"
print(json.dumps({"text": len(text), "peak": memory()["VmHWM"] - before, "outcome": outcome}))
"""

# Runs in the child: one refusal, then the best of many.
REFUSAL = r"""
import resource, time, timeit
import morvik3
with open("/proc/self/statm") as f:
    mapped = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (mapped + 2**30, mapped + 2**30))
forest = morvik3.Forest(1)

def refuse():
    try:
        forest.score(range(10**12))
    except MemoryError:
        pass

start = time.perf_counter()
refuse()
first = time.perf_counter() - start
print(first, min(timeit.repeat(refuse, number=100, repeat=5)) / 100 if first < 0.1 else first)
"""


def main():
    print(describe())
    with open("/proc/loadavg") as f:
        print("load average:", " ".join(f.read().split()[:3]))
    print(f"morvik3 from {morvik3.__file__}")
    tests = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests")
    done = subprocess.run([sys.executable, "-c", CHILD, tests, "200000"], capture_output=True, text=True, check=True)
    r = json.loads(done.stdout)
    print(f"vacant-slot document: {r['text'] / 1e6:.1f} MB of text, peak memory +{r['peak'] / 2**20:,.1f} MiB")
    print(f"  {r['outcome']}")
    try:
        done = subprocess.run([sys.executable, "-c", REFUSAL], capture_output=True, text=True, check=True, timeout=30)
    except subprocess.TimeoutExpired:
        print("Forest(1).score(range(10**12)): not refused within 30 s")
        return
    first, best = map(float, done.stdout.split())
    print(f"Forest(1).score(range(10**12)) refused with MemoryError: first call {first * 1e6:,.1f} us, "
          f"best {best * 1e6:,.1f} us")


if __name__ == "__main__":
    main()
