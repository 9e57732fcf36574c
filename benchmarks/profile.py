"""Instructions and mispredicted branches per call of `update_and_score` for
`Forest(4)` and `FeatureSketch()` with defaults, counted by callgrind, and
where the instructions go.

Wall-clock rates on a shared machine move with its load; these counts do
not, so they are the figures to compare two builds by (a mispredicted branch
costs some fifteen cycles, as much as a dozen instructions).  The script runs
itself under `valgrind --tool=callgrind`, collecting only inside the
per-call `update_and_score` entry, on the stream of benchmarks/forest.py after
a warm-up that fills the samplers (so the steady state is measured), and
prints the count per call and the functions that take the most, inclusive.

With `--threads N` it counts instead how one `update_and_score_many` call
on N threads shares its work: the instructions the calling thread spends on
its serial steps, and each thread's share of the rest, per row.  The call
can take no less time than the serial steps plus the largest share, so
their ratio to the whole bounds what N threads can gain on an idle machine,
whatever the load of the machine the count ran on (waiting for each other,
the threads count nothing).

    python benchmarks/profile.py                 # both classes, 2,000 calls each
    python benchmarks/profile.py --calls 5000 --top 25 forest
    python benchmarks/profile.py --keep out/     # keep the callgrind files
    python benchmarks/profile.py --threads 2     # how a batch shares its work
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

WARM_UP = 20_000
NAMES = ["x0", "x1", "x2", "x3"]


def workload(kind, calls, threads=None):
    """Runs in the child under callgrind: warm up by batch, then the calls,
    or one batch of as many rows on `threads` threads."""
    import numpy as np

    import morvik3
    from forest import synthetic_stream

    x = np.asarray(synthetic_stream(WARM_UP + calls, seed=7)[0])
    if kind == "forest":
        detector = morvik3.Forest(4, seed=1)
        detector.update_many(x[:WARM_UP])
        rows = x[WARM_UP:].tolist()
    else:
        detector = morvik3.FeatureSketch(seed=1)
        events = [dict(zip(NAMES, row)) for row in x.tolist()]
        if threads is None:
            detector.update_many(events[:WARM_UP])
        else:
            # A batch of the sketch's runs through the counted rounds even
            # on one thread: the warm-up goes call by call.
            for event in events[WARM_UP // 4 : WARM_UP]:
                detector.update(event)
        rows = events[WARM_UP:]
    if threads is not None:
        detector.update_and_score_many(x[WARM_UP:] if kind == "forest" else rows, threads=threads)
        return
    call = detector.update_and_score
    for r in rows:
        call(r)


def profile(kind, calls, top, keep):
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        sys.exit("valgrind is not installed (apt-get install valgrind)")
    if keep:
        os.makedirs(keep, exist_ok=True)
    out = os.path.join(keep or tempfile.mkdtemp(), f"callgrind.{kind}.out")
    # Only the entry of the per-call method; the batch warm-up is not counted.
    entry = "morvik3::py::detail::Entry<*update_and_score_name*"
    subprocess.run([valgrind, "--tool=callgrind", "--branch-sim=yes", f"--callgrind-out-file={out}",
                    f"--toggle-collect={entry}",
                    sys.executable, __file__, "--child", kind, "--calls", str(calls)],
                   check=True, stderr=subprocess.DEVNULL)
    report = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--show=Ir", out], check=True,
                            capture_output=True, text=True).stdout
    branches = subprocess.run(["callgrind_annotate", "--show=Bcm,Bim", out], check=True, capture_output=True,
                              text=True).stdout
    missed = re.search(r"^\s*([\d,]+) \(\s*[\d.]+%\)\s+([\d,]+) \(\s*[\d.]+%\)\s+PROGRAM TOTALS", branches, re.M)
    mispredicted = sum(int(g.replace(",", "")) for g in missed.groups()) if missed else float("nan")
    rows = []
    for line in report.splitlines():
        m = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+(\S.*)", line)
        if m:
            rows.append((int(m.group(1).replace(",", "")), m.group(2)))
    total = next(n for n, what in rows if what.startswith("PROGRAM TOTALS"))
    print(f"{kind}: {total / calls:,.0f} instructions and {mispredicted / calls:,.0f} mispredicted branches "
          f"per update_and_score call ({calls:,} calls)")
    shown = 0
    for n, what in rows:
        # Keep the functions of the module and libm; the interpreter's frames
        # above the entry are all 100%.
        if not re.search(r"/src/|libm", what) or n == total:
            continue
        what = what.replace("(anonymous namespace)", "{anonymous}")
        name = re.sub(r"\(.*", "", what.split(":", 1)[1] if ":" in what else what)
        print(f"  {n / calls:>10,.0f}  {100 * n / total:5.1f}%  {name[-110:]}")
        shown += 1
        if shown == top:
            break
    if keep:
        print(f"  callgrind file: {out}")


def shares(kind, calls, threads, keep):
    """Counts a batch's serial steps and each thread's share of the rest."""
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        sys.exit("valgrind is not installed (apt-get install valgrind)")
    folder = keep or tempfile.mkdtemp()
    os.makedirs(folder, exist_ok=True)
    out = os.path.join(folder, f"callgrind.{kind}.threads")
    driver = "SharedLearning" if kind == "forest" else "SharedEvents"
    subprocess.run([valgrind, "--tool=callgrind", "--separate-threads=yes", f"--callgrind-out-file={out}",
                    f"--toggle-collect=*{driver}::serial*", f"--toggle-collect=*{driver}::parallel*",
                    sys.executable, __file__, "--child", kind, "--calls", str(calls), "--threads", str(threads)],
                   check=True, stderr=subprocess.DEVNULL)
    serial, parts = 0, []
    for name in sorted(os.listdir(folder)):
        if not name.startswith(os.path.basename(out) + "-"):
            continue
        path = os.path.join(folder, name)
        report = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", "--show=Ir", path],
                                check=True, capture_output=True, text=True).stdout
        counts = {}
        for line in report.splitlines():
            m = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+\S*:.*::" + driver + r"::(serial|parallel)\(", line)
            if m:
                counts[m.group(2)] = max(counts.get(m.group(2), 0), int(m.group(1).replace(",", "")))
        if counts:
            serial += counts.get("serial", 0)
            parts.append(counts.get("parallel", 0))
        if not keep:
            os.remove(path)
    whole = serial + sum(parts)
    bound = whole / (serial + max(parts)) if parts else float("nan")
    shares_text = ", ".join(f"{p / calls:,.0f}" for p in parts)
    print(f"{kind}: update_and_score_many of {calls:,} rows on {threads} threads: {serial / calls:,.0f} "
          f"instructions per row in the calling thread's serial steps, {shares_text} in the threads' shares; "
          f"at most {bound:.2f}x one thread")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("kinds", nargs="*", metavar="forest|featuresketch", help="the classes (default both)")
    parser.add_argument("--calls", type=int, default=2_000)
    parser.add_argument("--top", type=int, default=15, help="functions listed per class (default 15)")
    parser.add_argument("--keep", help="directory to keep the callgrind files in")
    parser.add_argument("--threads", type=int, help="count how a batch on this many threads shares its work")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        workload(args.child, args.calls, args.threads)
        return
    if not set(args.kinds) <= {"forest", "featuresketch"}:
        parser.error("the classes are forest and featuresketch")
    from _machine import describe

    print(describe())
    for kind in args.kinds or ["forest", "featuresketch"]:
        if args.threads:
            shares(kind, args.calls, args.threads, args.keep)
        else:
            profile(kind, args.calls, args.top, args.keep)


if __name__ == "__main__":
    main()
